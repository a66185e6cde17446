#!/usr/bin/env python3
"""The Debian packages end to end, as an operator and a module author use them.

Builds the packages with CPack and checks them with lintian (no error, no
warning). In an isolated root: with only orvantis-dev installed, builds the
kit's template (make and CMake), the examples and the shipped modules out of
tree with pkg-config and runs the template with orvantis-try-module as an
unprivileged user. Installs orvantisd and purges it untouched (nothing left).
Installs it again, checks the unit (systemd-analyze), runs the guide's minimal
module, runs every shipped and example module under the unit's file-system
settings, reconfigures, upgrades without a terminal to a rebuilt package with
a changed default core.xml over an operator-edited one, removes and purges:
recordings and the operator's files stay, the package's own files go.

The root is an overlay of / (its writes go to a temporary directory) inside a
private mount namespace, entered with chroot; its /dev is an overlay holding
this test's own socket at /dev/log, its /run and /tmp are private tmpfs. The
machine's own files are never written. The unit's device policy needs
systemd's cgroups and is not applied here.
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
import urllib.request

SKIP = 77
SERVICE_DIR = "/usr/lib/orvantis"
CONFIG_DIR = "/etc/orvantis"
STATE_DIR = "/var/lib/orvantis"
DEFAULT_CORE = "/usr/share/orvantis/core.xml"
UNIT = "/usr/lib/systemd/system/orvantisd.service"
WANTS = "/etc/systemd/system/multi-user.target.wants/orvantisd.service"
KIT = "/usr/share/orvantis/kit"
MAX_EXPOSURE = 2.0
LINKS = {
    "core.xml": CONFIG_DIR + "/core.xml",
    "plugins": CONFIG_DIR + "/plugins",
    "protected-plugins": CONFIG_DIR + "/protected-plugins",
    "plugins.xml": STATE_DIR + "/plugins.xml",
}
EXAMPLES = ("camera.so", "recorder.so", "console.so")
SHIPPED = ("video_source", "segment_recorder", "prometheus_exporter")
SHIPPED_LIBS = {"video_source": "libavformat libavcodec libavutil",
                "segment_recorder": "libavformat libavcodec libavutil",
                "prometheus_exporter": "libmicrohttpd libxcrypt"}
# What the package and its service make; none of it may outlive a purge.
PACKAGE_MADE = (CONFIG_DIR + "/core.xml", STATE_DIR + "/plugins.xml", STATE_DIR + "/Orvantis", SERVICE_DIR,
                DEFAULT_CORE, "/usr/share/doc/orvantisd", UNIT, WANTS)


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


def read_pid(path):
    try:
        return int(open(path).read().strip())
    except (OSError, ValueError):
        return 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Root:
    """The isolated root and what is mounted for it."""

    def __init__(self, work):
        self.work = work
        self.path = os.path.join(work, "root")
        self.mounts = []
        self.sandbox = []  # the unit's file-system settings, while the service runs
        self.log = None

    def mount(self, *args, target, into=None):
        run("mount", *args, target)
        (self.mounts if into is None else into).append(target)

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
        for target in reversed(self.mounts + self.sandbox):
            subprocess.run(["umount", "-l", target])

    def inside(self, path):
        return self.path + path

    def chroot(self, *args, env=None, **kwargs):
        return subprocess.run(["chroot", self.path] + list(args), env=env, **kwargs)

    def sh(self, script, what, **kwargs):
        """Runs a shell script in the root; fails the test with its output."""
        done = self.chroot("sh", "-ec", script, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, **kwargs)
        if done.returncode != 0:
            fail("%s (exit %d):\n%s" % (what, done.returncode, done.stdout))
        return done.stdout

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

    def apply_unit(self, unit):
        """The unit's view of the file system: everything read-only
        (ProtectSystem=strict; /tmp is PrivateTmp's), its RuntimeDirectory, a read-only tmpfs on
        TemporaryFileSystem with the BindPaths in it, ReadWritePaths ("-"
        marks an optional path) writable; /run and /tmp are own mounts."""
        for name in unit_values(unit, "RuntimeDirectory"):
            os.mkdir(self.inside("/run/" + name), 0o755)
        binds = []
        for n, entry in enumerate(unit_values(unit, "BindPaths")):
            source, _, target = entry.partition(":")
            stage = os.path.join(self.work, "bind-%d" % n)
            os.mkdir(stage)
            self.mount("--bind", self.inside(source), target=stage, into=self.sandbox)
            binds.append((stage, target or source))
        tmpfs = []
        for entry in unit_values(unit, "TemporaryFileSystem"):
            path = self.inside(entry.split(":")[0])
            self.mount("-t", "tmpfs", "-o", "mode=755", "tmpfs", target=path, into=self.sandbox)
            tmpfs.append(path)
        for stage, target in binds:
            os.makedirs(self.inside(target), exist_ok=True)
            self.mount("--bind", stage, target=self.inside(target), into=self.sandbox)
        for entry in " ".join(unit_values(unit, "ReadWritePaths")).split():
            path = self.inside(entry.lstrip("-"))
            if os.path.exists(path) or not entry.startswith("-"):
                self.mount("--bind", path, target=path, into=self.sandbox)
        for path in tmpfs:
            run("mount", "-o", "remount,ro", path)
        for path in (self.path, self.inside("/run")):
            run("mount", "-o", "remount,bind,ro", path)

    def leave_unit(self, unit):
        for path in (self.path, self.inside("/run")):
            run("mount", "-o", "remount,bind,rw", path)
        while self.sandbox:
            run("umount", self.sandbox.pop())
        for name in unit_values(unit, "RuntimeDirectory"):
            shutil.rmtree(self.inside("/run/" + name))


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
    for name in ("orvantisd", "orvantisd-dbg", "orvantis-dev"):
        found = glob.glob(os.path.join(out, name + "_*.deb"))
        if len(found) != 1:
            fail("no single %s package in %s" % (name, os.listdir(out)))
        debs[name] = found[0]
    return debs


def check_lintian(debs):
    if not shutil.which("lintian"):
        fail("no lintian (scripts/install-deps.sh installs it)")
    report = subprocess.run(["lintian", "-EviIL", "+pedantic"] + list(debs.values()),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    problems = [line for line in report.stdout.splitlines() if re.match(r"[EW]: ", line)]
    if problems or report.returncode not in (0, 1):
        fail("lintian (exit %d):\n%s" % (report.returncode, "\n".join(problems) or report.stdout))


def rebuilt_package(root, deb, work):
    """The service package rebuilt as the next revision, its default
    core.xml changed."""
    tree = os.path.join(work, "rebuilt")
    run("dpkg-deb", "-R", deb, tree)
    control = os.path.join(tree, "DEBIAN/control")
    text = open(control).read()
    version = re.search(r"^Version: (.*)-(\d+)$", text, re.M)
    text = text.replace(version.group(0), "Version: %s-%d" % (version.group(1), int(version.group(2)) + 1))
    open(control, "w").write(text)
    core = tree + DEFAULT_CORE
    new_default = open(core, "rb").read().replace(b'Throttling="1"', b'Throttling="0"')
    if b'Throttling="0"' not in new_default:
        fail("the default core.xml has no Throttling=\"1\"")
    open(core, "wb").write(new_default)
    os.remove(os.path.join(tree, "DEBIAN/md5sums"))
    run("dpkg-deb", "--root-owner-group", "-b", tree, root.inside("/tmp/orvantisd-next.deb"),
        stdout=subprocess.DEVNULL)
    return new_default


def dpkg(root, *args):
    """dpkg without a terminal: a prompt would fail it. The root's /run has
    no systemd, so the maintainer scripts start nothing."""
    done = root.chroot("dpkg", *args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        fail("dpkg %s failed:\n%s" % (" ".join(args), done.stdout))
    return done.stdout


def status_of(root, package):
    return root.chroot("dpkg-query", "-W", "-f=${Status}", package, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, text=True).stdout


def check_kit(root, source):
    """With only orvantis-dev: the template (make and CMake), the examples and
    the shipped modules build out of tree; the template runs unprivileged."""
    if status_of(root, "orvantisd") == "install ok installed":
        fail("orvantisd is installed before the kit is tried")
    root.sh("cp -r %s/template /tmp/kit-make && cd /tmp/kit-make && make CFLAGS='-O2 -Werror' >/dev/null\n"
            "cp -r %s/template /tmp/kit-cmake && cd /tmp/kit-cmake && cmake -S . -B build >/dev/null && "
            "cmake --build build >/dev/null && test -f build/my_module.so" % (KIT, KIT), "the template does not build")
    root.sh("cp -r /usr/share/doc/orvantis-dev/examples /tmp/examples && cd /tmp/examples && "
            "make CFLAGS='-O2 -Werror' >/dev/null && ls camera.so recorder.so console.so >/dev/null",
            "the examples do not build")
    shutil.copytree(os.path.join(source, "shipped"), root.inside("/tmp/shipped"))
    for name in SHIPPED:
        root.sh("cd /tmp/shipped/%s && cc -std=gnu11 -Wall -Wextra -Werror -O2 -shared -fPIC "
                "-fvisibility=hidden $(pkg-config --cflags orvantis-module %s) -o %s.so *.c ../common/*.c "
                "$(pkg-config --libs %s) -lpthread -ldl" % (name, SHIPPED_LIBS[name], name, SHIPPED_LIBS[name]),
                "the shipped module %s does not build with pkg-config" % name)


def try_module(root):
    out = root.sh("chmod -R a+rX /tmp/kit-make && setpriv --reuid=65534 --regid=65534 --clear-groups "
                  "env HOME=/nonexistent orvantis-try-module /tmp/kit-make/my_module.so 2>&1",
                  "orvantis-try-module failed as an unprivileged user")
    for line in ("my_module: open", "my_module: close"):
        if line not in out:
            fail("orvantis-try-module: no %r in:\n%s" % (line, out))
    if glob.glob(root.inside("/tmp/orvantis-try.*")):
        fail("orvantis-try-module left its directory behind")


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
    docs = "/usr/share/doc/orvantisd/"
    for f in [SERVICE_DIR + "/modules/" + m for m in EXAMPLES + tuple(s + ".so" for s in SHIPPED)] + [
            docs + "operating.md", docs + "copyright", docs + "changelog.Debian.gz", UNIT, WANTS] + [
            docs + "examples/%s.conf" % s for s in SHIPPED] + [docs + "%s.md" % s for s in SHIPPED]:
        if not os.path.lexists(root.inside(f)):
            fail("missing " + f)
    if open(root.inside(CONFIG_DIR + "/core.xml"), "rb").read() != open(root.inside(DEFAULT_CORE), "rb").read():
        fail("core.xml is not the default")
    conffiles = root.chroot("dpkg-query", "-W", "-f=${Conffiles}", "orvantisd",
                            stdout=subprocess.PIPE, text=True).stdout
    if conffiles.strip():
        fail("the package has conffiles: %r" % conffiles)


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


def run_minimal_module(root, source):
    """The guide's minimal module, built and enabled exactly as the guide says."""
    guide = open(os.path.join(source, "docs/modules.md")).read()
    match = re.search(r"<!-- minimal-module -->\n```c\n(.*?)\n```\n\n.*?\n```\n(.*?)\n```\n", guide, re.S)
    if not match:
        fail("no minimal module found in the guide")
    with open(root.inside("/tmp/minimal.c"), "w") as f:
        f.write(match.group(1) + "\n")
    root.sh("cd /tmp\n" + match.group(2).replace("cc ", "cc -std=c11 -Wall -Wextra -Werror ", 1),
            "the guide's minimal module does not build and install as the guide says")
    env = dict(os.environ, HOME=STATE_DIR)
    ran = root.chroot(SERVICE_DIR + "/orvantisd", "-d", env=env, stdin=subprocess.DEVNULL,
                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=30)
    if ran.returncode != 0 or not re.search(r"^minimal: notice of [0-9]+ bytes$", ran.stdout, re.M):
        fail("the minimal module got no notice (exit %d):\n%s" % (ran.returncode, ran.stdout))
    os.unlink(root.inside(CONFIG_DIR + "/plugins/minimal.so"))


def enable_modules(root, port):
    """Every installed module, the shipped ones with their example settings
    as the guide says; the recorder without settings (its default directory)."""
    plugins = root.inside(CONFIG_DIR + "/plugins/")
    for module in EXAMPLES + tuple(s + ".so" for s in SHIPPED):
        os.symlink(SERVICE_DIR + "/modules/" + module, plugins + module)
    with open(plugins + "recorder.conf", "w") as conf:
        conf.write(STATE_DIR + "/recorder-segment.bin\n")
    examples = root.inside("/usr/share/doc/orvantisd/examples/")
    clip = STATE_DIR + "/clip.mp4"
    run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25:duration=4", "-c:v", "libx264",
        "-g", "25", root.inside(clip))
    settings = open(examples + "video_source.conf").read()
    settings = re.sub(r"(?m)^url = .*$", "url = " + clip, settings)
    settings = re.sub(r"(?m)^rate = .*$", "rate = 1", settings)
    settings = re.sub(r"(?m)^at_end = .*$", "at_end = loop", settings)
    open(plugins + "video_source.conf", "w").write(settings)
    exporter = open(examples + "prometheus_exporter.conf").read()
    open(plugins + "prometheus_exporter.conf", "w").write(re.sub(r"(?m)^port = .*$", "port = %d" % port, exporter))


