#!/usr/bin/env python3
"""The web view module in the service binary, fed by the shipped video source
with streams that ffmpeg makes (a clock burnt in, see clock_stream.py).

Usage: web_view_test.py <case> <build dir> <source dir> [sanitizer: none|address|thread]
  live      an H.264 and an H.265 camera over UDP MPEG-TS: the playlist's
            shape and bounded window, its segments decode frame for frame,
            snapshots are JPEGs of the camera's size (or the asked width);
            an encoder restarted (timestamps from 0 again) goes on live
  recording a recorded minute: the listing, a range downloaded as one MP4
            that starts at the key frame before the asked second, and files
            outside the recordings (a symbolic link, a forged index row)
            never served
  hostile   paths with "..", encoded dots, absolute and over-long names,
            over-long headers, other methods; 500 slow connections while the
            live playlist still answers within 1 s; the stop under 1 s
  access    TLS and basic authentication; wrong passwords rate-limited;
            another address than loopback only with both
  browser   Chromium, headless, through its WebDriver: every live video
            advances by 3 s within 10 s and its canvas grab is not blank,
            the snapshot link shows a picture of the camera's size, the
            recording plays within 2 s from the asked second (its frame
            code and the page's clock agree); then a screenshot of the page
            (to $WEB_VIEW_SCREENSHOT when set)
Exit status 77 skips: the browser case without Chromium or its driver.
"""
import json
import os
import re
import resource
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, HERE)
import clock_stream  # noqa: E402
import foreground_service  # noqa: E402
from foreground_service import fail, free_port, make_credentials, wait_for  # noqa: E402

SKIP = 77
SIZE = (320, 240)
SANITIZER = "none"


def fetch(url, headers=None, timeout=10, context=None):
    """(status, headers, body) of a GET."""
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=timeout, context=context) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def raw_request(port, text, timeout=5):
    """The status line's code of a request sent byte for byte."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(text)
        reply = b""
        while b"\r\n" not in reply:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    match = re.match(rb"HTTP/1\.[01] (\d+)", reply)
    return int(match.group(1)) if match else reply


def probe(path, entries):
    run = subprocess.run(["ffprobe", "-v", "error", "-show_entries", entries, "-of", "json", path],
                         capture_output=True, text=True)
    if run.returncode != 0:
        fail("ffprobe %s: %s" % (path, run.stderr))
    return json.loads(run.stdout)


def frame_codes(path, size=SIZE):
    """The burnt-in code of every frame of a file, decoded by ffmpeg."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                         capture_output=True, check=True).stdout
    frame = size[0] * size[1]
    return [clock_stream.code_at(raw[i:i + frame], *size) for i in range(0, len(raw) - frame + 1, frame)]


class Camera:
    """ffmpeg sending a live test stream with the wall clock (or the frame
    number) burnt in, over UDP MPEG-TS on loopback, until stopped."""

    def __init__(self, codec="libx264", size=SIZE, gop=25, wall_clock=True):
        self.port = free_port(socket.SOCK_DGRAM)
        self.url = "udp://127.0.0.1:%d" % self.port
        self.codec, self.size, self.gop, self.wall_clock = codec, size, gop, wall_clock
        self.start()

    def start(self):
        codec, size, gop = self.codec, self.size, self.gop
        source = "testsrc=size=%dx%d:rate=%d" % (size[0], size[1], clock_stream.FPS)
        encoder = ["-c:v", codec, "-g", str(gop), "-keyint_min", str(gop), "-bf", "0", "-pix_fmt", "yuv420p"]
        encoder += ["-tune", "zerolatency", "-preset", "ultrafast"] if codec == "libx264" else [
            "-preset", "ultrafast", "-x265-params", "log-level=error:bframes=0"]
        self.process = subprocess.Popen(
            ["ffmpeg", "-v", "error", "-re", "-f", "lavfi", "-i", source, "-vf",
             clock_stream.burn_filter(size[0], size[1], self.wall_clock)] + encoder +
            ["-f", "mpegts", "-mpegts_flags", "resend_headers", self.url + "?pkt_size=1316"],
            stdin=subprocess.DEVNULL)

    def stop(self):
        self.process.terminate()
        self.process.wait()


