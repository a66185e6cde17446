#!/usr/bin/env python3
"""Recording real video through the service binary: the shipped video source
reads clips and streams made by ffmpeg, the shipped segment recorder writes
segments, and ffprobe and ffmpeg check what was written.

Usage: recording_test.py <case> <build dir> <sanitizer: none|address|thread>
  file        a clip is recorded into Matroska and MP4 segments, frame for frame
  udp         a live MPEG-TS stream over UDP survives its sender's restart
  throttling  throttling on, then off, leaves a gap and valid segments
  full_disk   a recorder directory on a tiny tmpfs: counted losses, a clear
              log line, bounded memory (needs root: a private mount namespace)
  retention   three cameras write four times a small tmpfs: the oldest go
              first, fairly, and nothing is lost (needs root likewise)
  matrix      codecs and containers: every decoded frame recorded, checked
              by its hash; size_change and jittered_cuts likewise
  rtsp        a GStreamer RTSP camera killed, hung and restarted, with the
              default settings
  many_rtsp   sixteen RTSP cameras at once, with the default settings
  mjpeg       an HTTP MJPEG camera, whose stream has no timestamps
  jumps       timestamps that go back and jump forward within one input
  killed      the service killed in the middle of a segment
  removed_folder  a camera's folder removed while recording
  index       the index of a recording and of a generated day, read by
              orvantis-recordings; a damaged index made again
  health      the cameras' and the recorder's metrics on the exporter's page
  audio       AAC and G.711 recorded beside the video, in step at every cut
Exit status 77 skips.
"""
import glob
import json
import os
import platform
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import foreground_service  # noqa: E402
from foreground_service import fail, wait_for  # noqa: E402

FPS = 25
SIZE = (320, 240)
SKIP = 77
SANITIZER = "none"
MODULE_PREFIX = re.compile(r"^\d\d:\d\d:\d\d: (?:Error: |Warning: )?plugin (\w+)\.so ID 0x[0-9A-F]{8}: ", re.M)


def encoder_args(seconds, noise=False):
    """A lavfi test pattern in H.264 with a key frame every second."""
    source = "testsrc=size=%dx%d:rate=%d:duration=%s" % (SIZE[0], SIZE[1], FPS, seconds)
    args = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source]
    if noise:  # incompressible: large packets
        args += ["-vf", "noise=alls=100:allf=t", "-qp", "0"]
    return args + ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", str(FPS), "-sc_threshold", "0"]


def make_clip(path, seconds, noise=False):
    subprocess.run(encoder_args(seconds, noise) + [path], check=True)


class Service(foreground_service.ForegroundService):
    """The service binary in a directory of its own with the shipped modules
    (and any test module) in plugins/, in the foreground."""

    def __init__(self, build, work, source, recorder, extra=None, quick_breaks=True, start=True):
        super().__init__(os.path.join(build, "bin"), work)
        self.recordings = recorder.get("directory", os.path.join(work, "recordings"))
        plugins = self.plugins
        quick = {"read_timeout_ms": 1000, "backoff_ms": 200, "max_backoff_ms": 1000} if quick_breaks else {}
        modules = {"video_source": dict(quick, **source),
                   "segment_recorder": dict(recorder, directory=self.recordings)}
        for name, settings in modules.items():
            os.symlink(os.path.join(build, "shipped", name, name + ".so"), os.path.join(plugins, name + ".so"))
            write_settings(os.path.join(plugins, name + ".conf"), settings)
        for name, text in (extra or {}).items():
            os.symlink(os.path.join(build, "tests", "modules", "orv_test_module.so"), os.path.join(plugins, name))
            with open(os.path.join(plugins, name + ".conf"), "w") as f:
                f.write(text)
        env = dict(os.environ)
        if SANITIZER == "address":
            env["LD_PRELOAD"] = " ".join(libraries(os.path.join(work, "orvantisd"), "asan") +
                                         libraries(os.path.join(plugins, "video_source.so"), "av"))
        self.env = env
        if start:
            self.start(env)

    def text(self):
        """The service's log, its module lines as "NAME: TEXT": the form of
        the fallback to standard error, without the service's prefix
        ("HH:MM:SS: [LEVEL: ]plugin NAME.so ID 0x%08X: ")."""
        return MODULE_PREFIX.sub(r"\1: ", super().text())

    def wait_for_line(self, pattern, seconds, count=1):
        wait_for(lambda: len(re.findall(pattern, self.text(), re.M)) >= count, seconds,
                 "%d line(s) %r in: %s" % (count, pattern, self.text()))

    def segments(self):
        """In recording order: names within the same millisecond take a
        suffix, "-1", "-2", which sorts before the name without one."""
        def order(path):
            name = re.match(r"(.*?Z)(?:-(\d+))?\.", os.path.basename(path))
            return name.group(1), int(name.group(2) or 0)
        return sorted(glob.glob(os.path.join(self.recordings, "*", "*", "*.*")), key=order)