def fetch_metrics(port):
    try:
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as response:
            return response.read().decode()
    except OSError:
        return ""


def run_service(root, unit):
    """The service as the unit runs it, with every module enabled."""
    core = root.inside(CONFIG_DIR + "/core.xml")
    core_mtime = os.stat(core).st_mtime_ns
    time.sleep(0.01)
    if unit_value(unit, "Type") != "forking":
        fail("the unit is not of type forking")
    env = dict(os.environ)
    for assignment in unit_values(unit, "Environment"):
        name, value = assignment.split("=", 1)
        env[name] = value
    if env.get("HOME") != STATE_DIR:
        fail("the unit sets HOME to %r" % env.get("HOME"))
    port = free_port()
    enable_modules(root, port)
    pid_file = root.inside(unit_value(unit, "PIDFile"))
    recordings = root.inside(STATE_DIR + "/recordings")

    root.apply_unit(unit)
    try:
        for probe in (SERVICE_DIR + "/probe", "/run/probe", "/var/probe"):
            if root.chroot("touch", probe, stderr=subprocess.DEVNULL).returncode == 0:
                fail("%s is writable under the unit" % probe)
        if os.path.exists(root.inside("/var/lib/dpkg")):
            fail("/var beyond the state directory is visible under the unit")
        started = root.chroot(unit_value(unit, "ExecStart"), env=env, timeout=30)
        if started.returncode != 0:
            fail("ExecStart exited %d" % started.returncode)
        if not wait_until(lambda: read_pid(pid_file) > 0, 5):
            fail("no PID file at the unit's PIDFile")
        pid = read_pid(pid_file)
        if os.readlink("/proc/%d/exe" % pid) != root.inside(unit_value(unit, "ExecStart")):
            fail("the PID file names %d, not the daemon" % pid)
        segment = root.inside(STATE_DIR + "/recorder-segment.bin")
        if not wait_until(lambda: size_of(segment) > 0, 10):
            fail("the example recorder wrote nothing under the unit")
        if not wait_until(lambda: any(size_of(f) > 0 for f in glob.glob(recordings + "/*/*/*.mkv")), 10):
            fail("the segment recorder wrote nothing into its default directory under the unit")
        if "orvantis_" not in fetch_metrics(port):
            fail("the exporter serves no metrics under the unit")
        if not os.path.exists(root.inside(STATE_DIR + "/Orvantis")):
            fail("no lock file in the state directory")
        os.kill(pid, signal.SIGTERM)
        seen = root.records("Done", 10)
        if not wait_until(lambda: not os.path.exists("/proc/%d" % pid), 10):
            os.kill(pid, signal.SIGKILL)
            fail("the daemon did not stop on SIGTERM")
        if os.path.exists(pid_file):
            fail("the PID file was left behind")
    finally:
        root.leave_unit(unit)
    for text in ("Successfully started version 8.8.1.119385", "Received signal 15, Exiting...", "Done"):
        if not any(r.endswith("]: " + text) for r in seen):
            fail("no syslog record %r in %r" % (text, seen))

    # The service wrote through the links, which are still links.
    for name in LINKS:
        if not os.path.islink(root.inside(SERVICE_DIR + "/" + name)):
            fail("the service replaced the link " + name)
    if open(core, "rb").read() != open(root.inside(DEFAULT_CORE), "rb").read() or os.stat(core).st_mtime_ns == core_mtime:
        fail("core.xml was not rewritten byte for byte in place")
    status = open(root.inside(STATE_DIR + "/plugins.xml")).read()
    for module in EXAMPLES + tuple(s + ".so" for s in SHIPPED):
        if not re.search(r'Filename="%s" Opened="1" OpenCode="0"' % module, status):
            fail("%s not opened, in plugins.xml:\n%s" % (module, status))


