#!/usr/bin/env python3
"""The routing benchmark: the real service (orvantisd -d, with one producer
module and K consumer modules) against the ZeroMQ inproc baseline doing the
same work, run interleaved, printed as Markdown tables. bench/README.md says
what each figure means.

Usage: run_bench.py --bin <build bin dir> --bench <build bench dir>
                    [--repetitions 5] [--scale 1.0] [--gap-us 50] [--smoke]
                    [--before <dir of an earlier orvantisd>] [--throughput-only]

--smoke runs two small cells once and only checks that every message arrived
in order and intact (the exit status says so); timing means nothing there.
--before runs an earlier build of the service as a third system, in the same
interleaving, and adds its figures and the ratio to it to the tables.
"""
import argparse
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

KIB = 1024
THROUGHPUT_CELLS = [(payload, k) for payload in (0, KIB, 64 * KIB) for k in (1, 4, 16)]
LATENCY_CELLS = [(payload, k) for payload in (0, KIB) for k in (1, 4)]
SMOKE_THROUGHPUT_CELLS = [(KIB, 4)]
SMOKE_LATENCY_CELLS = [(0, 1)]
# Messages per flat-out run at scale 1, by payload: a fraction of a second to
# a couple of seconds each on a 2-core machine.
THROUGHPUT_COUNT = {0: 400000, KIB: 300000, 64 * KIB: 60000}
LATENCY_COUNT = 4000
SMOKE_FLAT_COUNT = 3000
SMOKE_PACED_COUNT = 200
RUN_TIMEOUT_S = 120
STOP_TIMEOUT_S = 60
SERVICE = "orvantisd"
ZMQ = "ZeroMQ inproc"
BEFORE = "orvantisd before"


class BenchError(Exception):
    pass


class Cell:
    """One measured configuration: payload bytes, receivers, flat out or paced."""

    def __init__(self, payload, receivers, paced, count, gap_us=0):
        self.payload = payload
        self.receivers = receivers
        self.paced = paced
        self.count = count
        self.gap_us = gap_us

    def settings(self):
        return {"count": self.count, "payload": self.payload, "receivers": self.receivers,
                "paced": int(self.paced), "gap_us": self.gap_us}

    def __str__(self):
        return "%s payload %d, K=%d, %d messages" % (
            "paced" if self.paced else "flat out", self.payload, self.receivers, self.count)


def flat_count(payload, receivers, scale):
    # More receivers means more deliveries per message: fewer messages.
    return max(100, int(THROUGHPUT_COUNT[payload] * scale / (1 + receivers / 2)))


def read_result(path):
    """A result file: "key value..." lines, numbers as ints."""
    result = {}
    with open(path) as f:
        for line in f:
            key, *values = line.split()
            numbers = [int(v) for v in values]
            result[key] = numbers if key == "latency_ns" else numbers[0]
    return result


def percentile(ordered, q):
    return ordered[max(0, math.ceil(q * len(ordered)) - 1)]


def measure(cell, sender, receivers):
    """Checks one run's results and returns (msgs/s, p50 ns, p99 ns)."""
    if sender["sent"] != cell.count or sender["refused"] or sender["stopped"]:
        raise BenchError("%s: sender %r" % (cell, sender))
    for slot, r in enumerate(receivers):
        if r["count"] != cell.count or r["errors"]:
            raise BenchError("%s: receiver %d took %d of %d messages, %d errors" % (cell,
                slot, r["count"], cell.count, r["errors"]))
    elapsed = max(r["last_taken_ns"] for r in receivers) - receivers[0]["first_sent_ns"]
    rate = cell.count / (elapsed / 1e9)
    if not cell.paced:
        return rate, None, None
    slowest = sorted(max(per_message) for per_message in zip(*(r["latency_ns"] for r in receivers)))
    return rate, percentile(slowest, 0.50), percentile(slowest, 0.99)


def write_settings(path, settings):
    with open(path, "w") as f:
        for key, value in settings.items():
            f.write("%s = %s\n" % (key, value))


