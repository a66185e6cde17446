#!/usr/bin/env python3
"""The MQTT bridge through the service binary, against a real mosquitto
started by the test on loopback with a generated configuration: a password
file, an ACL limiting the recorder to its own topics, and a TLS listener
(client certificates required) with a CA the test makes with openssl. The
shipped video source reads clips in real time, the segment recorder records
them, and mosquitto_sub sees what the bridge publishes.

Usage: mqtt_bridge_test.py <case> <build dir> <sanitizer: none|address|thread>
  exchange  status, camera states and segment events against the recorder's
            own totals; pause and resume; malformed and unknown commands;
            "offline" at the stop
  tls       MQTT 5 over TLS with a client certificate; discovery messages
  outage    the broker killed for 10 s while video flows and started again,
            then the bridge's connection cut with the broker up (its last
            will): reconnection within the back-off cap, the events queued
            meanwhile delivered, the outbox within its bound, the recording
            not held up
  load      16 cameras' states and segment events at 1 Hz, every event
            delivered at QoS 1; ORV_MQTT_LOAD_SECONDS long (20 s unless set;
            60 for the full minute)
"""
import getpass
import glob
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import foreground_service  # noqa: E402
from foreground_service import fail, free_port, wait_for  # noqa: E402

SITE = "site1"
PASSWORD = "s3cret"
STARTED = []  # processes to end if the test fails
SANITIZER = "none"


def run(*args):
    subprocess.run(args, check=True, capture_output=True)


