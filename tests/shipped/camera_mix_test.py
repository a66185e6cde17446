#!/usr/bin/env python3
"""Eight cameras read by one video source and recorded by one recorder: four
RTSP cameras of GStreamer's RTSP server (two over TCP, two over RTP/UDP) and
four MPEG-TS streams over UDP, all at once. Each camera sends a few seconds
and falls silent; every frame it sent (but an RTSP camera's last, see below)
is in its segments, each of which starts on a key frame and decodes cleanly.

Usage: camera_mix_test.py <build dir> <sanitizer: none|address|thread>
Exit status 77 skips."""
import concurrent.futures
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import recording_test as recording

FRAMES = 75  # three seconds a camera
RTSP_CAMERAS = ["rtsp-tcp-1", "rtsp-tcp-2", "rtsp-udp-1", "rtsp-udp-2"]
UDP_CAMERAS = ["ts-1", "ts-2", "ts-3", "ts-4"]


def start_rtsp_server(python, port):
    """One mount per RTSP camera, each sending FRAMES frames from its client's start."""
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "rtsp_camera.py")
    server = subprocess.Popen([python, script, str(port), "25", str(len(RTSP_CAMERAS)), str(FRAMES)],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    if server.stdout.readline().strip() != "ready":
        recording.fail("the RTSP server did not start")
    return server


def udp_bound(port):
    """Whether a UDP socket is bound to `port` (the source listens there)."""
    with open("/proc/net/udp") as table:
        return any(line.split()[1].endswith(":%04X" % port) for line in list(table)[1:])


def segment_frames(path):
    """The segment's frames, decoded; it must start on a key frame and decode without a word."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames:packet=flags", "-of", "json", path], capture_output=True, text=True)
    if probe.returncode != 0 or probe.stderr:
        recording.fail("ffprobe %s: %s" % (path, probe.stderr))
    found = json.loads(probe.stdout)
    if not found["packets"][0]["flags"].startswith("K"):
        recording.fail("%s starts with a packet that is not a key frame" % path)
    return int(found["streams"][0]["nb_read_frames"])


def record_eight_cameras(build, work):
    python = recording.gi_python()
    if not python:
        print("needs GStreamer's RTSP server for Python (gir1.2-gst-rtsp-server-1.0, python3-gi)")
        sys.exit(recording.SKIP)
    clip = os.path.join(work, "clip.ts")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=%g" %
                    (FRAMES / 25), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "25", "-sc_threshold", "0", clip],
                   check=True)
    rtsp_port = recording.free_tcp_port()
    udp_ports = [recording.free_udp_port() for _ in UDP_CAMERAS]
    # A camera stalled for a second by a busy machine is not lost; one that
    # fell silent is not connected to again before the service stops.
    source = {"rate": 0, "read_timeout_ms": 3000, "backoff_ms": 60000, "max_backoff_ms": 60000}
    service = recording.Service(build, work, source, {"segment_seconds": 2}, start=False)
    with open(os.path.join(service.plugins, "video_source.conf"), "a") as f:
        for n, name in enumerate(RTSP_CAMERAS):
            transport = "tcp" if "tcp" in name else "udp"
            f.write("[%s]\nurl = rtsp://127.0.0.1:%d/cam%d\noptions = rtsp_transport=%s\n" %
                    (name, rtsp_port, n, transport))
        for name, port in zip(UDP_CAMERAS, udp_ports):
            f.write("[%s]\nurl = udp://127.0.0.1:%d\n" % (name, port))
    server = start_rtsp_server(python, rtsp_port)
    senders = []
    try:
        service.start(service.env)
        # A frame sent before the source listens is lost on the way.
        recording.wait_for(lambda: all(udp_bound(port) for port in udp_ports), 20, "the source's UDP sockets")
        senders = [subprocess.Popen(["ffmpeg", "-v", "error", "-re", "-i", clip, "-c", "copy", "-f", "mpegts",
                                     "udp://127.0.0.1:%d?pkt_size=1316" % port], stdin=subprocess.DEVNULL)
                   for port in udp_ports]
        for name in RTSP_CAMERAS + UDP_CAMERAS:
            service.wait_for_line(r"^video_source: %s: lost \S+: no data for 3000 ms$" % name, 40)
        text = service.stop()
    finally:
        for process in senders + [server]:
            process.kill()
            process.wait()
    if re.search(r"^video_source: \S+: (cannot open|no video stream in|stream 2)", text, re.M):
        recording.fail("a camera failed or connected again: " + text)
    # libavformat's RTSP input (ffmpeg's and ffprobe's alike) never hands over
    # the last frame of a camera that falls silent, though it was sent: a
    # plain RTSP client counts every frame's end in the RTP packets.
    expected = dict([(name, FRAMES - 1) for name in RTSP_CAMERAS] + [(name, FRAMES) for name in UDP_CAMERAS])
    _, written, dropped, lost, skipped, _ = recording.recorder_report(text)
    if (written, dropped, lost, skipped) != (sum(expected.values()), 0, 0, 0):
        recording.fail("recorder: %d packets written, %d dropped, %d lost, %d skipped: %s" %
                       (written, dropped, lost, skipped, text))
    # ffprobe spends half a second starting: the segments are probed at once.
    segments = {name: glob.glob(os.path.join(service.recordings, name, "*", "*.mkv")) for name in expected}
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        probed = {name: list(pool.map(segment_frames, paths)) for name, paths in segments.items()}
    for name, sent in expected.items():
        if sum(probed[name]) != sent:
            recording.fail("camera %s: %d of %d frames recorded, in segments of %s" %
                           (name, sum(probed[name]), sent, probed[name]))


def main():
    build, recording.SANITIZER = sys.argv[1:3]
    work = tempfile.mkdtemp()
    try:
        record_eight_cameras(os.path.abspath(build), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


if __name__ == "__main__":
    main()
