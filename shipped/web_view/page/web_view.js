// The cameras page: a tile per camera with its live view, a snapshot link and
// playback of its recording. Live view reads the camera's HLS playlist and
// feeds its fragmented MP4 parts to the video element through Media Source
// Extensions, from the latest key frame on, a part at a time, and keeps the
// picture near the live edge. A browser without them but with HLS of its own
// is given the playlist.
'use strict';

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

async function fetchOk(url, options) {
  const response = await fetch(url, Object.assign({cache: 'no-store'}, options));
  if (!response.ok) throw new Error(url + ': ' + response.status);
  return response;
}

function appendTo(buffer, bytes) {
  return new Promise((done, failed) => {
    buffer.addEventListener('updateend', done, {once: true});
    buffer.addEventListener('error', () => failed(new Error('append failed')), {once: true});
    buffer.appendBuffer(bytes);
  });
}

function removeFrom(buffer, start, end) {
  return new Promise((done) => {
    buffer.addEventListener('updateend', done, {once: true});
    buffer.remove(start, end);
  });
}

function mimeOf(camera) {
  return 'video/mp4; codecs="' + (camera.codecs || 'avc1.640028') + '"';
}

// The playlist's media sequence, map and segments with their parts.
function parsePlaylist(text) {
  const playlist = {map: null, partTarget: 0.5, segments: []};
  let sequence = 0;
  let current = null;
  const segment = () => {
    if (!current) {
      current = {sequence: sequence++, parts: [], complete: false, time: null};
      playlist.segments.push(current);
    }
    return current;
  };
  for (const line of text.split('\n')) {
    let m;
    if ((m = line.match(/^#EXT-X-MEDIA-SEQUENCE:(\d+)/))) sequence = Number(m[1]);
    else if ((m = line.match(/^#EXT-X-MAP:URI="([^"]+)"/))) playlist.map = m[1];
    else if ((m = line.match(/^#EXT-X-PART-INF:PART-TARGET=([\d.]+)/))) playlist.partTarget = Number(m[1]);
    else if ((m = line.match(/^#EXT-X-PROGRAM-DATE-TIME:(.+)/))) segment().time = Date.parse(m[1]);
    else if ((m = line.match(/^#EXT-X-PART:DURATION=([\d.]+),URI="([^"]+)"/))) segment().parts.push(m[2]);
    else if (line && !line.startsWith('#')) {
      segment().complete = true;
      current.uri = line;
      current = null;
    }
  }
  return playlist;
}

class LivePlayer {
  constructor(video, camera) {
    this.video = video;
    this.camera = camera;
    this.base = '/cameras/' + encodeURIComponent(camera.name) + '/';
    this.stopped = false;
  }

  start() {
    if (!window.MediaSource && this.video.canPlayType('application/vnd.apple.mpegurl')) {
      this.video.src = this.base + 'live.m3u8';
      return;
    }
    this.run();
  }

  stop() {
    this.stopped = true;
  }

  async run() {
    while (!this.stopped) {
      try {
        await this.follow();
      } catch (error) {
        console.log(this.camera.name + ': ' + error.message + ', starting again');
      }
      await sleep(1000);
    }
  }

  // One run from a fresh MediaSource until the stream changes or fails.
  async follow() {
    const source = new MediaSource();
    this.video.src = URL.createObjectURL(source);
    await new Promise((done) => source.addEventListener('sourceopen', done, {once: true}));
    let buffer = null;
    let map = null;
    let next = null; // {sequence, part}
    while (!this.stopped) {
      const playlist = parsePlaylist(await (await fetchOk(this.base + 'live.m3u8')).text());
      if (map && playlist.map !== map) return; // new stream parameters
      if (!buffer) {
        map = playlist.map;
        buffer = source.addSourceBuffer(mimeOf(this.camera));
        await appendTo(buffer, await (await fetchOk(this.base + map)).arrayBuffer());
      }
      const segments = playlist.segments.filter((s) => s.parts.length);
      const at = (n) => segments.find((s) => s.sequence === n);
      if (!next || !at(next.sequence) && next.sequence < segments[0].sequence) {
        next = {sequence: segments[segments.length - 1].sequence, part: 0};
      }
      for (let segment = at(next.sequence); segment; segment = at(next.sequence)) {
        if (next.part < segment.parts.length) {
          const part = await (await fetchOk(this.base + segment.parts[next.part])).arrayBuffer();
          await appendTo(buffer, part);
          next.part++;
        } else if (segment.complete) {
          next = {sequence: next.sequence + 1, part: 0};
        } else {
          break;
        }
      }
      await this.keepLive(buffer);
      await sleep(playlist.partTarget * 500);
    }
  }

  // Plays near the newest picture: jumps ahead when far behind or stuck
  // before a gap, and lets go of what was seen long ago.
  async keepLive(buffer) {
    const ranges = this.video.buffered;
    if (!ranges.length) return;
    const end = ranges.end(ranges.length - 1);
    const time = this.video.currentTime;
    if (end - time > 2 || time < ranges.start(ranges.length - 1)) {
      this.video.currentTime = Math.max(ranges.start(ranges.length - 1), end - 0.5);
    }
    if (this.video.paused) this.video.play().catch(() => {});
    if (time > 30 && !buffer.updating) await removeFrom(buffer, 0, time - 20);
  }
}

class RecordingPlayer {
  constructor(video, camera, startMs) {
    this.video = video;
    this.camera = camera;
    this.startMs = startMs;
    this.stopped = false;
  }

  stop() {
    this.stopped = true;
  }

  // The recording from startMs on, for an hour, streamed into the element;
  // the server says the wall clock time of the file's time 0.
  async start() {
    const base = '/cameras/' + encodeURIComponent(this.camera.name) + '/';
    const response = await fetch(base + 'recording.mp4?start=' + this.startMs + '&end=' + (this.startMs + 3600000));
    if (response.status === 404) throw new Error('nothing recorded from then on');
    if (!response.ok) throw new Error('recording: ' + response.status);
    this.originMs = Number(response.headers.get('X-Recording-Start-Ms'));
    const source = new MediaSource();
    this.video.src = URL.createObjectURL(source);
    await new Promise((done) => source.addEventListener('sourceopen', done, {once: true}));
    const buffer = source.addSourceBuffer(mimeOf(this.camera));
    const reader = response.body.getReader();
    const target = Math.max(0, (this.startMs - this.originMs) / 1000);
    let started = false;
    while (!this.stopped) {
      const {done, value} = await reader.read();
      if (done) break;
      await appendTo(buffer, value);
      const ranges = this.video.buffered;
      if (!started && ranges.length && ranges.end(ranges.length - 1) > target + 0.2) {
        this.video.currentTime = Math.max(target, ranges.start(0));
        this.video.play().catch(() => {});
        started = true;
      }
      while (!this.stopped && ranges.length && ranges.end(ranges.length - 1) - this.video.currentTime > 30) {
        await sleep(500); // enough ahead: the server waits while the connection is full
      }
    }
    reader.cancel();
    if (!this.stopped && source.readyState === 'open' && !buffer.updating) source.endOfStream();
  }

  // The wall clock time of the picture shown.
  wallClockMs() {
    return this.originMs + this.video.currentTime * 1000;
  }
}

function localInput(ms) {
  const date = new Date(ms - new Date(ms).getTimezoneOffset() * 60000);
  return date.toISOString().slice(0, 19);
}

class Tile {
  constructor(camera) {
    this.camera = camera;
    this.element = document.getElementById('tile').content.firstElementChild.cloneNode(true);
    this.video = this.element.querySelector('video');
    this.video.dataset.camera = camera.name;
    const base = '/cameras/' + encodeURIComponent(camera.name) + '/';
    this.element.querySelector('.name').textContent = camera.name;
    this.element.querySelector('.snapshot').href = base + 'snapshot.jpg';
    this.when = this.element.querySelector('.when');
    this.when.value = localInput(Date.now() - 600000);
    this.element.querySelector('.play').addEventListener('click', () => this.playRecording(this.whenMs()));
    this.element.querySelector('.live').addEventListener('click', () => this.playLive());
    this.element.querySelector('.download').addEventListener('click', (event) => {
      const start = this.whenMs();
      event.currentTarget.href = base + 'recording.mp4?start=' + start + '&end=' + (start + 600000) + '&download=1';
    });
    this.update(camera);
    if (camera.state === 'recorded') {
      this.element.querySelector('.live').hidden = true; // recorded only: playback
    } else {
      this.playLive();
    }
    setInterval(() => this.showClock(), 250);
  }

  whenMs() {
    return new Date(this.when.value).getTime();
  }

  update(camera) {
    this.camera = camera;
    const state = this.element.querySelector('.state');
    state.textContent = camera.state + (camera.connected === false ? ' (disconnected)' : '');
    state.className = 'state ' + camera.state;
  }

  switchTo(player, mode) {
    if (this.player) this.player.stop();
    this.player = player;
    this.video.dataset.mode = mode;
    const badge = this.element.querySelector('.mode');
    badge.textContent = mode;
    badge.className = 'mode ' + mode;
  }

  playLive() {
    this.switchTo(new LivePlayer(this.video, this.camera), 'live');
    this.player.start();
  }

  playRecording(startMs) {
    this.switchTo(new RecordingPlayer(this.video, this.camera, startMs), 'recording');
    this.video.dataset.requestedMs = startMs;
    this.player.start().catch((error) => {
      this.element.querySelector('.clock').textContent = error.message;
    });
  }

  showClock() {
    if (this.player instanceof RecordingPlayer && this.player.originMs !== undefined) {
      const wall = this.player.wallClockMs();
      this.video.dataset.originMs = this.player.originMs;
      this.element.querySelector('.clock').textContent = new Date(wall).toLocaleString();
    } else if (this.player instanceof LivePlayer) {
      this.element.querySelector('.clock').textContent = '';
    }
  }
}

const tiles = new Map();

async function refresh() {
  try {
    const list = await (await fetchOk('/cameras.json')).json();
    for (const camera of list.cameras) {
      const tile = tiles.get(camera.name);
      if (tile) {
        tile.update(camera);
      } else if (camera.codec || camera.state === 'recorded') {
        const created = new Tile(camera);
        tiles.set(camera.name, created);
        document.getElementById('cameras').append(created.element);
      }
    }
    document.getElementById('status').textContent = list.cameras.length + ' camera(s)';
  } catch (error) {
    document.getElementById('status').textContent = 'the server does not answer';
  }
}

refresh();
setInterval(refresh, 2000);