def libraries(binary, prefix):
    """The paths of the libraries `binary` loads whose names start with
    lib<prefix>. Under LeakSanitizer FFmpeg's libraries are preloaded (after
    the sanitizer's runtime, which must come first): FFmpeg keeps some
    allocations in its own static data, which would vanish when the service
    unloads the modules and FFmpeg with them, and then show as leaks. The
    modules' own leaks are still found."""
    listing = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return re.findall(r"=> (\S*/lib%s\w*\.so[.\d]*) " % prefix, listing)


def write_settings(path, settings):
    with open(path, "w") as f:
        for key, value in settings.items():
            f.write("%s = %s\n" % (key, value))


def report(text, pattern):
    found = re.search(pattern, text)
    if not found:
        fail("no line %r in: %s" % (pattern, text))
    return [int(n) for n in found.groups()]


def recorder_report(text):
    return report(text, r"segment_recorder: (\d+) segments, (\d+) packets written, (\d+) dropped beyond the "
                        r"hold bound, (\d+) lost to disk errors, (\d+) skipped to a key frame, (\d+) old segments "
                        r"deleted")


def source_report(text):
    return report(text, r"video_source: (\d+) packets sent, (\d+) refused while throttling, (\d+) failed, "
                        r"(\d+) connections")


def check_segment(path, size=SIZE):
    """The segment's frame count, after checking codec, size and decoding."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,width,height,nb_read_frames", "-of", "json", path],
                           capture_output=True, text=True)
    if probe.returncode != 0 or probe.stderr:
        fail("ffprobe %s: %s" % (path, probe.stderr))
    stream = json.loads(probe.stdout)["streams"][0]
    if (stream["codec_name"], stream["width"], stream["height"]) != ("h264",) + tuple(size):
        fail("%s holds %s" % (path, stream))
    decode = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True, text=True)
    if decode.returncode != 0 or decode.stderr:
        fail("decoding %s: %s" % (path, decode.stderr))
    return int(stream["nb_read_frames"])


def largest_pts_step(path):
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                            "-of", "csv=p=0", path], capture_output=True, text=True, check=True)
    times = sorted(float(t) for t in probe.stdout.split() if t != "N/A")
    return max((b - a for a, b in zip(times, times[1:])), default=0.0)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---- cases ------------------------------------------------------------------

def record_file(build, work):
    """Every frame of a 3-second clip lands, in order, in 1-second segments
    that start at key frames, in both containers."""
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 3)
    for container in ("mkv", "mp4"):
        run = os.path.join(work, container)
        os.mkdir(run)
        service = Service(build, run, {"url": clip, "rate": 0, "at_end": "stop"},
                          {"format": container, "segment_seconds": 1})
        service.wait_for_line(r"^segment_recorder: finished .*\." + container, 20, count=3)
        text = service.stop()
        if re.search(r"^(video_source|segment_recorder): ", foreground_service.ForegroundService.text(service), re.M):
            fail("module lines written beside the service's log: " + text)
        segments = service.segments()
        frames = [check_segment(s) for s in segments]
        if frames != [FPS] * 3 or not all(s.endswith("." + container) for s in segments):
            fail("%s segments %s hold %s frames" % (container, segments, frames))
        if source_report(text)[:3] != [3 * FPS, 0, 0] or recorder_report(text)[:5] != [3, 3 * FPS, 0, 0, 0]:
            fail("reports: " + text)


def record_udp(build, work):
    """A live stream whose sender is killed and started again: one segment
    per sender, both whole."""
    port = free_udp_port()
    url = "udp://127.0.0.1:%d" % port
    # A sender stalled by a busy machine must not count as stopped.
    service = Service(build, work, {"url": url, "rate": 0, "read_timeout_ms": 3000}, {"segment_seconds": 60})
    sender_args = ["-f", "mpegts", url + "?pkt_size=1316"]
    first = subprocess.Popen(["ffmpeg", "-re"] + encoder_args(30)[1:] + sender_args, stdin=subprocess.DEVNULL)
    try:
        service.wait_for_line(r"^video_source: camera1: stream 1: h264 320x240$", 20)
        time.sleep(2)
    finally:
        first.send_signal(signal.SIGKILL)
        first.wait()
    service.wait_for_line(r"^segment_recorder: finished ", 20)
    second = subprocess.Popen(["ffmpeg", "-re"] + encoder_args(4)[1:] + sender_args, stdin=subprocess.DEVNULL)
    try:
        service.wait_for_line(r"^video_source: camera1: stream 2: h264 320x240$", 20)
        second.wait(timeout=20)
    finally:
        second.kill()
    service.wait_for_line(r"^segment_recorder: finished ", 20, count=2)
    text = service.stop()
    frames = [check_segment(s) for s in service.segments()]
    if len(frames) != 2 or min(frames) < FPS:
        fail("segments hold %s frames: %s" % (frames, text))
    written = recorder_report(text)[1]
    if sum(frames) != written:
        fail("%d frames in segments, %d packets written" % (sum(frames), written))


def machine_limit():
    """The service's memory limit on this machine, worked out independently."""
    total = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    gib = 1 << 30
    if total <= 2 * gib:
        return total, total
    if total <= 3 * gib or platform.machine() != "x86_64":
        return 2 * gib, total
    return 3 * gib, total


