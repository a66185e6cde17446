#!/usr/bin/env python3
"""The recording benchmark: CPU and memory per camera of the shipped video
source and segment recorder (one copy of each, every camera in it) recording
N 1080p H.264 cameras at 4 Mbit/s, side by side with one ffmpeg process doing
the same work (`ffmpeg -re -stream_loop -1 -i ... -c copy -f segment` for
every camera). Both read the same clip in real time, loop it, and write
10-second Matroska segments. Prints a Markdown table on standard output.

Usage: recording_bench.py --bin BUILD/bin --shipped BUILD/shipped
                          [--cameras 4,8,16,32] [--seconds 20]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

WARM_UP = 4  # seconds before the measurement starts: connections, first segments
CLIP_SECONDS = 30  # longer than a measurement: a file read again from its start is probed again


def log(text):
    print(text, file=sys.stderr, flush=True)


def make_clip(path):
    """1080p at 25 fps, 4 Mbit/s, a key frame every 2 s; made once."""
    if os.path.exists(path):
        return
    log("making a %d s 1080p clip (once)" % CLIP_SECONDS)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=25:duration=%d" % CLIP_SECONDS, "-c:v", "libx264",
                    "-preset", "ultrafast", "-b:v", "4M", "-maxrate", "4M", "-bufsize", "8M", "-g", "50",
                    "-pix_fmt", "yuv420p", path + ".part.mkv"], check=True)
    os.rename(path + ".part.mkv", path)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def measure(process, seconds):
    """CPU seconds used and resident memory at the end, over `seconds`
    after the warm-up."""
    time.sleep(WARM_UP)
    if process.poll() is not None:
        raise SystemExit("the process ended early")
    start = cpu_seconds(process.pid)
    time.sleep(seconds)
    return cpu_seconds(process.pid) - start, resident_kib(process.pid)


def run_service(args, clip, count, work):
    os.makedirs(os.path.join(work, "plugins"))
    os.makedirs(os.path.join(work, "protected-plugins"))
    os.makedirs(os.path.join(work, "home"))
    shutil.copy2(os.path.join(args.bin, "orvantisd"), work)
    for name in ("video_source", "segment_recorder"):
        os.symlink(os.path.join(args.shipped, name, name + ".so"), os.path.join(work, "plugins", name + ".so"))
    with open(os.path.join(work, "plugins", "video_source.conf"), "w") as f:
        f.write("rate = 1\nat_end = loop\n")
        for n in range(count):
            f.write("[cam%02d]\nurl = %s\n" % (n, clip))
    with open(os.path.join(work, "plugins", "segment_recorder.conf"), "w") as f:
        f.write("directory = %s\nsegment_seconds = 10\nmin_free_megabytes = 0\n" % os.path.join(work, "rec"))
    env = dict(os.environ, HOME=os.path.join(work, "home"))
    log_path = os.path.join(work, "stderr.log")
    with open(log_path, "wb") as log_file:
        service = subprocess.Popen(["./orvantisd", "-d"], cwd=work, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=log_file, env=env)
    try:
        cpu, rss = measure(service, args.seconds)
    finally:
        service.communicate(b"\n", timeout=60)
    with open(log_path, errors="replace") as f:
        text = f.read()
    totals = [line for line in text.splitlines() if "segment_recorder" in line and "packets written" in line]
    if not totals or not totals[-1].endswith("0 dropped beyond the hold bound, 0 lost to disk errors, "
                                             "0 skipped to a key frame, 0 old segments deleted"):
        raise SystemExit("packets lost, or no totals: " + text[-1000:])
    return cpu, rss, totals[-1]


def run_ffmpeg(clip, count, work, seconds):
    command = ["ffmpeg", "-v", "error", "-nostdin"]
    for _ in range(count):
        command += ["-re", "-stream_loop", "-1", "-i", clip]
    for n in range(count):
        folder = os.path.join(work, "cam%02d" % n)
        os.makedirs(folder)
        command += ["-map", "%d:v" % n, "-c", "copy", "-f", "segment", "-segment_time", "10",
                    "-reset_timestamps", "1", os.path.join(folder, "%05d.mkv")]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    try:
        return measure(process, seconds)
    finally:
        process.terminate()
        process.wait()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--shipped", required=True)
    parser.add_argument("--cameras", default="4,8,16,32")
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()
    args.bin, args.shipped = os.path.abspath(args.bin), os.path.abspath(args.shipped)
    clip = os.path.join(os.path.dirname(os.path.abspath(args.bin)), "bench", "camera-1080p-%ds.mkv" % CLIP_SECONDS)
    os.makedirs(os.path.dirname(clip), exist_ok=True)
    make_clip(clip)
    rows = []
    for count in [int(n) for n in args.cameras.split(",")]:
        with tempfile.TemporaryDirectory() as work:
            log("%d cameras: orvantisd" % count)
            cpu, rss, totals = run_service(args, clip, count, os.path.join(work, "service"))
            log("  " + totals)
            log("%d cameras: ffmpeg" % count)
            base_cpu, base_rss = run_ffmpeg(clip, count, os.path.join(work, "ffmpeg"), args.seconds)
        per = lambda value: value / count  # noqa: E731
        rows.append((count, per(cpu) / args.seconds * 100, per(rss) / 1024, per(base_cpu) / args.seconds * 100,
                     per(base_rss) / 1024, cpu / base_cpu if base_cpu else 0))
    print("| cameras | orvantisd CPU %/camera | RSS MiB/camera | ffmpeg CPU %/camera | RSS MiB/camera | CPU ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| %d | %.2f | %.1f | %.2f | %.1f | %.2fx |" % row)


main()