def make_certificates(folder):
    """A test CA and, signed by it, the broker's certificate (for 127.0.0.1)
    and a client's."""
    def key_and_request(name, subject):
        run("openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", os.path.join(folder, name + ".key"), "-out", os.path.join(folder, name + ".csr"),
            "-subj", subject)
    ca = os.path.join(folder, "ca")
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
        "-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2", "-subj", "/CN=test CA")
    extensions = os.path.join(folder, "san.ext")
    with open(extensions, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    for name, subject in (("server", "/CN=localhost"), ("client", "/CN=" + SITE)):
        key_and_request(name, subject)
        run("openssl", "x509", "-req", "-in", os.path.join(folder, name + ".csr"), "-CA", ca + ".crt",
            "-CAkey", ca + ".key", "-CAcreateserial", "-days", "2", "-extfile", extensions,
            "-out", os.path.join(folder, name + ".crt"))


class Broker:
    """mosquitto with a password file, the operator's guide's ACL, a plain
    and a TLS listener on free loopback ports, in the foreground."""

    def __init__(self, work):
        self.folder = os.path.join(work, "broker")
        os.makedirs(self.folder)
        make_certificates(self.folder)
        passwords = os.path.join(self.folder, "passwords")
        for user in (SITE, "watcher"):
            run("mosquitto_passwd", "-b", *(["-c"] if user == SITE else []), passwords, user, PASSWORD)
        acl = os.path.join(self.folder, "acl")
        with open(acl, "w") as f:  # the operator's guide's, the watcher as its dashboard
            f.write("pattern write orvantis/%u/#\n"
                    "pattern read orvantis/%u/command/#\n"
                    "pattern write homeassistant/binary_sensor/orvantis_%u/#\n\n"
                    "user watcher\n"
                    "topic read orvantis/#\n"
                    "topic write orvantis/+/command/#\n"
                    "topic read homeassistant/#\n")
        self.port, self.tls_port = free_port(), free_port()
        self.config = os.path.join(self.folder, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write("per_listener_settings false\nallow_anonymous false\npersistence false\n"
                    "password_file %s\nacl_file %s\nuser %s\n"
                    "log_dest file %s\nlog_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
                    "listener %d 127.0.0.1\n"
                    "listener %d 127.0.0.1\ncafile %s\ncertfile %s\nkeyfile %s\nrequire_certificate true\n"
                    % (passwords, acl, getpass.getuser(), os.path.join(self.folder, "broker.log"), self.port,
                       self.tls_port, self.path("ca.crt"), self.path("server.crt"), self.path("server.key")))
        self.process = None
        self.start()

    def path(self, name):
        return os.path.join(self.folder, name)

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        STARTED.append(self.process)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return False
        wait_for(listening, 10, "mosquitto to listen")

    def kill(self):
        self.process.kill()
        self.process.wait()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()


class Watcher:
    """mosquitto_sub on orvantis/# and homeassistant/# at QoS 1, with a
    persistent session, so that nothing published while it reconnects is
    lost to it. Lines are "retained topic payload"."""

    def __init__(self, broker, work):
        self.broker = broker
        self.path = os.path.join(work, "watched.txt")
        self.args = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(broker.port), "-u", "watcher", "-P", PASSWORD,
                     "-q", "1", "-c", "-i", "watcher", "-t", "orvantis/#", "-t", "homeassistant/#"]
        self.subscribe()
        self.output = open(self.path, "w")
        self.process = subprocess.Popen(self.args + ["-F", "%r %t %p"], stdout=self.output,
                                        stderr=subprocess.DEVNULL)
        STARTED.append(self.process)

    def subscribe(self):
        """Makes the session and its subscriptions, then leaves: messages
        for it queue at the broker from then on."""
        run(*self.args, "-E")

    def messages(self, topic_pattern=".*"):
        """(retained, topic, payload) in arrival order; JSON payloads decoded."""
        found = []
        with open(self.path, errors="replace") as f:
            for line in f:
                if not line.endswith("\n"):
                    break
                retained, topic, payload = (line.rstrip("\n").split(" ", 2) + [""])[:3]
                if not re.fullmatch(topic_pattern, topic):
                    continue
                try:
                    payload = json.loads(payload)
                except ValueError:
                    pass
                found.append((retained == "1", topic, payload))
        return found

    def payloads(self, topic_pattern):
        return [payload for _, _, payload in self.messages(topic_pattern)]

    def wait(self, topic_pattern, predicate=lambda payload: True, seconds=20, count=1):
        wait_for(lambda: len([p for p in self.payloads(topic_pattern) if predicate(p)]) >= count, seconds,
                 "%d message(s) on %s; got: %s" % (count, topic_pattern, self.messages()[-20:]))
        return [p for p in self.payloads(topic_pattern) if predicate(p)]

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.output.close()


def command(broker, name, payload, retain=False):
    run("mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker.port), "-u", "watcher", "-P", PASSWORD, "-q", "1",
        "-t", "orvantis/%s/command/%s" % (SITE, name), "-m", payload, *(["-r"] if retain else []))


def make_clip(path, seconds):
    """A test pattern in H.264 with a key frame every half second."""
    run("ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=10:duration=%d" % seconds,
        "-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "5", "-sc_threshold", "0", path)


def write_settings(path, settings, sections=None):
    with open(path, "w") as f:
        for key, value in settings.items():
            f.write("%s = %s\n" % (key, value))
        for name, values in (sections or {}).items():
            f.write("[%s]\n" % name)
            for key, value in values.items():
                f.write("%s = %s\n" % (key, value))


class Service(foreground_service.ForegroundService):
    """The service with the video source reading `cameras` (name: clip) in
    real time, the recorder's 1-second segments and the bridge."""

    def __init__(self, build, work, cameras, bridge):
        super().__init__(os.path.join(build, "bin"), work)
        self.recordings = os.path.join(work, "recordings")
        for name in ("video_source", "segment_recorder", "mqtt_bridge"):
            os.symlink(os.path.join(build, "shipped", name, name + ".so"), os.path.join(self.plugins, name + ".so"))
        write_settings(os.path.join(self.plugins, "video_source.conf"), {"rate": 1, "at_end": "stop"},
                       {name: {"url": clip} for name, clip in cameras.items()})
        write_settings(os.path.join(self.plugins, "segment_recorder.conf"),
                       {"directory": self.recordings, "segment_seconds": 1})
        write_settings(os.path.join(self.plugins, "mqtt_bridge.conf"),
                       dict({"site": SITE, "username": SITE, "password": PASSWORD, "reconnect_max_seconds": 2,
                             "state_period_seconds": 1}, **bridge))
        env = dict(os.environ)
        if SANITIZER == "address":
            preloaded = (libraries(os.path.join(work, "orvantisd"), "asan") +
                         libraries(os.path.join(self.plugins, "video_source.so"), "av") +
                         libraries(os.path.join(self.plugins, "mqtt_bridge.so"), "(?:mosquitto|ssl|crypto)"))
            env["LD_PRELOAD"] = " ".join(preloaded)
        self.start(env)
        STARTED.append(self.process)

    def segments(self):
        return sorted(glob.glob(os.path.join(self.recordings, "*", "*", "*.mkv")))

    def finished(self, text):
        return re.findall(r"segment_recorder(?:\.so ID 0x[0-9A-F]{8})?: finished (\S+):", text)


def libraries(binary, prefix):
    """The paths of the libraries `binary` loads whose names start with
    lib<prefix>. Under LeakSanitizer they are preloaded after the sanitizer's
    runtime: FFmpeg and OpenSSL keep allocations in static data, which would
    vanish when the service unloads the modules and them with it, and then
    show as leaks. The modules' own leaks are still found."""
    listing = subprocess.run(["ldd", binary], capture_output=True, text=True, check=True).stdout
    return re.findall(r"=> (\S*/lib%s\w*\.so[.\d]*) " % prefix, listing)


def bridge_report(text):
    found = re.search(r"(\d+) messages queued, (\d+) acknowledged by the broker, (\d+) states replaced while "
                      r"waiting, (\d+) dropped beyond the bound, at most (\d+) waiting, (\d+) connections", text)
    if not found:
        fail("no report of the bridge in: " + text)
    return [int(n) for n in found.groups()]


def start_all(build, work, cameras, bridge, seconds):
    broker = Broker(work)
    watcher = Watcher(broker, work)
    # A retained command is stale by the time a bridge connects: never acted on.
    command(broker, "pause", '{"camera": "yard", "id": "stale"}', retain=True)
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, seconds)
    service = Service(build, work, {name: clip for name in cameras}, dict({"port": broker.port}, **bridge))
    return broker, watcher, service


def check_segment_events(watcher, service, text):
    """Every segment the recorder finished, and only those, announced once
    with its size on disk; events numbered without a hole."""
    events = watcher.payloads(r"orvantis/%s/event/.*" % SITE)
    numbers = sorted(set(e["sequence"] for e in events))
    if numbers != list(range(1, len(numbers) + 1)):
        fail("event numbers with holes: %s" % numbers)
    announced = {}
    for event in watcher.payloads(r"orvantis/%s/event/segment" % SITE):
        announced[event["path"]] = event
    finished = service.finished(text)
    on_disk = service.segments()
    # The service's log keeps a module to its rate, so "finished" lines may be
    # dropped; the announcements may not.
    if not {os.path.join(service.recordings, name) for name in finished} <= set(on_disk) or \
            sorted(announced) != on_disk:
        fail("segments: %d finished, %d on disk, %d announced" % (len(finished), len(on_disk), len(announced)))
    for path, event in announced.items():
        if event["bytes"] != os.path.getsize(path) or not path.startswith(
                os.path.join(service.recordings, event["camera"])) or \
                not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", event["start"]):
            fail("segment event %s against %d bytes on disk" % (event, os.path.getsize(path)))
    return announced


def case_exchange(build, work):
    broker, watcher, service = start_all(build, work, ["front", "yard"], {}, 12)
    status = "orvantis/%s/status" % SITE
    watcher.wait(status, lambda p: p == "online")
    watcher.wait(r"orvantis/%s/camera/front/state" % SITE,
                 lambda p: p["connected"] and p["codec"] == "h264" and p["width"] == 160 and p["frame_rate"] == 10)
    watcher.wait(r"orvantis/%s/service" % SITE, lambda p: p["throttling"] is False)
    if "a retained message on orvantis/%s/command/pause ignored" % SITE not in service.text():
        fail("no line of the retained command: " + service.text())
    watcher.wait(r"orvantis/%s/module/segment_recorder" % SITE, lambda p: p["opened"] and p["open_code"] == 0)
    reply = r"orvantis/%s/reply" % SITE
    watcher.wait(r"orvantis/%s/event/segment" % SITE, lambda p: p["camera"] == "front", count=2)
    command(broker, "pause", '{"camera": "front", "id": "p1"}')
    watcher.wait(reply, lambda p: p.get("id") == "p1" and p["result"] == "ok" and p["recording"] is False)
    watcher.wait(r"orvantis/%s/camera/front/state" % SITE, lambda p: p["recording"] is False)
    time.sleep(4)
    command(broker, "resume", '{"camera": "front", "id": "r1"}')
    watcher.wait(reply, lambda p: p.get("id") == "r1" and p["result"] == "ok" and p["recording"] is True)
    for name, payload, error in (("pause", '{"camera": "front"', "malformed"), ("pause", '[1]', "malformed"),
                                 ("pause", '{"camera": "../x", "id": "b"}', "camera"),
                                 ("pause", '{"camera": {"a": 1}}', "malformed"),
                                 ("reboot", '{"id": "u"}', "unknown")):
        command(broker, name, payload)
        watcher.wait(reply, lambda p: p["command"] == name and p["result"] == "error" and error in p["error"])
    command(broker, "status", '{"id": "s1"}')
    watcher.wait(reply, lambda p: p.get("id") == "s1" and p["result"] == "ok")
    # The clips end (at_end = stop): the recorder finishes its last segments.
    watcher.wait(r"orvantis/%s/camera/yard/state" % SITE, lambda p: not p["connected"], seconds=30)
    watcher.wait(r"orvantis/%s/camera/front/state" % SITE, lambda p: not p["connected"], seconds=30)
    time.sleep(1)
    text = service.stop()
    watcher.wait(status, lambda p: p == "offline")
    announced = check_segment_events(watcher, service, text)
    # The pause shows as a hole in the front camera's segments, and as a gap.
    front = sorted((e["start"], e["end"]) for e in announced.values() if e["camera"] == "front")
    gaps = watcher.payloads(r"orvantis/%s/event/gap" % SITE)
    if len(gaps) != 1 or gaps[0]["camera"] != "front" or gaps[0]["length"] < 3 or \
            (gaps[0]["from"], gaps[0]["to"]) not in [(a[1], b[0]) for a, b in zip(front, front[1:])]:
        fail("gaps: %s against segments %s" % (gaps, front))
    # The last states count every packet the source sent.
    sent = {name: int(n) for name, n in
            re.findall(r"video_source(?:\.so ID 0x[0-9A-F]{8})?: (\w+): (\d+) packets sent", text)}
    for name in ("front", "yard"):
        last = watcher.payloads(r"orvantis/%s/camera/%s/state" % (SITE, name))[-1]
        if last["packets"] != sent[name]:
            fail("%s: %d packets in the state, %d sent" % (name, last["packets"], sent[name]))
    connected = [(e["camera"], e["connected"]) for e in watcher.payloads(r"orvantis/%s/event/camera" % SITE)]
    if sorted(connected) != [("front", False), ("front", True), ("yard", False), ("yard", True)]:
        fail("camera events: %s" % connected)
    if bridge_report(text)[3] != 0:
        fail("messages dropped: " + text)
    if [p for p in watcher.payloads(reply) if p.get("id") == "stale"] or \
            [p for p in watcher.payloads(r"orvantis/%s/camera/yard/state" % SITE) if not p["recording"]]:
        fail("the retained command was acted on")
    watcher.stop()
    broker.stop()


def case_tls(build, work):
    broker = Broker(work)
    watcher = Watcher(broker, work)
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 30)
    bridge = {"port": broker.tls_port, "protocol": 5, "ca_file": broker.path("ca.crt"),
              "cert_file": broker.path("client.crt"), "key_file": broker.path("client.key"), "discovery": 1}
    service = Service(build, work, {"front.door": clip}, bridge)
    watcher.wait("orvantis/%s/status" % SITE, lambda p: p == "online")
    state = "orvantis/%s/camera/front.door/state" % SITE
    watcher.wait(state, lambda p: p["connected"])
    config = watcher.wait(r"homeassistant/binary_sensor/orvantis_%s/front_door_connected/config" % SITE)[0]
    if config["state_topic"] != state or config["device_class"] != "connectivity" or \
            config["availability_topic"] != "orvantis/%s/status" % SITE:
        fail("discovery: %s" % config)
    watcher.wait(r"homeassistant/binary_sensor/orvantis_%s/front_door_recording/config" % SITE)
    if "TLS" not in service.text():
        fail("no TLS in: " + service.text())
    service.stop()
    # Without the client certificate the broker refuses the handshake.
    work2 = os.path.join(work, "again")
    os.makedirs(work2)
    service = Service(build, work2, {"front": clip}, dict(bridge, cert_file="", key_file=""))
    wait_for(lambda: "no connection to the broker 127.0.0.1:%d for 5 s" % broker.tls_port in service.text(), 15,
             "the bridge to say it has no connection: " + service.text())
    text = service.stop()
    if "connected to the broker" in text:
        fail("a connection without the client certificate: " + text)
    # A wrong password: refused, said once, however often the bridge tries.
    work3 = os.path.join(work, "wrong")
    os.makedirs(work3)
    service = Service(build, work3, {"front": clip}, {"port": broker.port, "password": "wrong", "protocol": 5})
    refused = "the broker 127.0.0.1:%d refused the connection: Not authorized" % broker.port
    wait_for(lambda: refused in service.text(), 10, "a refusal: " + service.text())
    time.sleep(3)
    text = service.stop()
    if text.count(refused) != 1 or "connected to the broker" in text:
        fail("a wrong password: " + text)
    watcher.stop()
    broker.stop()