def make_clip(path, seconds, size=SIZE):
    """A clip whose frames carry their numbers, a key frame a second."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=%dx%d:rate=%d:duration=%d" % (size[0], size[1], clock_stream.FPS, seconds),
                    "-vf", clock_stream.burn_filter(size[0], size[1], False), "-c:v", "libx264", "-preset", "ultrafast",
                    "-g", str(clock_stream.FPS), "-pix_fmt", "yuv420p", path], check=True)


def libraries(binary, prefix):
    """The paths of the libraries `binary` loads whose names start with
    lib<prefix>."""
    listing = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return re.findall(r"=> (\S*/lib%s[\w-]*\.so[.\d]*) " % prefix, listing)


def write_settings(path, text):
    with open(path, "w") as f:
        f.write(text)


class Service(foreground_service.ForegroundService):
    """The service binary with the video source reading `cameras` ({name:
    settings text}), the web view and, given `recordings`, the recorder."""

    def __init__(self, build, work, cameras, web="", recordings=None, start=True):
        super().__init__(os.path.join(build, "bin"), work)
        self.port = free_port()
        self.base = "http://127.0.0.1:%d" % self.port
        modules = {"web_view": "port = %d\n%s" % (self.port, web)}
        if cameras:
            modules["video_source"] = "rate = 0\nread_timeout_ms = 2000\n" + "".join(
                "[%s]\n%s" % (name, text) for name, text in cameras.items())
        if recordings:
            modules["segment_recorder"] = "directory = %s\nformat = mp4\nsegment_seconds = 10\n" % recordings
            modules["web_view"] += "directory = %s\n" % recordings
        for name, text in modules.items():
            os.symlink(os.path.join(build, "shipped", name, name + ".so"), os.path.join(self.plugins, name + ".so"))
            write_settings(os.path.join(self.plugins, name + ".conf"), text)
        if start:
            self.start(self.environment())

    def environment(self):
        """Under AddressSanitizer the libraries the modules bring are
        preloaded after the sanitizer's runtime: they keep allocations in
        their own static data, which would vanish when the service unloads
        the modules and then show as leaks. The modules' own leaks are still
        found."""
        if SANITIZER != "address":
            return None
        preload = libraries(os.path.join(self.work, "orvantisd"), "asan")
        for name in os.listdir(self.plugins):
            if name.endswith(".so"):
                preload += libraries(os.path.join(self.plugins, name), "(?:av|sw|microhttpd|sqlite|gnutls)")
        return dict(os.environ, LD_PRELOAD=" ".join(dict.fromkeys(preload)))

    def wait_for_text(self, text, seconds=20):
        wait_for(lambda: text in self.text(), seconds, "%r in: %s" % (text, self.text()))

    def get(self, path, **options):
        return fetch(self.base + path, **options)

    def playlist(self, camera):
        try:
            status, _, body = self.get("/cameras/%s/live.m3u8" % camera)
        except OSError:  # not serving yet
            return None
        return body.decode() if status == 200 else None


# ---- cases ------------------------------------------------------------------

def check_playlist(text, window):
    """The live playlist's shape: a map, independent first parts, at most
    `window` finished segments besides the open one."""
    for tag in ("#EXTM3U", "#EXT-X-VERSION:9", "#EXT-X-PART-INF:PART-TARGET=0.250", "#EXT-X-MAP:URI=\"init.mp4?"):
        if tag not in text:
            fail("no %s in the playlist:\n%s" % (tag, text))
    finished = re.findall(r"^(\d+)\.m4s$", text, re.M)
    if not 1 <= len(finished) <= window:
        fail("%d finished segments in a window of %d:\n%s" % (len(finished), window, text))
    for sequence, part, rest in re.findall(r'URI="(\d+)\.(\d+)\.m4s"(.*)', text):
        if (part == "0") != (rest == ",INDEPENDENT=YES"):
            fail("part %s.%s marked %r" % (sequence, part, rest))
    return [int(s) for s in finished]


def live(build, source, work):
    h264, hevc = Camera(wall_clock=False), Camera("libx265", wall_clock=False)
    try:
        service = Service(build, work, {"front": "url = %s\n" % h264.url, "yard": "url = %s\n" % hevc.url},
                          "window_segments = 2\n")
        service.wait_for_text("serving http://127.0.0.1:%d/" % service.port)
        for camera in ("front", "yard"):
            wait_for(lambda: (service.playlist(camera) or "").count(".m4s\n") >= 2, 30, camera + "'s segments")
        first = check_playlist(service.playlist("front"), 2)
        time.sleep(2.5)
        later = check_playlist(service.playlist("front"), 2)
        if later[0] <= first[0]:
            fail("the window did not move on: %s then %s" % (first, later))
        # A segment and the parts of the next, behind the init segment, decode
        # frame for frame: a second each, consecutive codes.
        for camera, codec in (("front", "h264"), ("yard", "hevc")):
            text = service.playlist(camera)
            sequence = check_playlist(text, 2)[-1]
            parts = re.findall(r'URI="(%d\.\d+\.m4s)"' % sequence, text)
            path = os.path.join(work, camera + ".mp4")
            with open(path, "wb") as f:
                f.write(service.get("/cameras/%s/init.mp4" % camera)[2])
                whole = service.get("/cameras/%s/%d.m4s" % (camera, sequence))[2]
                pieces = b"".join(service.get("/cameras/%s/%s" % (camera, p))[2] for p in parts)
                if whole != pieces:
                    fail("%s segment %d is not its parts joined" % (camera, sequence))
                f.write(whole)
            codes = frame_codes(path)
            stream = probe(path, "stream=codec_name,width,height")["streams"][0]
            if (stream["codec_name"], stream["width"], stream["height"]) != (codec,) + SIZE:
                fail("%s's live segment holds %s" % (camera, stream))
            if len(codes) != clock_stream.FPS or any((b - a) % 4096 != 1 for a, b in zip(codes, codes[1:])):
                fail("%s's segment %d has the frame codes %s" % (camera, sequence, codes))
        listing = json.loads(service.get("/cameras.json")[2])["cameras"]
        found = {c["name"]: (c["codec"], c["codecs"][:5], c["width"], c["state"]) for c in listing}
        if found != {"front": ("h264", "avc1.", 320, "live"), "yard": ("hevc", "hvc1.", 320, "live")}:
            fail("cameras.json: %s" % listing)
        check_snapshots(service, work)
        # The encoder restarts: its timestamps start again, the stream afresh.
        h264.stop()
        h264.start()
        wait_for(lambda: re.search(r'init\.mp4\?generation=([2-9])"(?:.|\n)*\.m4s\n',
                                   service.playlist("front") or ""), 30, "a new generation after the restart")
        service.stop()
    finally:
        h264.stop()
        hevc.stop()


def check_snapshots(service, work):
    for camera, query, size in (("front", "", SIZE), ("front", "?width=160", (160, 120)), ("yard", "", SIZE)):
        status, headers, body = service.get("/cameras/%s/snapshot.jpg%s" % (camera, query))
        path = os.path.join(work, "snapshot.jpg")
        with open(path, "wb") as f:
            f.write(body)
        stream = probe(path, "stream=codec_name,width,height")["streams"][0]
        if status != 200 or headers["Content-Type"] != "image/jpeg" or \
                (stream["codec_name"], stream["width"], stream["height"]) != ("mjpeg",) + size:
            fail("%s's snapshot%s: %d %s %s" % (camera, query, status, headers["Content-Type"], stream))
    for query in ("?width=0", "?width=99999", "?width=1e3", "?width=-5"):
        if service.get("/cameras/front/snapshot.jpg" + query)[0] != 400:
            fail("snapshot%s was not refused" % query)
    if service.get("/cameras/nobody/snapshot.jpg")[0] != 404:
        fail("a snapshot of an unknown camera")


def record_clip(build, work, seconds=60):
    """A clip with numbered frames recorded into 10-second MP4 segments; the
    recordings directory and the index's rows."""
    clip, recordings = os.path.join(work, "clip.mp4"), os.path.join(work, "recordings")
    make_clip(clip, seconds)
    os.mkdir(os.path.join(work, "recording"))
    service = Service(build, os.path.join(work, "recording"), {"clip": "url = %s\nat_end = stop\n" % clip},
                      recordings=recordings)
    service.wait_for_text(": clip: end of ")
    service.stop()
    with sqlite3.connect(os.path.join(recordings, "index.sqlite")) as db:
        rows = db.execute("SELECT start_ms, end_ms, path FROM segments WHERE camera = 'clip' ORDER BY start_ms").fetchall()
    if len(rows) != seconds // 10:
        fail("recorded %s" % rows)
    return recordings, rows