def record_throttled(build, work):
    """A test module allocates above the memory limit after 1.5 s and frees
    it 1.5 s later: the source's packets are refused meanwhile, the recorder
    resumes at a key frame in the same segment, and the segment plays."""
    if SANITIZER != "none":
        print("the allocated-bytes statistic needs tcmalloc, the plain build's allocator")
        sys.exit(SKIP)
    limit, total = machine_limit()
    block = limit + (256 << 20)
    if block >= total:
        print("one untouched block above the limit would exceed the machine's memory")
        sys.exit(SKIP)
    memory = ("id = 0x5001\naccepts_write = 1\nmask3 = 0xFF\nalloc_bytes = %d\nalloc_event = 0x77\n"
              "free_event = 0x78\nthread_interval_ms = 1500\nthread_count = 2\n"
              "send = thread flags=0x8 event=0x77 round=1\nsend = thread flags=0x8 event=0x78 round=2\n" % block)
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 6)
    service = Service(build, work, {"url": clip, "rate": 1, "at_end": "stop"}, {"segment_seconds": 60},
                      extra={"memory.so": memory})
    service.wait_for_line(r"^video_source: camera1: end of ", 30)
    service.wait_for_line(r"^segment_recorder: finished ", 10)
    text = service.stop()
    sent, refused, failed, _ = source_report(text)
    segments, written, dropped, lost, skipped = recorder_report(text)[:5]
    if refused == 0 or sent + refused != 6 * FPS or failed or dropped or lost:
        fail("no gap from throttling, or packets lost otherwise: " + text)
    if "segment_recorder: %d packets missing" % refused not in text:
        fail("the recorder did not see the gap: " + text)
    frames = [check_segment(s) for s in service.segments()]
    if sum(frames) != written or written + skipped != sent:
        fail("segments hold %s frames; %d written, %d skipped of %d sent" % (frames, written, skipped, sent))
    if max(largest_pts_step(s) for s in service.segments()) < 0.5:
        fail("no gap in the recorded timestamps")


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


def small_disk(work, size):
    """A tmpfs of `size` in a private mount namespace: the test runs again
    inside one (needs root and unshare, or skips)."""
    if os.environ.get("ORV_PRIVATE_MOUNTS") != "1":
        if os.geteuid() != 0 or not shutil.which("unshare"):
            print("needs root and unshare for a private tmpfs")
            sys.exit(SKIP)
        env = dict(os.environ, ORV_PRIVATE_MOUNTS="1")
        sys.exit(subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable] + sys.argv,
                                env=env).returncode)
    disk = os.path.join(work, "disk")
    os.mkdir(disk)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", disk], check=True)
    return disk


def record_full_disk(build, work):
    """Large packets at four times real time into a 1 MiB tmpfs, segments
    larger than the disk: the recorder reports the full disk once, counts
    what it could not write, and the service's memory stays flat while the
    source keeps sending."""
    disk = small_disk(work, "1m")
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 2, noise=True)
    service = Service(build, work, {"url": clip, "rate": 4, "at_end": "loop"},
                      {"directory": disk, "segment_seconds": 1})
    service.wait_for_line(r"^segment_recorder: cannot (start|write|finish) .*: No space left on device$", 30)
    time.sleep(1)
    before = rss_kib(service.process.pid)
    time.sleep(3)
    after = rss_kib(service.process.pid)
    text = service.stop()
    lost = recorder_report(text)[3]
    if lost == 0:
        fail("nothing counted as lost: " + text)
    if len(re.findall(r"No space left on device", text)) != 1:
        fail("the full disk is not reported exactly once: " + text)
    # ASan holds freed memory in its quarantine; only the plain build's
    # resident size says whether payloads pile up.
    if SANITIZER == "none" and after - before > 16 * 1024:
        fail("resident memory grew from %d to %d KiB" % (before, after))


def record_retention(build, work):
    """Three cameras, one at about twice the others' bitrate, write twice
    the size of a 12 MiB tmpfs: recording never stops and loses nothing, the
    oldest segments of each camera go first, every camera keeps its recent
    history, and the deletions are summed up. (In 6 MiB the fast camera's
    fair share was about one of its segments, and at times none.)"""
    disk = small_disk(work, "12m")
    clips = {}
    for size in ("160x120", "240x180"):
        clips[size] = os.path.join(work, "noise-%s.mp4" % size)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=%s:rate=25:duration=2" % size,
                        "-vf", "noise=alls=100:allf=t", "-qp", "0", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g",
                        "25", clips[size]], check=True)
    service = Service(build, work, {"at_end": "loop", "rate": 1}, {"directory": disk, "segment_seconds": 1,
                                                                   "min_free_megabytes": 1}, start=False)
    with open(os.path.join(service.plugins, "video_source.conf"), "a") as f:
        for name, size in (("big", "240x180"), ("small1", "160x120"), ("small2", "160x120")):
            f.write("[%s]\nurl = %s\n" % (name, clips[size]))
    service.start(service.env)
    time.sleep(8)
    text = service.stop()
    report = recorder_report(text)
    if report[2:4] != [0, 0] or "No space" in text or report[5] == 0:
        fail("dropped, lost or nothing deleted: " + text)
    if not re.search(r"^segment_recorder: deleted \d+ old segments \(\d+ bytes\), \d+ kept", text, re.M):
        fail("no summary of the deletions: " + text)
    for name in ("big", "small1", "small2"):
        finished = re.findall(r"^segment_recorder: finished %s/\S+/(\S+):" % name, text, re.M)
        kept = sorted(os.path.basename(p) for p in glob.glob(os.path.join(disk, name, "*", "*")))
        if not kept or kept != finished[-len(kept):]:
            fail("%s keeps %s of %s" % (name, kept, finished))


