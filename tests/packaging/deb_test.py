#!/usr/bin/env python3
"""The Debian packages end to end: build them with CPack, install them into an
isolated root, build the module guide's minimal module there as the guide
says and run it in the installed service, run the service under its unit's
commands with the example modules, purge the packages.

The root is an overlay of / (its writes go to a temporary directory) inside a
private mount namespace, entered with chroot; its /dev is an overlay holding
this test's own socket at /dev/log, its /run and /tmp are private tmpfs. The
machine's own files are never written. While the service runs, the root is
read-only except the unit's ReadWritePaths, as the unit's ProtectSystem=strict
makes it, and the example modules are enabled: they must work within that.
Needs root; skips (exit 77) otherwise.

Usage: deb_test.py <build dir> <source dir>
"""
import glob
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
SERVICE_DIR = "/usr/lib/orvantis"
CONFIG_DIR = "/etc/orvantis"
STATE_DIR = "/var/lib/orvantis"
UNIT = "/usr/lib/systemd/system/orvantisd.service"
MAX_EXPOSURE = 4.0
LINKS = {
    "core.xml": CONFIG_DIR + "/core.xml",
    "plugins": CONFIG_DIR + "/plugins",
    "protected-plugins": CONFIG_DIR + "/protected-plugins",
    "plugins.xml": STATE_DIR + "/plugins.xml",
}
EXAMPLES = ("camera.so", "recorder.so", "console.so")


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, **kwargs)


