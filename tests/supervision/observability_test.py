#!/usr/bin/env python3
"""What the service tells about itself, through the real binary.

counters: a scripted exchange between two configurable test modules (built
  without the host header, so they also show that such modules work as
  before); a module built against the installed host header reads the
  snapshot at Close, and every counter equals what the test modules' call
  logs say. The executable exports the host interface's functions and no
  other function of its own.
watchdog: an Open that sleeps 2.5 s (the first call the watchdog sees,
  begun before its first cycle), then a Write that sleeps 3 s while another
  module floods the queue past its high-water mark: for each call exactly one
  stall warning naming the module and one return line with the call's length;
  one queue warning naming the flooding module and one line when the queue is
  back under.

Usage: observability_test.py counters|watchdog <bin dir> <test module dir>
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import foreground_service  # noqa: E402

SENDER = """id = 0x1000
send = open flags=1 event=0x55 payload_size=100 count=20
send = open flags=1 event=0x55 nodata=1 count=3
send = open flags=1 event=0x55 request=5 payload=abc
send = open flags=1 event=0x55 payload=abc length=-5
send = open flags=1 event=0x77 payload=go
"""
RECEIVER = """id = 0x2000
accepts_write = 1
mask0 = 0xffffffff
write_keeps = 1
release_event = 0x77
release_twice = 1
"""
# The first message stalls slow.so; the flood (class 1) goes to nobody. The
# flooding module's name sorts after slow.so, whose Open therefore comes first.
FLOOD = """id = 0x1000
send = open flags=1 event=0x56 payload=stall
send = open flags=2 event=0x55 payload_size=16 count=120000
"""
SLOW = """id = 0x2000
accepts_write = 1
mask0 = 0x56
open_sleep_ms = 2500
write_sleep_ms = 3000
write_sleep_event = 0x56
"""


def fail(text, detail=""):
    foreground_service.fail(text + ("\n" + detail if detail else ""))


def run_service(bin_dir, module_dir, work, modules, seconds):
    """Runs orvantisd -d with `modules` ({file name: config}, None for the
    snapshot module) for `seconds`; returns its standard error."""
    service = foreground_service.ForegroundService(bin_dir, os.path.join(work, "bin"))
    for name, config in modules.items():
        source = "orv_snapshot_module.so" if config is None else "orv_test_module.so"
        shutil.copy2(os.path.join(module_dir, source), os.path.join(service.plugins, name))
        if config is not None:
            with open(os.path.join(service.plugins, name + ".conf"), "w") as conf:
                conf.write(config)
    service.start()
    time.sleep(seconds)
    return service.stop(timeout=60)


def call_log(work, name):
    """The lines of a test module's call log, each as (entry, {key: value})."""
    lines = []
    with open(os.path.join(work, "bin", "plugins", name + ".log")) as log:
        for line in log:
            words = line.split()
            lines.append((words[0], dict(w.split("=", 1) for w in words[1:] if "=" in w)))
    return lines


def snapshot(work):
    """The snapshot module's report: {"checks"|"service"|<file name>: {key: value}}."""
    report = {}
    with open(os.path.join(work, "bin", "plugins", "snapshot.so.snapshot")) as dump:
        for line in dump:
            words = line.split()
            fields = dict(w.split("=", 1) for w in words[1:])
            report[fields["file"] if words[0] == "module" else words[0]] = fields
    return report


def expect(report, section, key, value):
    got = report[section].get(key)
    if got != str(value):
        fail("%s %s: %s, expected %s" % (section, key, got, value), str(report))


def check_sender(report, log):
    sends = [fields for entry, fields in log if entry == "Send" and fields["from"] == "open"]
    by_result = {}
    for fields in sends:
        by_result[fields["result"]] = by_result.get(fields["result"], 0) + 1
    accepted_bytes = sum(int(f["length"]) for f in sends if f["result"] == "0" and f["data"] != "0x0")
    expect(report, "sender.so", "sent_accepted", by_result.get("0", 0))
    expect(report, "sender.so", "sent_refused", by_result.get("1", 0))
    expect(report, "sender.so", "sent_no_memory", by_result.get("-1", 0))
    expect(report, "sender.so", "sent_throttled", 0)
    expect(report, "sender.so", "sent_bytes", accepted_bytes)
    expect(report, "sender.so", "waiting", 0)
    if by_result != {"0": 24, "1": 1, "-1": 1}:
        fail("the scripted sends did not go as planned: %s" % by_result)