# Short clips, 160x120 at 25 fps with a key frame every second: name, input
# container, encoder arguments (after the test pattern), recorder format.
H264_B = ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-bf", "2", "-g", "25", "-sc_threshold", "0"]
MATRIX = [
    ("h264-b-mp4", "mp4", H264_B, "mkv"),
    ("h264-b-mkv", "mkv", H264_B, "mp4"),
    ("h264-b-ts", "ts", H264_B, "mp4"),
    ("hevc", "mkv", ["-c:v", "libx265", "-x265-params", "keyint=25:min-keyint=25:bframes=2:log-level=error"], "mp4"),
    ("mjpeg", "mkv", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"], "mkv"),
    ("mpeg2", "ts", ["-c:v", "mpeg2video", "-bf", "2", "-g", "25", "-flags", "+cgop",
                        "-sc_threshold", "1000000000"], "mkv"),
    ("vp9-mp4", "webm", ["-c:v", "libvpx-vp9", "-g", "25", "-deadline", "realtime", "-cpu-used", "8"], "mp4"),
    ("vp9-mkv", "webm", ["-c:v", "libvpx-vp9", "-g", "25", "-deadline", "realtime", "-cpu-used", "8"], "mkv"),
    ("av1", "mkv", ["-c:v", "libaom-av1", "-g", "25", "-usage", "realtime", "-cpu-used", "8"], "mp4"),
    # frames 1 and 2 of every four dropped: timestamps 40, 80 and 40 ms apart
    ("vfr", "mkv", ["-vf", "select='not(between(mod(n,4),1,2))'", "-fps_mode", "vfr"] + H264_B, "mp4"),
]


def frame_hashes(path):
    """The md5 of every decoded frame, with its presentation time."""
    out = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v:0", "-fps_mode", "passthrough",
                          "-autoscale", "0", "-f", "framemd5", "-"], capture_output=True, text=True, check=True).stdout
    frames = []
    for line in out.splitlines():
        if line.startswith("#tb"):
            base = line.split(":")[1].strip().split("/")
            base = float(base[0]) / float(base[1])
        elif line and not line.startswith("#"):
            fields = [f.strip() for f in line.split(",")]
            frames.append((int(fields[2]) * base, fields[5]))
    return frames


def record_clip(build, work, clip, container, settings=None):
    """Records `clip` and returns its segments, after the reports."""
    service = Service(build, work, {"url": clip, "rate": 0, "at_end": "stop"},
                      dict({"format": container, "segment_seconds": 60}, **(settings or {})))
    service.wait_for_line(r"^video_source: camera1: end of ", 20)
    text = service.stop()
    sent, refused, failed, _ = source_report(text)
    written = recorder_report(text)[1]
    if refused or failed or written != sent:
        fail("%s: %d of %d packets written: %s" % (clip, written, sent, text))
    if "missing" in text or "cannot" in text:
        fail("%s: %s" % (clip, text))
    return service.segments()


def same_frames(name, source, segments):
    """Each segment's frames are the source's next ones, and its timeline
    starts at zero (within the reorder delay of a B-frame stream)."""
    expected = frame_hashes(source)
    got = []
    for segment in segments:
        frames = frame_hashes(segment)
        if not frames or frames[0][0] > 0.1:
            fail("%s: segment %s starts at %s" % (name, segment, frames[:1]))
        got += frames
    if [h for _, h in got] != [h for _, h in expected]:
        fail("%s: %d frames recorded, %d in the source, first difference at %d" %
             (name, len(got), len(expected),
              next((i for i, (a, b) in enumerate(zip(got, expected)) if a[1] != b[1]), min(len(got), len(expected)))))
    return got, expected


def record_matrix(build, work):
    """Every frame of each clip, and only those, decodes from the segments."""
    pattern = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=2"]
    for name, input_container, encoder, container in MATRIX:
        run = os.path.join(work, name)
        os.mkdir(run)
        clip = os.path.join(run, "clip." + input_container)
        subprocess.run(pattern + encoder + [clip], check=True)
        segments = record_clip(build, run, clip, container)
        if len(segments) != 1:
            fail("%s: segments %s" % (name, segments))
        got, expected = same_frames(name, clip, segments)
        if name == "vfr" and any(abs(a[0] - b[0] - got[0][0] + expected[0][0]) > 0.002 for a, b in zip(got, expected)):
            fail("vfr: recorded times %s, source %s" % ([t for t, _ in got], [t for t, _ in expected]))