class Relay:
    """A TCP relay between the bridge and the broker, whose connections the
    test can cut while the broker stays up."""

    def __init__(self, upstream_port):
        self.upstream = upstream_port
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.port = self.server.getsockname()[1]
        self.refusing = False
        self.sockets = []
        self.lock = threading.Lock()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, _ = self.server.accept()
            try:
                if self.refusing:
                    raise OSError
                upstream = socket.create_connection(("127.0.0.1", self.upstream))
            except OSError:
                client.close()
                continue
            with self.lock:
                self.sockets += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self.pump, args=(a, b), daemon=True).start()

    @staticmethod
    def pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def cut(self, seconds):
        self.refusing = True
        with self.lock:
            for s in self.sockets:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            self.sockets = []
        time.sleep(seconds)
        self.refusing = False


def case_outage(build, work):
    broker = Broker(work)
    watcher = Watcher(broker, work)
    relay = Relay(broker.port)
    clip = os.path.join(work, "clip.mp4")
    make_clip(clip, 40)
    service = Service(build, work, {"front": clip, "yard": clip},
                      {"port": relay.port, "max_queued": 60, "reconnect_min_seconds": 1})
    status = "orvantis/%s/status" % SITE
    watcher.wait(status, lambda p: p == "online")
    watcher.wait(r"orvantis/%s/event/segment" % SITE, count=4)
    broker.kill()
    time.sleep(10)
    broker.start()
    watcher.subscribe()  # before the bridge is back (its back-off is at least a second)
    back = time.monotonic()
    wait_for(lambda: service.text().count("connected to the broker") >= 2, 10, "the bridge to reconnect")
    if time.monotonic() - back > 2 + 1:
        fail("reconnected %.1f s after the broker came back, the cap is 2 s" % (time.monotonic() - back))
    watcher.wait(status, lambda p: p == "online", count=2)
    # The broker stays, the bridge's connection goes: the broker publishes its will.
    onlines = len([p for p in watcher.payloads(status) if p == "online"])
    relay.cut(3)
    watcher.wait(status, lambda p: p == "offline")
    watcher.wait(status, lambda p: p == "online", count=onlines + 1, seconds=10)
    watcher.wait(r"orvantis/%s/camera/yard/state" % SITE, lambda p: not p["connected"], seconds=60)
    watcher.wait(r"orvantis/%s/camera/front/state" % SITE, lambda p: not p["connected"], seconds=60)
    time.sleep(1)
    text = service.stop()
    check_segment_events(watcher, service, text)
    queued, _, _, dropped, most, connections = bridge_report(text)
    if dropped != 0 or most > 60 or connections < 3:
        fail("bridge: %d dropped, at most %d waiting, %d connections" % (dropped, most, connections))
    # Delivery to the recorder went on while the broker was away: every
    # packet sent was written, in segments that follow each other.
    written = int(re.search(r"segment_recorder(?:\.so ID 0x[0-9A-F]{8})?: \d+ segments, (\d+) packets written",
                            text).group(1))
    sent = int(re.search(r"video_source(?:\.so ID 0x[0-9A-F]{8})?: (\d+) packets sent", text).group(1))
    if written != sent:
        fail("%d packets written of %d sent" % (written, sent))
    if watcher.payloads(r"orvantis/%s/event/gap" % SITE):
        fail("gaps: %s" % watcher.payloads(r"orvantis/%s/event/gap" % SITE))
    watcher.stop()
    broker.stop()