def wait_until(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


class Root:
    """The isolated root and what is mounted for it."""

    def __init__(self, work):
        self.work = work
        self.path = os.path.join(work, "root")
        self.mounts = []
        self.writable = []  # bind mounts that keep a path writable under a read-only root
        self.log = None

    def mount(self, *args, target):
        run("mount", *args, target)
        self.mounts.append(target)

    def overlay(self, lower, name, target):
        for d in ("up-" + name, "work-" + name):
            os.mkdir(os.path.join(self.work, d))
        self.mount("-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s/up-%s,workdir=%s/work-%s"
                   % (lower, self.work, name, self.work, name), target=target)

    def enter(self):
        os.mkdir(self.path)
        self.overlay("/", "root", self.path)
        self.overlay("/dev", "dev", self.inside("/dev"))
        self.mount("-t", "proc", "proc", target=self.inside("/proc"))
        for d in ("/run", "/tmp"):
            self.mount("-t", "tmpfs", "-o", "mode=1777" if d == "/tmp" else "mode=755", "tmpfs",
                       target=self.inside(d))
        log_path = self.inside("/dev/log")
        if os.path.lexists(log_path):
            os.unlink(log_path)
        self.log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.log.bind(log_path)
        os.chmod(log_path, 0o666)

    def leave(self):
        if self.log:
            self.log.close()
        for target in reversed(self.writable + self.mounts):
            subprocess.run(["umount", "-l", target])

    def inside(self, path):
        return self.path + path

    def chroot(self, *args, env=None, **kwargs):
        return subprocess.run(["chroot", self.path] + list(args), env=env, **kwargs)

    def records(self, until, seconds):
        """Syslog records received until one ends with `until`."""
        seen = []
        self.log.settimeout(0.1)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                seen.append(self.log.recv(4096).decode(errors="replace"))
            except socket.timeout:
                continue
            if seen[-1].endswith("]: " + until):
                break
        return seen

    # The unit's ProtectSystem=strict: everything read-only but ReadWritePaths
    # ("-" marks an optional path), /run and /tmp (own mounts here).
    def protect_system(self, unit):
        for entry in " ".join(unit_values(unit, "ReadWritePaths")).split():
            path = self.inside(entry.lstrip("-"))
            if os.path.exists(path) and path not in self.mounts:
                run("mount", "--bind", path, path)
                self.writable.append(path)
        run("mount", "-o", "remount,bind,ro", self.path)

    def unprotect_system(self):
        run("mount", "-o", "remount,bind,rw", self.path)
        while self.writable:
            run("umount", self.writable.pop())


def unit_values(unit, key):
    return re.findall(r"^%s=(.*)$" % key, unit, re.M)


def unit_value(unit, key):
    values = unit_values(unit, key)
    if len(values) != 1:
        fail("the unit has %d %s lines" % (len(values), key))
    return values[0]


def build_packages(build, work):
    out = os.path.join(work, "packages")
    result = subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        fail("cpack failed:\n" + result.stdout)
    debs = {}
    for name in ("orvantisd", "orvantis-dev"):
        found = glob.glob(os.path.join(out, name + "_*.deb"))
        if len(found) != 1:
            fail("no single %s package in %s" % (name, os.listdir(out)))
        debs[name] = found[0]
    return debs


def check_installed(root):
    for name, target in LINKS.items():
        link = root.inside(SERVICE_DIR + "/" + name)
        if not os.path.islink(link) or os.readlink(link) != target:
            fail("%s is not a link to %s" % (link, target))
    for d in (CONFIG_DIR + "/plugins", CONFIG_DIR + "/protected-plugins", STATE_DIR):
        if not os.path.isdir(root.inside(d)):
            fail("no directory " + d)
    if os.listdir(root.inside(CONFIG_DIR + "/plugins")):
        fail("modules are enabled by the installation")
    for f in [SERVICE_DIR + "/modules/" + m for m in EXAMPLES] + [
            "/usr/include/orvantis/modules/module_api.h", "/usr/include/orvantis/routing/message_api.h",
            "/usr/share/pkgconfig/orvantis-module.pc", "/usr/share/doc/orvantisd/operating.md",
            "/usr/share/doc/orvantis-dev/modules.md", UNIT,
            "/etc/systemd/system/multi-user.target.wants/orvantisd.service"]:
        if not os.path.lexists(root.inside(f)):
            fail("missing " + f)
    conffiles = root.chroot("dpkg-query", "-W", "-f=${Conffiles}", "orvantisd",
                            stdout=subprocess.PIPE, text=True).stdout
    if CONFIG_DIR + "/core.xml" not in conffiles:
        fail("core.xml is no conffile: %r" % conffiles)
    headers = root.chroot("dpkg-query", "-L", "orvantisd", stdout=subprocess.PIPE, text=True).stdout
    if "/usr/include" in headers:
        fail("the service package holds headers")


def check_unit(root):
    report = subprocess.run(["systemd-analyze", "verify", "--root=" + root.path, UNIT],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # A machine without systemd running has no sysinit.target to order the
    # unit after; any other complaint is about the unit itself.
    problems = [line for line in report.stdout.splitlines() if line and "sysinit.target not found" not in line]
    if problems:
        fail("systemd-analyze verify:\n" + "\n".join(problems))
    report = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--root=" + root.path,
                             "orvantisd.service"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    match = re.search(r"Overall exposure level for orvantisd.service: ([0-9.]+)", report.stdout)
    if not match:
        fail("no exposure level:\n" + report.stdout)
    exposure = float(match.group(1))
    if exposure > MAX_EXPOSURE:
        fail("exposure %.1f above %.1f:\n%s" % (exposure, MAX_EXPOSURE, report.stdout))
    print("systemd-analyze security: exposure %.1f" % exposure)


def enable_examples(root):
    for module in EXAMPLES:
        os.symlink(SERVICE_DIR + "/modules/" + module, root.inside(CONFIG_DIR + "/plugins/" + module))
    # The recorder's segment belongs in the state directory.
    with open(root.inside(CONFIG_DIR + "/plugins/recorder.conf"), "w") as conf:
        conf.write(STATE_DIR + "/recorder-segment.bin\n")


def run_minimal_module(root, source):
    """The guide's minimal module, built and enabled exactly as the guide says."""
    guide = open(os.path.join(source, "docs/modules.md")).read()
    match = re.search(r"<!-- minimal-module -->\n```c\n(.*?)\n```\n", guide, re.S)
    if not match:
        fail("no minimal module found in the guide")
    with open(root.inside("/tmp/minimal.c"), "w") as f:
        f.write(match.group(1) + "\n")
    built = root.chroot("sh", "-c", "cd /tmp && cc -std=c11 -Wall -Wextra -Werror -shared -fPIC "
                        "$(pkg-config --cflags orvantis-module) -o minimal.so minimal.c && "
                        "cp minimal.so \"$(pkg-config --variable=plugindir orvantis-module)/\"",
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if built.returncode != 0:
        fail("the guide's minimal module does not build against the installed headers:\n" + built.stdout)
    env = dict(os.environ, HOME=STATE_DIR)
    ran = root.chroot(SERVICE_DIR + "/orvantisd", "-d", env=env, stdin=subprocess.DEVNULL,
                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
    if ran.returncode != 0 or not re.search(r"^minimal: notice of [0-9]+ bytes$", ran.stdout, re.M):
        fail("the minimal module got no notice (exit %d):\n%s" % (ran.returncode, ran.stdout))
    os.unlink(root.inside(CONFIG_DIR + "/plugins/minimal.so"))


def read_pid(path):
    try:
        return int(open(path).read().strip())
    except (OSError, ValueError):
        return 0


def run_service(root, unit, shipped_core):
    core_mtime = os.stat(root.inside(CONFIG_DIR + "/core.xml")).st_mtime_ns
    time.sleep(0.01)
    if unit_value(unit, "Type") != "forking":
        fail("the unit is not of type forking")
    env = dict(os.environ)
    for assignment in unit_values(unit, "Environment"):
        name, value = assignment.split("=", 1)
        env[name] = value
    if env.get("HOME") != STATE_DIR:
        fail("the unit sets HOME to %r" % env.get("HOME"))
    pid_file = root.inside(unit_value(unit, "PIDFile"))

    root.protect_system(unit)
    try:
        if root.chroot("touch", SERVICE_DIR + "/probe", stderr=subprocess.DEVNULL).returncode == 0:
            fail("the root is not read-only")
        started = root.chroot(unit_value(unit, "ExecStart"), env=env, timeout=30)
        if started.returncode != 0:
            fail("ExecStart exited %d" % started.returncode)
        if not wait_until(lambda: read_pid(pid_file) > 0, 5):
            fail("no PID file")
        pid = read_pid(pid_file)
        if os.readlink("/proc/%d/exe" % pid) != root.inside(unit_value(unit, "ExecStart")):
            fail("the PID file names %d, not the daemon" % pid)
        segment = root.inside(STATE_DIR + "/recorder-segment.bin")
        if not wait_until(lambda: size_of(segment) > 0, 10):
            fail("the recorder wrote nothing under the read-only root")
        if not os.path.exists(root.inside(STATE_DIR + "/Orvantis")):
            fail("no lock file in the state directory")
        os.kill(pid, signal.SIGTERM)
        seen = root.records("Done", 10)
        if not wait_until(lambda: not os.path.exists("/proc/%d" % pid), 10):
            os.kill(pid, signal.SIGKILL)
            fail("the daemon did not stop on SIGTERM")
    finally:
        root.unprotect_system()
    if os.path.exists(pid_file):
        fail("the PID file was left behind")
    for text in ("Successfully started version 8.8.1.119385", "Received signal 15, Exiting...", "Done"):
        if not any(r.endswith("]: " + text) for r in seen):
            fail("no syslog record %r in %r" % (text, seen))

    # The service wrote through the links, which are still links.
    check_links_kept(root)
    core = root.inside(CONFIG_DIR + "/core.xml")
    if open(core, "rb").read() != shipped_core or os.stat(core).st_mtime_ns == core_mtime:
        fail("core.xml was not rewritten byte for byte in place")
    status = open(root.inside(STATE_DIR + "/plugins.xml")).read()
    for module in EXAMPLES:
        if 'Filename="%s"' % module not in status:
            fail("%s not in plugins.xml:\n%s" % (module, status))


def check_links_kept(root):
    for name in LINKS:
        if not os.path.islink(root.inside(SERVICE_DIR + "/" + name)):
            fail("the service replaced the link " + name)


def check_purged(root):
    for path in (CONFIG_DIR, STATE_DIR, SERVICE_DIR, "/etc/systemd/system/multi-user.target.wants/orvantisd.service"):
        if os.path.lexists(root.inside(path)):
            fail("%s is left after the purge" % path)


def sandboxed(build, source, work):
    debs = build_packages(build, work)
    root = Root(work)
    try:
        root.enter()
        for name, deb in debs.items():
            shutil.copy(deb, root.inside("/tmp/" + name + ".deb"))
        installed = root.chroot("dpkg", "-i", "/tmp/orvantisd.deb", "/tmp/orvantis-dev.deb",
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if installed.returncode != 0:
            fail("dpkg -i failed:\n" + installed.stdout)
        check_installed(root)
        shipped_core = open(root.inside(CONFIG_DIR + "/core.xml"), "rb").read()
        check_unit(root)
        run_minimal_module(root, source)
        enable_examples(root)
        run_service(root, open(root.inside(UNIT)).read(), shipped_core)
        purged = root.chroot("dpkg", "--purge", "orvantisd", "orvantis-dev",
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if purged.returncode != 0:
            fail("dpkg --purge failed:\n" + purged.stdout)
        check_purged(root)
        print("packages installed, run, stopped and purged")
    finally:
        root.leave()


def main():
    build, source = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if os.environ.get("ORV_IN_NAMESPACE") != "1":
        if os.geteuid() != 0 or not shutil.which("unshare"):
            print("skipped: needs root and unshare")
            sys.exit(SKIP)
        env = dict(os.environ, ORV_IN_NAMESPACE="1")
        rc = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, __file__, build, source],
                            env=env).returncode
        sys.exit(rc)
    work = tempfile.mkdtemp()
    try:
        sandboxed(build, source, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


main()