def record_size_change(build, work):
    """A stream whose size changes at a key frame without a new connection:
    a segment per size, each declaring its own, every frame recorded."""
    parts = []
    for n, size in enumerate(("160x120", "320x240")):
        parts.append(os.path.join(work, "part%d.ts" % n))
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=%s:rate=25:duration=1" % size]
                       + H264_B + ["-output_ts_offset", str(n), parts[-1]], check=True)
    clip = os.path.join(work, "clip.ts")
    with open(clip, "wb") as out:
        for part in parts:
            with open(part, "rb") as f:
                out.write(f.read())
    segments = record_clip(build, work, clip, "mp4")
    sizes = [subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height",
                             "-of", "csv=p=0", s], capture_output=True, text=True, check=True).stdout.strip()
             for s in segments]
    if sizes != ["160,120", "320,240"]:
        fail("segments %s declare %s" % (segments, sizes))
    same_frames("size change", clip, segments)


def record_jittered_cuts(build, work):
    """Key frames 10 ms early on a one-second grid: segments are cut at each of
    them, a second each, not every other one."""
    clip = os.path.join(work, "clip.mkv")
    jitter = "settb=1/1000,setpts='(N/25-0.01*eq(mod(N,25),0)*gt(N,0))/TB'"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4",
                    "-vf", jitter, "-fps_mode", "vfr"] + H264_B + [clip], check=True)
    segments = record_clip(build, work, clip, "mkv", {"segment_seconds": 1})
    frames = [len(frame_hashes(s)) for s in segments]
    if frames != [25] * 4:
        fail("segments hold %s frames" % frames)
    same_frames("jittered cuts", clip, segments)