def upgrade(root, deb, work):
    """An operator-edited core.xml survives an upgrade to a package with
    another default; a missing one is made from the new default."""
    core = root.inside(CONFIG_DIR + "/core.xml")
    edited = b'<?xml ?>\n<Kest Delta="0">\n    <Memory ID="-2147483648" Throttling="7" />\n</Kest>\n'
    open(core, "wb").write(edited)
    new_default = rebuilt_package(root, deb, work)
    out = dpkg(root, "-i", "/tmp/orvantisd-next.deb")
    if status_of(root, "orvantisd") != "install ok installed" or "onfiguration file" in out:
        fail("the upgrade asked or did not finish:\n" + out)
    if open(core, "rb").read() != edited:
        fail("the upgrade changed the operator's core.xml")
    os.unlink(core)
    root.sh("DEBIAN_FRONTEND=noninteractive dpkg-reconfigure orvantisd", "dpkg-reconfigure failed")
    if open(core, "rb").read() != new_default:
        fail("reconfiguring did not make core.xml from the new default")


def check_purged(root, kept=()):
    for path in PACKAGE_MADE:
        if os.path.lexists(root.inside(path)):
            fail("%s is left after the purge" % path)
    for path in (CONFIG_DIR, STATE_DIR):
        if not kept and os.path.lexists(root.inside(path)):
            fail("%s is left after the purge of an untouched installation" % path)
    for path in kept:
        if not os.path.lexists(root.inside(path)):
            fail("the purge removed %s" % path)