def case_load(build, work):
    seconds = int(os.environ.get("ORV_MQTT_LOAD_SECONDS", "20"))
    cameras = ["camera%02d" % i for i in range(1, 17)]
    broker, watcher, service = start_all(build, work, cameras, {}, seconds)
    watcher.wait(r"orvantis/%s/camera/camera16/state" % SITE, lambda p: not p["connected"], seconds=seconds + 60)
    for name in cameras:
        watcher.wait(r"orvantis/%s/camera/%s/state" % (SITE, name), lambda p: not p["connected"], seconds=30)
    time.sleep(1)
    text = service.stop()
    announced = check_segment_events(watcher, service, text)
    if len(announced) < len(cameras) * (seconds - 2):
        fail("%d segments announced in %d s of 16 cameras" % (len(announced), seconds))
    for name in cameras:
        states = watcher.payloads(r"orvantis/%s/camera/%s/state" % (SITE, name))
        if len(states) < seconds - 2:
            fail("%s: %d states in %d s" % (name, len(states), seconds))
    # Every message the bridge queued arrived (no reconnection: no repeats).
    queued, _, replaced, dropped, _, _ = bridge_report(text)
    arrived = [t for _, t, _ in watcher.messages(r"orvantis/%s/(?!command/|status$).*" % SITE)]
    if dropped or len(arrived) != queued - replaced:
        fail("%d messages arrived, %d queued, %d replaced, %d dropped" % (len(arrived), queued, replaced, dropped))
    watcher.stop()
    broker.stop()


CASES = {"exchange": case_exchange, "tls": case_tls, "outage": case_outage, "load": case_load}


def main():
    global SANITIZER
    case, build, SANITIZER = sys.argv[1:4]
    work = tempfile.mkdtemp()
    try:
        CASES[case](os.path.abspath(build), work)
    finally:
        for process in STARTED:
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


main()