def recording(build, source, work):
    recordings, rows = record_clip(build, work)
    os.mkdir(os.path.join(work, "viewing"))
    service = Service(build, os.path.join(work, "viewing"), {}, "directory = %s\n" % recordings)
    service.wait_for_text("serving http://")
    begin, end = rows[0][0], rows[-1][1]
    listing = json.loads(service.get("/cameras/clip/recordings.json?from=%d&to=%d" % (begin, end))[2])
    if [(s["start_ms"], s["end_ms"]) for s in listing["segments"]] != [r[:2] for r in rows]:
        fail("listing %s of rows %s" % (listing, rows))
    cameras = json.loads(service.get("/cameras.json")[2])["cameras"]
    if [(c["name"], c["state"]) for c in cameras] != [("clip", "recorded")]:
        fail("the recorded camera is listed as %s" % cameras)
    # From second 25.5 for 10 s: from the key frame of second 25 (frame 625)
    # to the last frame before second 35.5 (frame 887), one file from 0.
    start = begin + 25500
    status, headers, body = service.get("/cameras/clip/recording.mp4?start=%d&end=%d&download=1" % (start, start + 10000))
    path = os.path.join(work, "range.mp4")
    with open(path, "wb") as f:
        f.write(body)
    # The file's time 0 is the key frame of second 25, 5 s into the third segment.
    if status != 200 or headers["Content-Type"] != "video/mp4" or \
            headers["Content-Disposition"] != 'attachment; filename="clip-%d.mp4"' % start or \
            abs(int(headers["X-Recording-Start-Ms"]) - (rows[2][0] + 5000)) > 1:
        fail("download: %d %s" % (status, headers))
    codes = frame_codes(path)
    if codes != list(range(625, 625 + len(codes))) or not 886 <= codes[-1] <= 888:
        fail("the range holds frames %s..%s (%d)" % (codes[0], codes[-1], len(codes)))
    first = probe(path, "frame=pts_time,key_frame")["frames"][0]
    if float(first["pts_time"]) != 0 or first["key_frame"] != 1:
        fail("the download starts with %s" % first)
    for query in ("start=%d&end=%d" % (start, start), "start=%d&end=%d" % (start, start + 86400001),
                  "start=x&end=1", "start=1", "start=-5&end=10", "start=1e3&end=2e3"):
        if service.get("/cameras/clip/recording.mp4?" + query)[0] != 400:
            fail("recording.mp4?%s was not refused" % query)
    if service.get("/cameras/clip/recording.mp4?start=%d&end=%d" % (end + 1000, end + 2000))[0] != 404:
        fail("a range without recordings was not 404")
    check_outside(service, work, recordings, end)
    service.stop()