def sandboxed(build, source, work):
    debs = build_packages(build, work)
    check_lintian(debs)
    root = Root(work)
    try:
        root.enter()
        for name, deb in debs.items():
            shutil.copy(deb, root.inside("/tmp/" + name + ".deb"))
        dpkg(root, "-i", "/tmp/orvantis-dev.deb")
        check_kit(root, source)
        dpkg(root, "-i", "/tmp/orvantisd.deb", "/tmp/orvantisd-dbg.deb")
        check_installed(root)
        try_module(root)
        dpkg(root, "--purge", "orvantisd-dbg", "orvantisd")
        check_purged(root)

        dpkg(root, "-i", "/tmp/orvantisd.deb")
        check_unit(root)
        run_minimal_module(root, source)
        run_service(root, open(root.inside(UNIT)).read())
        upgrade(root, debs["orvantisd"], work)

        own = [CONFIG_DIR + "/plugins/video_source.conf", CONFIG_DIR + "/plugins/camera.so",
               STATE_DIR + "/recordings", STATE_DIR + "/recorder-segment.bin"]
        shutil.copy(root.inside("/tmp/kit-make/my_module.so"), root.inside(CONFIG_DIR + "/protected-plugins/"))
        own.append(CONFIG_DIR + "/protected-plugins/my_module.so")
        recordings = sorted(os.listdir(root.inside(STATE_DIR + "/recordings")))
        dpkg(root, "-r", "orvantisd")
        out = dpkg(root, "--purge", "orvantisd", "orvantis-dev")
        check_purged(root, own)
        if os.path.lexists(root.inside("/usr/share/orvantis")) or os.path.lexists(root.inside("/usr/include/orvantis")):
            fail("the kit is left after the purge")
        if sorted(os.listdir(root.inside(STATE_DIR + "/recordings"))) != recordings:
            fail("the purge changed the recordings")
        for path in (CONFIG_DIR, STATE_DIR):
            if "purge kept " + path not in out:
                fail("the purge does not say that it kept %s:\n%s" % (path, out))
        print("packages lintian clean, kit built, installed, run, upgraded, purged")
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