class ServiceRunner:
    """Runs the real service from a run directory of its own: a copy of the
    binary, plugins/ with the producer and K consumer copies, each with its
    settings file beside it, and a HOME of its own for the instance lock."""

    def __init__(self, work, bin_dir, bench_dir, name="service"):
        self.root = os.path.join(work, name)
        self.plugins = os.path.join(self.root, "plugins")
        self.home = os.path.join(work, name + "-home")
        self.log = os.path.join(work, name + ".log")
        self.bench_dir = bench_dir
        os.makedirs(self.root)
        os.makedirs(self.home)
        shutil.copy2(os.path.join(bin_dir, "orvantisd"), self.root)

    def prepare(self, cell):
        shutil.rmtree(self.plugins, ignore_errors=True)
        os.makedirs(self.plugins)
        producer = os.path.join(self.plugins, "bench_producer.so")
        shutil.copy2(os.path.join(self.bench_dir, "bench_producer.so"), producer)
        write_settings(producer + ".conf", cell.settings())
        consumers = []
        for slot in range(cell.receivers):
            consumer = os.path.join(self.plugins, "bench_consumer-%02d.so" % slot)
            shutil.copy2(os.path.join(self.bench_dir, "bench_consumer.so"), consumer)
            write_settings(consumer + ".conf", dict(cell.settings(), slot=slot))
            consumers.append(consumer + ".result")
        return producer + ".result", consumers

    def run(self, cell):
        sender_path, receiver_paths = self.prepare(cell)
        with open(self.log, "w") as log:
            service = subprocess.Popen(["./orvantisd", "-d"], cwd=self.root, stdin=subprocess.PIPE,
                                       stdout=log, stderr=subprocess.STDOUT,
                                       env=dict(os.environ, HOME=self.home))
            self.wait_for_sender(service, sender_path)
            self.stop(service)
        try:
            return read_result(sender_path), [read_result(p) for p in receiver_paths]
        except OSError as error:
            raise BenchError("%s: %s\n%s" % (cell, error, self.log_tail()))

    def wait_for_sender(self, service, sender_path):
        """The producer reports once every consumer has every message (or
        once it gave up); the consumers write their results at Unload."""
        deadline = time.monotonic() + RUN_TIMEOUT_S
        while time.monotonic() < deadline and service.poll() is None and not os.path.exists(sender_path):
            time.sleep(0.01)

    def stop(self, service):
        try:
            service.communicate(b"\n", timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            service.kill()
            service.wait()
            raise BenchError("the service did not stop\n" + self.log_tail())
        if service.returncode != 0:
            raise BenchError("the service exited with %d\n%s" % (service.returncode, self.log_tail()))

    def log_tail(self):
        with open(self.log, errors="replace") as f:
            return "".join(f.readlines()[-20:])


class ZmqRunner:
    """Runs the ZeroMQ baseline program with the same settings."""

    def __init__(self, work, bench_dir):
        self.out = os.path.join(work, "zmq")
        self.program = os.path.join(bench_dir, "bench_zmq")

    def run(self, cell):
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        arguments = ["%s=%s" % item for item in dict(cell.settings(), result=self.out).items()]
        try:
            done = subprocess.run([self.program] + arguments, capture_output=True, text=True,
                                  timeout=RUN_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            raise BenchError("%s: the ZeroMQ baseline did not finish" % cell)
        if done.returncode != 0:
            raise BenchError("%s: the ZeroMQ baseline exited with %d: %s" % (cell, done.returncode, done.stderr))
        receivers = [read_result(os.path.join(self.out, "receiver-%d.result" % slot))
                     for slot in range(cell.receivers)]
        return read_result(os.path.join(self.out, "sender.result")), receivers


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kib = int(f.readline().split()[1])
    return "%d cores (%s), %.0f GiB memory" % (os.cpu_count(), model, memory_kib / 2 ** 20)


def rate_name(rate):
    return "%.2f M" % (rate / 1e6) if rate >= 1e5 else "%.1f k" % (rate / 1e3)


def payload_name(payload):
    return "%d KiB" % (payload // KIB) if payload else "0"


def print_tables(throughput, latency, repetitions, before):
    print("Machine: %s. Each figure is the median of %d interleaved repetitions.\n" % (machine(), repetitions))
    extra = " %s msgs/s | ratio to before |" % BEFORE if before else ""
    print("| payload | K | %s msgs/s | %s msgs/s | ratio |%s" % (SERVICE, ZMQ, extra))
    print("|---|---|---|---|---|" + ("---|---|" if before else ""))
    for cell, runs in throughput:
        service = statistics.median(r[0] for r in runs[SERVICE])
        zmq = statistics.median(r[0] for r in runs[ZMQ])
        line = "| %s | %d | %s | %s | %.2f |" % (
            payload_name(cell.payload), cell.receivers, rate_name(service), rate_name(zmq), service / zmq)
        if before:
            earlier = statistics.median(r[0] for r in runs[BEFORE])
            line += " %s | %.2f |" % (rate_name(earlier), service / earlier)
        print(line)
    if not latency:
        return
    print("\nLatency send → last Write, paced (µs):\n")
    print("| payload | K | %s p50 | %s p99 | %s p50 | %s p99 |" % (SERVICE, SERVICE, ZMQ, ZMQ))
    print("|---|---|---|---|---|---|")
    for cell, runs in latency:
        figures = [statistics.median(r[i] for r in runs[system]) / 1e3 for system in (SERVICE, ZMQ) for i in (1, 2)]
        print("| %s | %d | %.1f | %.1f | %.1f | %.1f |" % ((payload_name(cell.payload), cell.receivers) + tuple(figures)))


def plan(args):
    if args.smoke:
        flat = [Cell(p, k, False, SMOKE_FLAT_COUNT) for p, k in SMOKE_THROUGHPUT_CELLS]
        paced = [Cell(p, k, True, SMOKE_PACED_COUNT, args.gap_us) for p, k in SMOKE_LATENCY_CELLS]
    else:
        flat = [Cell(p, k, False, flat_count(p, k, args.scale)) for p, k in THROUGHPUT_CELLS]
        paced = [Cell(p, k, True, max(100, int(LATENCY_COUNT * args.scale)), args.gap_us) for p, k in LATENCY_CELLS]
    if args.throughput_only:
        paced = []
    systems = [SERVICE, ZMQ] + ([BEFORE] if args.before else [])
    return ([(cell, {system: [] for system in systems}) for cell in flat],
            [(cell, {system: [] for system in systems}) for cell in paced])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="the build's bin directory (orvantisd)")
    parser.add_argument("--bench", required=True, help="the build's bench directory (modules, bench_zmq)")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every message count")
    parser.add_argument("--gap-us", type=int, default=50, help="pause between paced messages")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--before", help="the bin directory of an earlier build of the service, run as well")
    parser.add_argument("--throughput-only", action="store_true", help="no paced (latency) runs")
    args = parser.parse_args()
    repetitions = 1 if args.smoke else args.repetitions
    throughput, latency = plan(args)
    work = tempfile.mkdtemp(prefix="orvantis-bench-")
    try:
        runners = {SERVICE: ServiceRunner(work, args.bin, args.bench), ZMQ: ZmqRunner(work, args.bench)}
        if args.before:
            runners[BEFORE] = ServiceRunner(work, args.before, args.bench, "before")
        for repetition in range(repetitions):
            # Rotate which system goes first, so none always runs on a warmer machine.
            shift = repetition % len(runners)
            order = list(runners)[shift:] + list(runners)[:shift]
            for cell, runs in throughput + latency:
                for system in order:
                    runs[system].append(measure(cell, *runners[system].run(cell)))
            print("repetition %d of %d done" % (repetition + 1, repetitions), file=sys.stderr)
    except BenchError as error:
        print("bench: FAILED: %s" % error, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print_tables(throughput, latency, repetitions, args.before)
    return 0


if __name__ == "__main__":
    sys.exit(main())
