#!/usr/bin/env python3
"""The live view benchmark: glass-to-glass latency and CPU per viewer of the
shipped web view with its default settings, for one 1080p25 H.264 camera.

A live test stream (ffmpeg, UDP MPEG-TS on loopback) carries the wall clock
burnt into every picture (tests/shipped/clock_stream.py); the shipped video
source reads it and the web view serves it. Latency: Chromium, headless,
shows the page, and every half second the picture it shows is read back
from a canvas; its clock against the wall clock is the latency, camera
encoder included. CPU: the service's CPU time over a measurement without
viewers, then with 1 and 4 viewers that follow the playlist as the page does
(a poll every half part, each new part fetched); per viewer is the increase
over the run without viewers, divided by the viewers. Prints a Markdown
table on standard output.

Usage: web_view_bench.py --build BUILD [--seconds 20]
"""
import argparse
import os
import re
import statistics
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "shipped"))
import clock_stream  # noqa: E402
import web_view_test  # noqa: E402

SIZE = (1920, 1080)
WARM_UP = 4


def log(text):
    print(text, file=sys.stderr, flush=True)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Viewer(threading.Thread):
    """Follows the live playlist like the page: from the newest segment on,
    every part as it appears."""

    def __init__(self, base, stop):
        super().__init__(daemon=True)
        self.base, self.stop, self.bytes = base, stop, 0

    def get(self, name):
        with urllib.request.urlopen(self.base + name, timeout=10) as response:
            return response.read()

    def run(self):
        fetched = set()
        self.get("init.mp4")
        while not self.stop.is_set():
            parts = re.findall(r'URI="(\d+\.\d+\.m4s)"', self.get("live.m3u8").decode())
            if not fetched:
                fetched.update(parts[:-1])
            for part in parts:
                if part not in fetched:
                    self.bytes += len(self.get(part))
                    fetched.add(part)
            time.sleep(0.125)


def service_cpu(service, viewers, seconds):
    """The service's CPU time over `seconds` with `viewers` following."""
    stop = threading.Event()
    threads = [Viewer(service.base + "/cameras/camera/", stop) for _ in range(viewers)]
    for thread in threads:
        thread.start()
    time.sleep(1)
    start = cpu_seconds(service.process.pid)
    time.sleep(seconds)
    used = cpu_seconds(service.process.pid) - start
    stop.set()
    for thread in threads:
        thread.join()
    return used


def latencies(page, seconds):
    """Latency samples, every half second, of the picture the page shows."""
    video = page.find_element("css selector", 'video[data-camera="camera"]')
    reader = clock_stream.page_reader_js(320, 180)  # the clock's boxes scale with the picture
    found = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        code, blank, _ = page.execute_script(reader, video)
        if not blank:
            found.append(clock_stream.latency_seconds(code))
        time.sleep(0.5)
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    with tempfile.TemporaryDirectory() as work:
        camera = web_view_test.Camera(size=SIZE, gop=50)
        try:
            service = web_view_test.Service(build, work, {"camera": "url = %s\n" % camera.url})
            web_view_test.wait_for(lambda: service.playlist("camera"), 30, "the playlist")
            time.sleep(WARM_UP)
            log("CPU without viewers, with 1 and with 4 (%g s each)" % args.seconds)
            cpu = {n: service_cpu(service, n, args.seconds) for n in (0, 1, 4)}
            log("latency in Chromium (%g s)" % args.seconds)
            page = web_view_test.webdriver_or_skip(work)
            try:
                page.get(service.base + "/")
                time.sleep(WARM_UP)
                samples = latencies(page, args.seconds)
            finally:
                page.quit()
            service.stop()
        finally:
            camera.stop()
    if not samples:
        raise SystemExit("the page showed no picture")
    percent = lambda used: used / args.seconds * 100  # noqa: E731
    samples.sort()
    print("| 1080p25 camera | value |")
    print("|---|---|")
    print("| glass-to-glass latency, median | %.2f s |" % statistics.median(samples))
    print("| glass-to-glass latency, 90th percentile | %.2f s |" % samples[int(len(samples) * 0.9)])
    print("| glass-to-glass latency, worst | %.2f s |" % samples[-1])
    print("| service CPU, no viewer (source and muxing) | %.2f %% of a core |" % percent(cpu[0]))
    print("| service CPU per viewer, 1 viewer | %.2f %% of a core |" % (percent(cpu[1]) - percent(cpu[0])))
    print("| service CPU per viewer, 4 viewers | %.2f %% of a core |" % ((percent(cpu[4]) - percent(cpu[0])) / 4))


main()