def gi_python():
    """A Python interpreter with GStreamer's RTSP server bindings, or None."""
    for python in (sys.executable, "/usr/bin/python3"):
        check = "import gi; gi.require_version('GstRtspServer', '1.0'); from gi.repository import GstRtspServer"
        if shutil.which(python) and subprocess.run([python, "-c", check], capture_output=True).returncode == 0:
            return python
    return None


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Camera:
    """The RTSP camera of rtsp_camera.py in a process of its own."""

    def __init__(self, python, interval):
        self.python, self.interval, self.port = python, interval, free_tcp_port()
        self.url = "rtsp://127.0.0.1:%d/cam0" % self.port
        self.process = None

    def start(self):
        return self.start_mounts(1)

    def start_mounts(self, count):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtsp_camera.py")
        self.process = subprocess.Popen([self.python, script, str(self.port), str(self.interval), str(count)],
                                        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        if self.process.stdout.readline().strip() != "ready":
            fail("the RTSP camera did not start")
        return time.monotonic()

    def kill(self):
        self.process.kill()
        self.process.wait()


def rtsp_camera(interval):
    python = gi_python()
    if not python:
        print("needs GStreamer's RTSP server for Python (gir1.2-gst-rtsp-server-1.0, python3-gi)")
        sys.exit(SKIP)
    return Camera(python, interval)


def check_segments(service, minimum_frames):
    frames = [check_segment(s, (160, 120)) for s in service.segments()]
    if not frames or min(frames) < minimum_frames:
        fail("segments hold %s frames: %s" % (frames, service.text()))
    return frames


def record_rtsp(build, work):
    """Default settings. The first key frame of every connection is recorded;
    a killed camera is logged and recording resumes within a second or two of
    its restart; a hung one is found by the read deadline and recorded again
    once it goes on."""
    camera = rtsp_camera(50)
    camera.start()
    service = Service(build, work, {"url": camera.url, "rate": 0}, {"segment_seconds": 60}, quick_breaks=False)
    try:
        service.wait_for_line(r"^video_source: camera1: stream 1: h264 160x120$", 20)
        time.sleep(3)
        camera.kill()
        service.wait_for_line(r"^segment_recorder: finished ", 10)
        time.sleep(2)
        restarted = camera.start()
        service.wait_for_line(r"^video_source: camera1: stream 2: ", 10)
        resumed = time.monotonic() - restarted
        time.sleep(2)
        camera.process.send_signal(signal.SIGSTOP)
        hung = time.monotonic()
        service.wait_for_line(r"^video_source: camera1: lost .*: no data for 5000 ms$", 15)
        found = time.monotonic() - hung
        camera.process.send_signal(signal.SIGCONT)
        service.wait_for_line(r"^video_source: camera1: stream 3: ", 35)
        time.sleep(2)
        text = service.stop()
    finally:
        camera.kill()
    if resumed > 3 or found > 8:
        fail("recording resumed %.1f s after the camera came back, a hang was found after %.1f s" % (resumed, found))
    for line in (r"end of \S+", r"lost \S+: no data for 5000 ms", r"cannot open \S+: Connection refused"):
        if len(re.findall(r"^video_source: camera1: %s$" % line, text, re.M)) != 1:
            fail("not logged once: %r: %s" % (line, text))
    # Stopped while the camera streams: every packet the source counted as
    # sent reached the recorder.
    written, skipped = recorder_report(text)[1], recorder_report(text)[4]
    if skipped or written != source_report(text)[0]:
        fail("%d packets written, %d skipped: %s" % (written, skipped, text))
    check_segments(service, 40)


def record_many_rtsp(build, work):
    """Sixteen RTSP cameras at once, read by one source and recorded by one
    recorder: every camera connects with the default settings and is
    recorded into a folder of its own, from its first key frame on."""
    count = 16
    camera = rtsp_camera(50)
    camera.start_mounts(count)
    names = ["cam-%02d" % n for n in range(count)]
    service = Service(build, work, {"rate": 0}, {"segment_seconds": 60}, quick_breaks=False, start=False)
    with open(os.path.join(service.plugins, "video_source.conf"), "a") as f:
        for n, name in enumerate(names):
            f.write("[%s]\nurl = %s\n" % (name, camera.url[:-1] + str(n)))
    service.start(service.env)
    try:
        wait_for(lambda: len(re.findall(r"^video_source: cam-\d\d: stream 1: h264 160x120$", service.text(),
                                        re.M)) == count, 40, "%d cameras: %s" % (count, service.text()))
        time.sleep(3)
        text = service.stop()
    finally:
        camera.kill()
    if re.search(r"^video_source: \S+: (cannot open|no video stream in|lost) ", text, re.M):
        fail("a camera failed: " + text)
    for name in names:
        segments = glob.glob(os.path.join(service.recordings, name, "*", "*.mkv"))
        if len(segments) != 1 or check_segment(segments[0], (160, 120)) < 50:
            fail("camera %s: segments %s" % (name, segments))


def record_mjpeg(build, work):
    """An HTTP MJPEG camera at 15 fps (no timestamps in the stream): the
    recording lasts as long as the camera sent, at 15 frames a second."""
    port = free_tcp_port()
    url = "http://127.0.0.1:%d/cam" % port
    camera = subprocess.Popen(["ffmpeg", "-v", "error", "-re", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=15",
                               "-c:v", "mjpeg", "-pix_fmt", "yuvj420p", "-f", "mpjpeg", "-listen", "1", url],
                              stdin=subprocess.DEVNULL)
    try:
        service = Service(build, work, {"url": url, "rate": 0}, {"segment_seconds": 60})
        service.wait_for_line(r"^video_source: camera1: stream 1: mjpeg 160x120$", 20)
        time.sleep(4)
    finally:
        camera.kill()
        camera.wait()
    text = service.stop()
    segments = service.segments()
    frames = frame_hashes(segments[0]) if segments else []
    if len(segments) != 1 or len(frames) < 30:
        fail("segments %s, %d frames: %s" % (segments, len(frames), text))
    rate = (len(frames) - 1) / (frames[-1][0] - frames[0][0])
    if not 14.25 < rate < 15.75:
        fail("%d frames recorded at %.1f frames a second" % (len(frames), rate))


def record_jumps(build, work):
    """One MPEG-TS file whose timestamps go back, then forward by 100 s, with
    no new connection (three encoder runs joined byte for byte): a new
    segment at each jump, one line each, nothing skipped."""
    parts = []
    for n, offset in enumerate((0, 0, 100)):
        parts.append(os.path.join(work, "part%d.ts" % n))
        subprocess.run(encoder_args(2) + ["-output_ts_offset", str(offset), parts[-1]], check=True)
    clip = os.path.join(work, "jumps.ts")
    with open(clip, "wb") as out:
        for part in parts:
            with open(part, "rb") as f:
                out.write(f.read())
    service = Service(build, work, {"url": clip, "rate": 0, "at_end": "stop"}, {"segment_seconds": 60})
    service.wait_for_line(r"^video_source: camera1: end of ", 20)
    text = service.stop()
    jumps = re.findall(r"^segment_recorder: camera1: timestamps jump by (-?[\d.]+) s, a new segment at the next "
                       r"key frame$", text, re.M)
    if len(jumps) != 2 or not float(jumps[0]) < 0 < 90 < float(jumps[1]):
        fail("jumps logged: %s: %s" % (jumps, text))
    frames = [check_segment(s) for s in service.segments()]
    if frames != [2 * FPS] * 3 or recorder_report(text)[4] != 0:
        fail("segments hold %s frames: %s" % (frames, text))


def record_killed(build, work):
    """The service killed in the middle of a segment: the open segment plays,
    without an error, to within 2 s of the kill, in both containers."""
    port = free_udp_port()
    url = "udp://127.0.0.1:%d" % port
    sender = subprocess.Popen(["ffmpeg", "-re"] + encoder_args(60)[1:] + ["-f", "mpegts", url + "?pkt_size=1316"],
                              stdin=subprocess.DEVNULL)
    try:
        for container in ("mkv", "mp4"):
            run = os.path.join(work, container)
            os.mkdir(run)
            service = Service(build, run, {"url": url, "rate": 0}, {"format": container, "segment_seconds": 60})
            service.wait_for_line(r"^video_source: camera1: stream 1: ", 20)
            started = time.monotonic()
            time.sleep(5)
            service.process.kill()
            service.process.wait()
            recorded = time.monotonic() - started
            segments = service.segments()
            frames = [check_segment(s) for s in segments]
            if len(segments) != 1 or frames[0] < (recorded - 2) * FPS:
                fail("%s: %s frames in %s after %.1f s" % (container, frames, segments, recorded))
    finally:
        sender.kill()
        sender.wait()


def record_removed_folder(build, work):
    """The camera's folder removed while recording: the open segment is not
    reported finished, and the folder is made again at the next one."""
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 3)
    service = Service(build, work, {"url": clip, "rate": 1, "at_end": "loop"}, {"segment_seconds": 1})
    service.wait_for_line(r"^segment_recorder: finished ", 20)
    shutil.rmtree(os.path.join(service.recordings, "camera1"))
    service.wait_for_line(r"^segment_recorder: cannot finish .*: No such file or directory$", 10)
    service.wait_for_line(r"^segment_recorder: writing again", 10)
    text = service.stop()
    segments = service.segments()
    if not segments or [check_segment(s) for s in segments[:-1]] != [FPS] * (len(segments) - 1):
        fail("segments after the folder came back: %s: %s" % (segments, text))


