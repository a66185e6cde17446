#!/usr/bin/env python3
"""The installed service under its systemd unit's commands: ExecStart forks the
daemon, which writes the unit's PIDFile with its own pid; the unit's stop (a
SIGTERM to that pid, systemd's default) ends it cleanly and removes the file.

Runs in a private mount namespace: an overlay over /dev holds this test's own
socket at /dev/log, and /run is a private tmpfs, so the host's system logger,
console and /run are never touched. Needs root; skips (exit 77) otherwise.

Usage: unit_commands_test.py <build dir>
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def unit_value(unit, key):
    match = re.search(r"^%s=(.*)$" % key, unit, re.M)
    if not match:
        fail("the unit has no %s" % key)
    return match.group(1)


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def read_pid(path):
    try:
        return int(open(path).read().strip())
    except (OSError, ValueError):
        return 0


def records(log, seconds):
    """Syslog records received within `seconds`."""
    seen = []
    log.settimeout(0.1)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            seen.append(log.recv(4096).decode(errors="replace"))
        except socket.timeout:
            pass
        if any(r.endswith(": Done") for r in seen):
            break
    return seen


def sandboxed(build, work):
    tree = os.path.join(work, "tree")
    env = dict(os.environ, DESTDIR=tree)
    subprocess.run(["cmake", "--install", build], env=env, check=True, stdout=subprocess.DEVNULL)
    unit = open(os.path.join(tree, "usr/lib/systemd/system/orvantisd.service")).read()
    if unit_value(unit, "Type") != "forking":
        fail("the unit is not of type forking")
    exec_start = tree + unit_value(unit, "ExecStart")
    pid_file = unit_value(unit, "PIDFile")

    cleanups = []
    for d in ("up", "work"):
        os.mkdir(os.path.join(work, d))
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=/dev,upperdir=%s/up,workdir=%s/work" % (work, work), "/dev"], check=True)
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=755", "tmpfs", "/run"], check=True)
        if os.path.lexists("/dev/log"):
            os.unlink("/dev/log")
        log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        log.bind("/dev/log")
        os.chmod("/dev/log", 0o666)
        cleanups.append(log.close)
        home = os.path.join(work, "home")
        os.mkdir(home)
        started = subprocess.run([exec_start], env=dict(os.environ, HOME=home), timeout=30)
        if started.returncode != 0:
            fail("ExecStart exited %d" % started.returncode)
        if not wait_until(lambda: read_pid(pid_file) > 0, 5):
            fail("no PID file %s" % pid_file)
        pid = read_pid(pid_file)
        if os.readlink("/proc/%d/exe" % pid) != exec_start:
            fail("the PID file names %d, not the daemon" % pid)
        os.kill(pid, signal.SIGTERM)
        seen = records(log, 10)
        if not wait_until(lambda: not os.path.exists("/proc/%d" % pid), 10):
            os.kill(pid, signal.SIGKILL)
            fail("the daemon did not stop on SIGTERM")
        if os.path.exists(pid_file):
            fail("the PID file was left behind")
        for text in ("Successfully started version 8.8.1.119385", "Received signal 15, Exiting...", "Done"):
            if not any(r.endswith("]: " + text) for r in seen):
                fail("no syslog record %r in %r" % (text, seen))
        print("installed service started and stopped under its unit")
    finally:
        for cleanup in cleanups:
            cleanup()
        subprocess.run(["umount", "/run"])
        subprocess.run(["umount", "/dev"])


def main():
    build = os.path.abspath(sys.argv[1])
    if os.environ.get("ORV_IN_NAMESPACE") != "1":
        if os.geteuid() != 0 or not shutil.which("unshare"):
            print("skipped: needs root and unshare")
            sys.exit(SKIP)
        env = dict(os.environ, ORV_IN_NAMESPACE="1")
        rc = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, __file__, build],
                            env=env).returncode
        sys.exit(rc)
    work = tempfile.mkdtemp()
    try:
        sandboxed(build, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