def check_receiver(report, log):
    writes = [fields for entry, fields in log if entry == "Write"]
    kept = [f["data"] for f in writes if f["keeps"] == "1"]
    released = [fields["data"] for entry, fields in log if entry == "Release"]
    expect(report, "receiver.so", "write_messages", len(writes))
    expect(report, "receiver.so", "write_bytes", sum(int(f["length"]) for f in writes if f["data"] != "0x0"))
    expect(report, "receiver.so", "releases", len(released))
    expect(report, "receiver.so", "releases_unmatched", len(released) - len(set(released)))
    expect(report, "receiver.so", "holds_now", len(set(kept) - set(released)))
    if len(writes) != 24 or not released:
        fail("the receiver did not get the exchange: %d writes, %d releases" % (len(writes), len(released)))


def check_exports(bin_dir):
    nm = subprocess.run(["nm", "-D", "--defined-only", os.path.join(bin_dir, "orvantisd")],
                        capture_output=True, text=True, check=True).stdout
    functions = [line.split()[2] for line in nm.splitlines() if line.split()[1] == "T"]
    host = ["OrvHostLog", "OrvHostMetricAdd", "OrvHostMetricDeclare", "OrvHostMetricSet", "OrvHostMetrics",
            "OrvHostSnapshot"]
    if functions != host:
        fail("the executable exports these functions: %s" % functions)


def counters(bin_dir, module_dir, work):
    run_service(bin_dir, module_dir, work,
                {"sender.so": SENDER, "receiver.so": RECEIVER, "snapshot.so": None}, 1.5)
    report = snapshot(work)
    expect(report, "checks", "small", -1)
    expect(report, "checks", "partial", "ok")
    expect(report, "checks", "count", 3)
    expect(report, "sender.so", "id", "0x1000")
    check_sender(report, call_log(work, "sender.so"))
    check_receiver(report, call_log(work, "receiver.so"))
    service = report["service"]
    if service["queued"] != service["delivered"] or service["depth"] != "0" or service["queue_bytes"] != "0":
        fail("messages left in the queue at Close", str(service))
    if int(service["queued"]) < 24 or service["throttling"] != "0":
        fail("service counters", str(service))
    check_exports(bin_dir)


def count(pattern, text):
    return len(re.findall(pattern, text))


def watchdog(bin_dir, module_dir, work):
    err = run_service(bin_dir, module_dir, work, {"torrent.so": FLOOD, "slow.so": SLOW, "snapshot.so": None}, 7.5)
    # The watchdog times a call by the cycles that see it: to within 0.1 s.
    opening = r"plugin slow\.so ID 0x00002000: Open has run for more than 2 s; the start of the service is held up"
    opened = r"plugin slow\.so ID 0x00002000: Open returned after (2\.[456]) s"
    stall = r"plugin slow\.so ID 0x00002000: Write has run for more than 2 s; delivery to every module is held up"
    back = r"plugin slow\.so ID 0x00002000: Write returned after (2\.9|3\.[01]) s"
    over = (r"event queue over its high-water mark: \d+ messages, \d+ payload bytes waiting; "
            r"most sent by torrent\.so ID 0x00001000 \(\d+\)")
    under = r"event queue back under its high-water mark: \d+ messages, \d+ payload bytes waiting"
    for pattern in (opening, opened, stall, back, over, under):
        if count(pattern, err) != 1:
            fail("expected exactly one line matching %r" % pattern, err[-3000:])
    if err.find("Write has run for") > err.find("Write returned after"):
        fail("the return line came before the warning", err[-3000:])
    expect(snapshot(work), "slow.so", "stalled_calls", 2)


def main():
    case, bin_dir, module_dir = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="orvantis-observability-")
    try:
        {"counters": counters, "watchdog": watchdog}[case](bin_dir, module_dir, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
