#!/usr/bin/env python3
"""The service in the foreground with the three example modules. The console reports the start-up documents, the recorder's segment
grows while the service runs, Enter stops everything cleanly, and the segment
holds whole frames in the order the camera made them, none missing.

Usage: run_examples_test.py <bin dir>   (the build's bin/, with plugins/)
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

FRAME_MAGIC = 0x4D415246
FRAME_PIXELS = 1024
HEADER = struct.Struct("<IIII")
FRAME_SIZE = HEADER.size + FRAME_PIXELS
STDOUT = b"starting the core...\n\npress any key to stop the core\n\n\nstopping the core...\n\n"


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def wait_for_growth(segment, seconds):
    """Returns the segment sizes seen at the start and the end of a window."""
    deadline = time.monotonic() + 10
    while size_of(segment) == 0 and time.monotonic() < deadline:
        time.sleep(0.05)
    first = size_of(segment)
    time.sleep(seconds)
    return first, size_of(segment)


def check_frames(segment):
    data = open(segment, "rb").read()
    if len(data) % FRAME_SIZE:
        fail("segment of %d bytes does not hold whole frames" % len(data))
    count = len(data) // FRAME_SIZE
    for n in range(count):
        frame = data[n * FRAME_SIZE:(n + 1) * FRAME_SIZE]
        magic, sequence, length, checksum = HEADER.unpack_from(frame)
        pixels = frame[HEADER.size:]
        if magic != FRAME_MAGIC or length != FRAME_PIXELS:
            fail("frame %d has a bad header" % n)
        if sequence != n:
            fail("frame %d carries sequence %d: frames lost or out of order" % (n, sequence))
        if sum(pixels) & 0xFFFFFFFF != checksum:
            fail("frame %d is corrupted" % n)
    return count


def main():
    bin_dir = sys.argv[1]
    work = tempfile.mkdtemp()
    try:
        shutil.copy2(os.path.join(bin_dir, "orvantisd"), work)
        os.mkdir(os.path.join(work, "plugins"))
        for name in ("camera.so", "recorder.so", "console.so"):
            shutil.copy2(os.path.join(bin_dir, "plugins", name), os.path.join(work, "plugins"))
        os.mkdir(os.path.join(work, "home"))
        env = dict(os.environ, HOME=os.path.join(work, "home"))
        service = subprocess.Popen(["./orvantisd", "-d"], cwd=work, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        segment = os.path.join(work, "recorder-segment.bin")
        first, later = wait_for_growth(segment, 1.5)
        try:
            out, err = service.communicate(b"\n", timeout=30)
        except subprocess.TimeoutExpired:
            service.kill()
            fail("the service did not stop on Enter")
        err = err.decode(errors="replace")
        if service.returncode != 0:
            fail("exit status %d: %s" % (service.returncode, err))
        if out != STDOUT:
            fail("standard output was %r" % out)
        if not 0 < first < later:
            fail("the segment did not grow (%d, then %d bytes)" % (first, later))
        for line in ("console: document: plugins.xml", "console: document: core.xml"):
            if line not in err:
                fail("console did not show %r: %s" % (line, err))
        frames = check_frames(segment)
        report = re.search(r"camera: (\d+) frames sent, (\d+) refused while throttling", err)
        if not report:
            fail("no camera report: " + err)
        sent, refused = int(report.group(1)), int(report.group(2))
        # Frames sent after the last delivery at stop are dropped; none before.
        if refused != 0 or not 0 < frames <= sent or sent - frames > 5:
            fail("camera sent %d (%d refused), segment holds %d" % (sent, refused, frames))
        print("%d frames recorded in order" % frames)
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