def check_outside(service, work, recordings, after):
    """Index rows that lead outside the recordings: a symbolic link out of
    the tree, "..", an absolute path. None is served."""
    outside = os.path.join(work, "outside.mp4")
    make_clip(outside, 2)
    os.symlink(outside, os.path.join(recordings, "clip", "link.mp4"))
    forged = [("clip/link.mp4", 0), ("../outside.mp4", 1), (outside, 2), ("clip/../../outside.mp4", 3)]
    with sqlite3.connect(os.path.join(recordings, "index.sqlite")) as db:
        for path, i in forged:
            db.execute("INSERT INTO segments (camera, start_ms, end_ms, path, bytes, key_frames, gaps) "
                       "VALUES ('clip', ?, ?, ?, 0, 0, 0)", (after + 10000 * (i + 1), after + 10000 * (i + 2), path))
    status, _, body = service.get("/cameras/clip/recording.mp4?start=%d&end=%d" % (after + 10000, after + 50000))
    if status != 404 or len(body) > 100:
        fail("a file outside the recordings was served: %d, %d bytes" % (status, len(body)))


SNEAKY_PATHS = [
    "/../../../../etc/passwd", "/cameras/../../../etc/passwd", "/cameras/%2e%2e/%2e%2e/etc/passwd",
    "/cameras/front/..%2f..%2f..%2fetc%2fpasswd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "//etc/passwd",
    "/etc/passwd", "/cameras/front/../../../../etc/passwd", "/cameras/.front/live.m3u8", "/cameras/..",
    "/cameras/front%00/live.m3u8", "/cameras/front/live.m3u8%00.jpg", "/web_view.js/..%2f..%2fetc%2fpasswd",
    "/cameras/front/1.-1.m4s", "/cameras/front/99999999999.m4s", "/cameras/front/%31.m4s/x",
    "http://127.0.0.1/../../etc/passwd", "/index.html/../../etc/passwd", "/cameras/front/init.mp4/",
]