def tool(build, recordings, *args):
    return subprocess.run([os.path.join(build, "bin", "orvantis-recordings"), "-d", recordings] + list(args),
                          capture_output=True, text=True)


def record_index(build, work):
    """The index of a recording and of a generated day of another camera
    (one segment a minute, linked from a recorded one): the tool lists both,
    finds a moment's segment and offset, says when there is no footage,
    exports a range that plays from its first second; a damaged index is
    made again from the files."""
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 4)
    service = Service(build, work, {"url": clip, "rate": 1, "at_end": "stop"}, {"segment_seconds": 2})
    service.wait_for_line(r"^video_source: camera1: end of ", 20)
    service.stop()
    recorded = service.segments()
    day = os.path.join(service.recordings, "yard", "2025-01-05")
    os.makedirs(day)
    for minute in range(24 * 60):
        os.link(recorded[0], os.path.join(day, "20250105T%02d%02d00.000Z.mkv" % divmod(minute, 60)))
    damaged = os.path.join(service.recordings, "index.sqlite")
    for tail in ("-wal", "-shm"):
        if os.path.exists(damaged + tail):
            os.remove(damaged + tail)
    with open(damaged, "r+b") as f:
        f.write(b"not a database" * 100)
    service = Service(build, os.path.join(work, "again"), {"url": clip, "rate": 0, "at_end": "stop"},
                      {"directory": service.recordings, "segment_seconds": 60})
    service.wait_for_line(r"^segment_recorder: finished ", 20)
    text = service.stop()
    if "made again from the files" not in text:
        fail("the damaged index was not made again: " + text)
    cameras = tool(build, service.recordings, "cameras").stdout.split()
    if cameras[:2] != ["camera1", "3"] or cameras[5:7] != ["yard", "1440"]:
        fail("cameras: %s" % cameras)
    found = tool(build, service.recordings, "find", "yard", "2025-01-05T10:30:01.500Z")
    if found.stdout.split() != [os.path.join(day, "20250105T103000.000Z.mkv"), "1.500"]:
        fail("find: %r %r" % (found.stdout, found.stderr))
    if tool(build, service.recordings, "find", "yard", "2025-01-05T10:30:30Z").returncode != 1:
        fail("footage found in a gap")
    start = tool(build, service.recordings, "segments", "camera1").stdout.split()[0]
    seconds = re.match(r".*T\d\d:\d\d:(\d\d\.\d+)Z", start).group(1)
    exported = os.path.join(work, "export.mp4")

    def at(offset):
        return start.replace(seconds + "Z", "%06.3fZ" % (float(seconds) + offset))
    if float(seconds) > 55:
        print("the recording started too close to a minute's end to shift by seconds; skipped")
        sys.exit(SKIP)
    result = tool(build, service.recordings, "export", "camera1", at(1), at(3), exported)
    if result.returncode != 0:
        fail("export: %s" % result.stderr)
    check_segment(exported)
    frames = [h for _, h in frame_hashes(exported)]
    source = [h for _, h in frame_hashes(clip)]
    # The end is cut by decoding time: up to the B-frames' delay more pictures.
    if not 2 * FPS <= len(frames) <= 2 * FPS + 3 or frames[:2 * FPS] != source[FPS:3 * FPS]:
        fail("the export holds %d frames, from the clip's %s" % (len(frames), source.index(frames[0])
                                                                 if frames[0] in source else None))


def record_health(build, work):
    """Each camera's and the recorder's health on the metrics page of the
    service's exporter: connected, frames, bytes, latest packet, connections;
    segments, bytes, deletions, free space, disk errors."""
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 3)
    port = free_tcp_port()
    service = Service(build, work, {"url": clip, "rate": 1, "at_end": "loop"}, {"segment_seconds": 1}, start=False)
    os.symlink(os.path.join(build, "shipped", "prometheus_exporter", "prometheus_exporter.so"),
               os.path.join(service.plugins, "prometheus_exporter.so"))
    write_settings(os.path.join(service.plugins, "prometheus_exporter.conf"),
                   {"listen_address": "127.0.0.1", "port": port})
    service.start(service.env)
    service.wait_for_line(r"^segment_recorder: finished ", 20, count=2)
    page = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10).read().decode()
    service.stop()
    values = dict(re.findall(r"^orvantis_((?:video_source|segment_recorder)_\w+)\{[^}]*\} (\S+)$", page, re.M))
    camera = 'camera="camera1"'
    if camera not in page or values.get("video_source_connected") != "1" or \
            float(values.get("video_source_frames_total", 0)) < 2 * FPS or \
            float(values.get("video_source_bytes_total", 0)) <= 0 or \
            abs(float(values.get("video_source_last_packet_time_seconds", 0)) - time.time()) > 30 or \
            float(values.get("segment_recorder_segments_total", 0)) < 2 or \
            float(values.get("segment_recorder_bytes_total", 0)) <= 0 or \
            float(values.get("segment_recorder_free_bytes", 0)) <= 0 or \
            values.get("segment_recorder_disk_errors_total") != "0" or \
            "segment_recorder_deleted_segments_total" not in values or \
            "video_source_connections_total" not in values:
        fail("metrics: %s" % values)


def stream_spans(path):
    """Each stream's codec and the times its packets cover: (codec, first
    pts, last pts + duration, packet count), in stream order."""
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=index,codec_name:packet=stream_index,pts_time,duration_time", "-of", "json", path],
        capture_output=True, text=True, check=True).stdout)
    spans = []
    for stream in probe["streams"]:
        packets = [p for p in probe["packets"] if p["stream_index"] == stream["index"]]
        times = [float(p["pts_time"]) for p in packets] or [0]
        end = max((float(p["pts_time"]) + float(p.get("duration_time", 0)) for p in packets), default=0)
        spans.append((stream["codec_name"], min(times), end, len(packets)))
    return spans


def record_audio(build, work):
    """A camera's AAC (MPEG-TS, its frames in ADTS) and G.711 (Matroska)
    beside H.264 without B-frames, as cameras send them, cut every second:
    each segment holds both streams, starting and ending together within a
    frame, so the audio runs on across the cuts; MP4, which cannot hold
    G.711, records that camera's video alone and says so once."""
    video = ["-c:v", "libx264", "-bf", "0", "-g", "25", "-pix_fmt", "yuv420p"]
    clips = {"aac": ("clip.ts", 48000), "pcm_mulaw": ("clip.mkv", 8000)}  # G.711 in 20 ms packets, as over RTP
    for codec, (name, rate) in clips.items():
        clip = os.path.join(work, codec + "-" + name)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4",
                        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=%d:duration=4:samples_per_frame=%d"
                        % (rate, rate // 50)] + video +
                       ["-c:a", codec, clip], check=True)
        for container in ("mkv", "mp4"):
            run = os.path.join(work, codec + "-" + container)
            os.mkdir(run)
            service = Service(build, run, {"url": clip, "rate": 0, "at_end": "stop"},
                              {"format": container, "segment_seconds": 1})
            service.wait_for_line(r"^video_source: camera1: end of ", 20)
            text = service.stop()
            if not re.search(r"^video_source: camera1: audio 1: %s " % codec, text, re.M):
                fail("no audio announced: " + text)
            segments = service.segments()
            spans = [stream_spans(s) for s in segments]
            if codec == "pcm_mulaw" and container == "mp4":
                if [[c for c, *_ in s] for s in spans] != [["h264"]] * 4 or \
                        text.count("mp4 segments cannot hold pcm_mulaw audio, recording the video alone") != 1:
                    fail("G.711 in MP4: %s: %s" % (spans, text))
                continue
            for segment, streams in zip(segments, spans):
                check_segment(segment, (160, 120))
                if len(streams) != 2:
                    fail("%s %s: %s holds %s: %s" % (codec, container, segment, streams, text))
                (vcodec, vstart, vend, frames), (acodec, astart, aend, _) = streams
                if (vcodec, acodec, frames) != ("h264", codec, FPS) or abs(astart - vstart) > 0.04 or \
                        abs(aend - vend) > 0.04:
                    fail("%s %s: %s holds %s" % (codec, container, segment, streams))
            if len(segments) != 4:
                fail("%s %s: segments %s" % (codec, container, segments))


CASES = {"file": record_file, "udp": record_udp, "throttling": record_throttled, "full_disk": record_full_disk,
         "retention": record_retention,
         "matrix": record_matrix, "size_change": record_size_change, "jittered_cuts": record_jittered_cuts,
         "rtsp": record_rtsp, "many_rtsp": record_many_rtsp, "mjpeg": record_mjpeg,
         "jumps": record_jumps, "killed": record_killed, "removed_folder": record_removed_folder,
         "index": record_index, "health": record_health, "audio": record_audio}


def main():
    global SANITIZER
    case, build, SANITIZER = sys.argv[1:4]
    work = tempfile.mkdtemp()
    try:
        CASES[case](os.path.abspath(build), work)
    finally:
        if os.path.ismount(os.path.join(work, "disk")):
            subprocess.run(["umount", os.path.join(work, "disk")])
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