def hostile(build, source, work):
    camera = Camera()
    try:
        service = Service(build, work, {"front": "url = %s\n" % camera.url})
        service.wait_for_text("serving http://")
        wait_for(lambda: service.playlist("front"), 30, "the live playlist")
        for path in SNEAKY_PATHS:
            status = raw_request(service.port, b"GET " + path.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
            if status not in (400, 404):
                fail("GET %s answered %s" % (path, status))
        for name, request in (("a long address", b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"),
                              ("a long header", b"GET / HTTP/1.1\r\nHost: x\r\nX: " + b"a" * 20000 + b"\r\n\r\n"),
                              ("POST", b"POST /cameras.json HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc")):
            status = raw_request(service.port, request)
            if status not in (405, 413, 414, 431):
                fail("%s answered %s" % (name, status))
        held = open_slow(service.port, 500)
        started = time.monotonic()
        status = service.get("/cameras/front/live.m3u8", timeout=5)[0]
        took = time.monotonic() - started
        if status != 200 or took > 1:
            fail("with 500 slow connections the playlist answered %d after %.2f s" % (status, took))
        held[0].settimeout(10)
        try:
            held[0].recv(4096)  # a silent half-sent request is cut off after seconds
        except socket.timeout:
            fail("a silent half-sent request was kept for 10 s")
        started = time.monotonic()
        service.stop()
        took = time.monotonic() - started
        for s in held:
            s.close()
        if took > 1:
            fail("the stop took %.2f s with connections open" % took)
    finally:
        camera.stop()


def open_slow(port, count):
    """Connections that have sent part of a request and then stay silent."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 256)), hard))
    held = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"GET /cameras/front/live.m3u8 HTTP/1.1\r\nHost: x\r\n")
        held.append(s)
    return held


def access(build, source, work):
    import ssl
    cert, key, users = make_credentials(work, "viewer:%s\n")
    tls = "tls_cert_file = %s\ntls_key_file = %s\n" % (cert, key)
    service = Service(build, work, {}, tls + "basic_auth_file = %s\n" % users)
    service.wait_for_text("serving https://127.0.0.1:%d/ (basic authentication)" % service.port)
    context = ssl.create_default_context(cafile=cert)
    url = "https://127.0.0.1:%d/cameras.json" % service.port
    basic = lambda password: {"Authorization": "Basic " + __import__("base64").b64encode(
        ("viewer:" + password).encode()).decode()}
    found = [fetch(url, basic("s3cret"), context=context)[0], fetch(url, context=context)[0]]
    found += [fetch(url, basic("wrong%d" % i), context=context)[0] for i in range(6)]
    found.append(fetch(url, basic("s3cret"), context=context)[0])
    # Five wrong passwords, then even the right one waits for the minute.
    if found != [200, 401] + [401] * 5 + [429, 429]:
        fail("right, none, six wrong, right: %s" % found)
    try:
        fetch("http://127.0.0.1:%d/" % service.port, timeout=5)
        fail("plain HTTP was answered on the TLS port")
    except (OSError, urllib.error.URLError):
        pass
    service.stop()
    for name, conf in (("plain", ""), ("tls_only", tls), ("both", tls + "basic_auth_file = %s\n" % users)):
        os.mkdir(os.path.join(work, name))
        service = Service(build, os.path.join(work, name), {}, "listen_address = 192.0.2.1\n" + conf)
        service.wait_for_text("cannot serve on 192.0.2.1" if name == "both" else
                              "plugin web_view.so load returned 22 error 0")
        service.stop()


def webdriver_or_skip(work):
    """Chromium, headless, through its WebDriver; exits 77 (skipped) when
    Chromium or its driver is not installed."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if not browser or not driver:
        print("SKIP: chromium and chromium-driver are not installed", file=sys.stderr)
        sys.exit(SKIP)
    try:
        from selenium import webdriver
    except ImportError:  # Debian's python3-selenium, under another Python
        sys.path.append("/usr/lib/python3/dist-packages")
        from selenium import webdriver
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    # Software decoding and drawing: the canvas grabs the picture itself.
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-accelerated-video-decode",
                 "--disable-dev-shm-usage", "--autoplay-policy=no-user-gesture-required", "--window-size=760,520",
                 "--user-data-dir=" + os.path.join(work, "profile"), "--no-first-run", "--mute-audio"):
        options.add_argument(flag)
    return webdriver.Chrome(service=webdriver.chrome.service.Service(executable_path=driver), options=options)


def video_state(page, camera):
    """The camera's video element, and its current time, mode, the wall
    clock of its time 0 (playback), ready state and whether it is paused."""
    video = page.find_element("css selector", 'video[data-camera="%s"]' % camera)
    return video, page.execute_script(
        "const v = arguments[0]; return [v.currentTime, v.dataset.mode, Number(v.dataset.originMs || 0), "
        "v.readyState, v.paused];", video)


def browser(build, source, work):
    page = webdriver_or_skip(work)
    try:
        recordings, rows = record_clip(build, work)
        cameras = {"clip": Camera(), "front": Camera()}
        try:
            os.mkdir(os.path.join(work, "viewing"))
            service = Service(build, os.path.join(work, "viewing"),
                              {name: "url = %s\n" % c.url for name, c in cameras.items()},
                              "directory = %s\n" % recordings)
            for name in cameras:
                wait_for(lambda: service.playlist(name), 30, name + "'s playlist")
            page.get(service.base + "/")
            for name in cameras:
                wait_for(lambda: page.find_elements("css selector", 'video[data-camera="%s"]' % name), 10,
                         name + "'s tile")
                check_live_video(page, name)
            size = page.execute_async_script(
                "const done = arguments[arguments.length - 1]; const image = new Image();"
                "image.onload = () => done([image.naturalWidth, image.naturalHeight]); image.onerror = () => done(null);"
                "image.src = document.querySelector('video[data-camera=clip]').closest('section')"
                ".querySelector('.snapshot').href;")
            if size != list(SIZE):
                fail("the snapshot link shows a picture of %s" % size)
            check_playback(page, rows)
            time.sleep(1)  # the page's clock shows the recording's time
            page.save_screenshot(os.environ.get("WEB_VIEW_SCREENSHOT", os.path.join(work, "page.png")))
            service.stop()
        finally:
            for camera in cameras.values():
                camera.stop()
    finally:
        page.quit()


def check_live_video(page, name):
    """Within 10 s the live picture advances by 3 s and is not blank; its
    latency (clock code to now) is reported and bounded generously."""
    deadline = time.monotonic() + 10
    video, (first, mode, _, _, _) = video_state(page, name)
    while time.monotonic() < deadline:
        now, mode, _, _, _ = video_state(page, name)[1]
        if now - first >= 3:
            break
        time.sleep(0.2)
    code, blank, _ = page.execute_script(clock_stream.page_reader_js(*SIZE), video)
    latency = clock_stream.latency_seconds(code)
    print("%s: live picture advanced %.1f s in 10 s, latency %.2f s" % (name, now - first, latency))
    if mode != "live" or now - first < 3 or blank or latency > 10:
        fail("%s's live video: mode %s, advanced %.1f s, blank %s, latency %.2f s"
             % (name, mode, now - first, blank, latency))


def check_playback(page, rows):
    """The time picker and the play button: the recording plays within 2 s
    from the asked second, the picture's frame code and the page's clock
    agreeing with it."""
    asked = rows[0][0] + 25200
    section = "document.querySelector('video[data-camera=clip]').closest('section')"
    page.execute_script("const section = %s; section.querySelector('.when').value = localInput(arguments[0]);"
                        "section.querySelector('.play').click();" % section, asked)
    clicked = time.monotonic()
    video, state = video_state(page, "clip")
    requested = int(page.execute_script("return Number(arguments[0].dataset.requestedMs);", video))
    while time.monotonic() - clicked < 2 and not (state[1] == "recording" and state[3] >= 3 and not state[4] and
                                                  state[2] + 1000 * state[0] >= requested):
        time.sleep(0.05)
        state = video_state(page, "clip")[1]
    took = time.monotonic() - clicked
    code, blank, position = page.execute_script(clock_stream.page_reader_js(*SIZE), video)
    picture_ms = rows[0][0] + code * 1000 // clock_stream.FPS
    shown_ms = state[2] + position * 1000
    print("playback from %d started after %.2f s at frame %d (%+d ms), the page's clock %+d ms"
          % (requested, took, code, picture_ms - requested, shown_ms - picture_ms))
    if took >= 2 or blank or not 0 <= picture_ms - requested <= 1000 or abs(shown_ms - picture_ms) > 80:
        fail("playback: state %s after %.2f s, frame %d (%d ms after the asked %d), page clock %d"
             % (state, took, code, picture_ms - requested, requested, shown_ms))


CASES = {"live": live, "recording": recording, "hostile": hostile, "access": access, "browser": browser}


def main():
    global SANITIZER
    case, build, source = sys.argv[1:4]
    SANITIZER = sys.argv[4] if len(sys.argv) > 4 else "none"
    work = tempfile.mkdtemp()
    if os.environ.get("KEEP_WORK"):
        print(work)
    try:
        CASES[case](os.path.abspath(build), os.path.abspath(source), work)
    finally:
        if not os.environ.get("KEEP_WORK"):
            shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
