#!/usr/bin/env python3
"""The Prometheus exporter in the service binary: its page passes promtool and
its counts agree with what test modules logged of a scripted exchange.

Usage: exporter_test.py <case> <build dir> <source dir>
  exchange  a sender sends 20 payloads of 1000 bytes and a command to a
            receiver (whose file name needs escaping) that keeps them and
            releases each twice; the page, fetched over HTTP, passes
            `promtool check metrics` and matches the call logs; the shipped
            alerting rules pass `promtool check rules`
  failures  a port in use leaves the service running with the exporter's
            Open failing (OpenCode 98); a non-loopback address refuses Load
  modules   a module's published counts equal its own totals; the build,
            process, memory and open-code figures are on the page
  hostile   a scrape is answered within 1 s while 1,000 connections hold
            half-sent requests, which the exporter then closes; the stop
            with them open takes under 1 s
  access    TLS and basic authentication against bcrypt hashes, through curl
            and through a Prometheus server scraping on loopback; another
            address than loopback is accepted only with both
"""
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import foreground_service  # noqa: E402
from foreground_service import fail, free_port, make_credentials  # noqa: E402

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
PAYLOADS = 20
PAYLOAD_SIZE = 1000
RECEIVER = b'odd"\\name\n\xff.so'
RECEIVER_LABEL = 'odd"\\name\n\ufffd.so'  # the label value once unescaped


class Service(foreground_service.ForegroundService):
    """The service binary in a directory of its own, in the foreground, with
    the exporter and copies of the test module (keyed by file name, in bytes,
    with their configuration texts) in plugins/, and the reporting module as
    reporting.so when its configuration is given."""

    def __init__(self, build, work, exporter_conf, test_modules=None, reporting_conf=None):
        super().__init__(os.path.join(build, "bin"), work)
        self.plugins = os.fsencode(self.plugins)
        exporter = os.path.join(build, "shipped", "prometheus_exporter", "prometheus_exporter.so")
        os.symlink(exporter, os.path.join(self.plugins, b"prometheus_exporter.so"))
        self.write(b"prometheus_exporter.conf", exporter_conf)
        for name, conf in (test_modules or {}).items():
            # Copies, not links: one library file is loaded only once.
            shutil.copy(os.path.join(build, "tests", "modules", "orv_test_module.so"), os.path.join(self.plugins, name))
            self.write(name + b".conf", conf)
        if reporting_conf is not None:
            os.symlink(os.path.join(build, "tests", "modules", "orv_reporting_module.so"),
                       os.path.join(self.plugins, b"reporting.so"))
            self.write(b"reporting.conf", reporting_conf)
        self.start()

    def write(self, name, text):
        with open(os.path.join(self.plugins, name), "w") as f:
            f.write(text)

    def call_log(self, name):
        with open(os.path.join(self.plugins, name + b".log")) as f:
            return [dict(t.split("=", 1) for t in line.split()[1:] if "=" in t) | {"entry": line.split()[0]}
                    for line in f]

    def wait_for_text(self, text, seconds=10):
        deadline = time.monotonic() + seconds
        while text not in self.text():
            if time.monotonic() > deadline:
                fail("no %r in: %s" % (text, self.text()))
            time.sleep(0.05)


def fetch(url):
    """(status, content type, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=10) as response:
            return response.status, response.headers["Content-Type"], response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers["Content-Type"], error.read()


def unescape(value):
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), value)


def samples(page):
    """{(name, ((label, value), ...)): value} of the page's sample lines."""
    found = {}
    for line in page.splitlines():
        if line.startswith("#"):
            continue
        match = re.fullmatch(r"(\w+)(?:\{(.*)\})? (\S+)", line)
        if not match:
            fail("not a sample line: %r" % line)
        labels = tuple(sorted((k, unescape(v)) for k, v in re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', match[2] or "")))
        found[(match[1], labels)] = float(match[3])
    return found


def promtool(*args, stdin=None):
    run = subprocess.run(["promtool"] + list(args), input=stdin, capture_output=True)
    if run.returncode != 0 or (stdin is not None and (run.stdout or run.stderr)):
        fail("promtool %s: %s %s" % (" ".join(args), run.stdout.decode(), run.stderr.decode()))


def check_rules(source):
    """The shipped alerting rules, as an operator installs them."""
    promtool("check", "rules", os.path.join(source, "shipped", "prometheus_exporter", "orvantis.rules.yml"))


# ---- cases ------------------------------------------------------------------

def exchange(build, source, work):
    port = free_port()
    sender = ("id = 0x5101\nsend = open flags=0x8 event=0x77 payload_size=%d count=%d\n"
              "send = open flags=0x8 event=0x78 nodata=1\n" % (PAYLOAD_SIZE, PAYLOADS))
    receiver = ("id = 0x5102\naccepts_write = 1\nmask3 = 0xFF\nwrite_keeps = 1\nrelease_event = 0x78\n"
                "release_twice = 1\n")
    service = Service(build, work, "listen_address = 127.0.0.1\nport = %d\n" % port,
                      {b"sender.so": sender, RECEIVER: receiver})
    service.wait_for_text("plugin prometheus_exporter.so ID 0x00000600: serving http://127.0.0.1:%d/metrics" % port)
    url = "http://127.0.0.1:%d" % port
    module = lambda name, id, **more: tuple(sorted(dict(module=name, id=id, **more).items()))
    sender_labels, receiver_labels = module("sender.so", "0x5101"), module(RECEIVER_LABEL, "0x5102")
    deadline = time.monotonic() + 10
    while True:
        status, content_type, body = fetch(url + "/metrics")
        page = samples(body.decode())
        releases = page.get(("orvantis_module_releases_total", receiver_labels))
        if (releases == 2 * PAYLOADS and page[("orvantis_queue_messages", ())] == 0) or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    if status != 200 or content_type != CONTENT_TYPE:
        fail("GET /metrics: %d %s" % (status, content_type))
    promtool("check", "metrics", stdin=body)
    if (fetch(url + "/")[0], fetch(url + "/metricsx")[0]) != (404, 404):
        fail("a path other than /metrics is not 404")
    try:
        post = urllib.request.urlopen(urllib.request.Request(url + "/metrics", data=b"x", method="POST"), timeout=10)
        fail("POST answered %d" % post.status)
    except urllib.error.HTTPError as error:
        if error.code != 405:
            fail("POST answered %d" % error.code)
    service.stop()

    sends = [s for s in service.call_log(b"sender.so") if s["entry"] == "Send"]
    writes = [w for w in service.call_log(RECEIVER) if w["entry"] == "Write"]
    released = [r for r in service.call_log(RECEIVER) if r["entry"] == "Release"]
    accepted = [s for s in sends if s["result"] == "0"]
    if len(accepted) != PAYLOADS + 1 or len(released) != 2 * PAYLOADS:
        fail("the exchange did not run as scripted: %d sends accepted, %d releases" % (len(accepted), len(released)))
    expected = {
        ("orvantis_host_interface_available", ()): 1,
        ("orvantis_modules", ()): 3,
        ("orvantis_queue_messages", ()): 0,
        ("orvantis_queue_bytes", ()): 0,
        ("orvantis_throttling", ()): 0,
        ("orvantis_messages_delivered_total", ()): page[("orvantis_messages_queued_total", ())],
        ("orvantis_module_messages_sent_total", module("sender.so", "0x5101", result="accepted")): len(accepted),
        ("orvantis_module_messages_sent_total", module("sender.so", "0x5101", result="refused")): 0,
        ("orvantis_module_sent_bytes_total", sender_labels): sum(int(s["length"]) for s in accepted),
        ("orvantis_module_messages_sent_total", module(RECEIVER_LABEL, "0x5102", result="accepted")): 0,
        ("orvantis_module_messages_delivered_total", receiver_labels): len(writes),
        ("orvantis_module_delivered_bytes_total", receiver_labels): sum(int(w["length"]) for w in writes),
        ("orvantis_module_messages_delivered_total", sender_labels): 0,
        ("orvantis_module_releases_total", receiver_labels): len(released),
        ("orvantis_module_releases_unmatched_total", receiver_labels): PAYLOADS,
        ("orvantis_module_payload_holds", receiver_labels): 0,
        ("orvantis_module_messages_waiting", sender_labels): 0,
        ("orvantis_module_stalled_calls_total", receiver_labels): 0,
    }
    wrong = {key: (page.get(key), value) for key, value in expected.items() if page.get(key) != value}
    if wrong:
        fail("(sample, (found, expected)): %s\npage:\n%s" % (wrong, body.decode(errors="replace")))
    check_rules(source)


def failures(build, source, work):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        service = Service(build, work, "port = %d\n" % port)
        service.wait_for_text("plugin prometheus_exporter.so ID 0x00000600: cannot serve on 127.0.0.1:%d: Address "
                              "already in use" % port)
        service.wait_for_text("plugin prometheus_exporter.so ID 0x00000600: open returned 98")
        service.stop()
    with open(os.path.join(work, "plugins.xml")) as f:
        if 'Filename="prometheus_exporter.so" Opened="1" OpenCode="98"' not in f.read():
            fail("plugins.xml does not show the failed Open")
    refused = os.path.join(work, "refused")
    os.mkdir(refused)
    service = Service(build, refused, "listen_address = 0.0.0.0\n")
    service.wait_for_text("plugin prometheus_exporter.so load returned 22 error 0")
    text = service.stop()
    if 'listen_address "0.0.0.0" is not a loopback address' not in text:
        fail("no reason for the refusal: " + text)


def modules(build, source, work):
    port = free_port()
    service = Service(build, work, "port = %d\n" % port, {b"refusing.so": "id = 0x5201\nopen_result = 5\n"},
                      "packets = 1234\npacket_bytes = 188\n")
    service.wait_for_text("serving http://127.0.0.1:%d/metrics" % port)
    deadline = time.monotonic() + 10
    labels = (("camera", "front"), ("id", "0x7200"), ("module", "reporting.so"))
    while True:
        body = fetch("http://127.0.0.1:%d/metrics" % port)[2]
        page = samples(body.decode())
        if page.get(("orvantis_test_packets_total", labels)) == 1234 or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    text = service.stop()
    promtool("check", "metrics", stdin=body)
    with open(os.path.join(service.plugins, b"reporting.totals")) as f:
        totals = dict(t.split("=") for t in f.read().split())
    expected = {
        ("orvantis_test_packets_total", labels): int(totals["packets"]),
        ("orvantis_test_bytes_total", labels): int(totals["bytes"]),
        ("orvantis_test_connected", labels): 1,
        ("orvantis_build_info", (("version", "8.8.1.119385"),)): 1,
        ("orvantis_module_open_code", (("id", "0x5201"), ("module", "refusing.so"))): 5,
        ("orvantis_module_open_code", (("id", "0x7200"), ("module", "reporting.so"))): 0,
        ("orvantis_host_interface_available", ()): 1,
    }
    wrong = {key: (page.get(key), value) for key, value in expected.items() if page.get(key) != value}
    if wrong:
        fail("(sample, (found, expected)): %s\npage:\n%s" % (wrong, body.decode(errors="replace")))
    for name in ("process_resident_memory_bytes", "process_open_fds", "process_cpu_seconds_total",
                 "process_start_time_seconds", "orvantis_memory_limit_bytes"):
        if not page.get((name, ())):
            fail("no %s on the page" % name)
    if abs(page[("process_start_time_seconds", ())] - time.time()) > 60:
        fail("process_start_time_seconds is not about now")
    if "plugin refusing.so ID 0x00005201: open returned 5" not in text:
        fail("no warning for the failed Open: " + text)


def open_hostile(port, count):
    """Connections that have sent part of a request and then stay silent."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 256)), hard))
    hostile = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n")
        hostile.append(s)
    return hostile


def hostile(build, source, work):
    port = free_port()
    service = Service(build, work, "port = %d\n" % port)
    service.wait_for_text("serving http://127.0.0.1:%d/metrics" % port)
    held = open_hostile(port, 1000)
    started = time.monotonic()
    status = fetch("http://127.0.0.1:%d/metrics" % port)[0]
    took = time.monotonic() - started
    if status != 200 or took > 1:
        fail("with 1000 connections held the scrape answered %d after %.2f s" % (status, took))
    # A half-sent request is cut off after seconds of silence.
    held[0].settimeout(10)
    try:
        held[0].recv(4096)
    except socket.timeout:
        fail("a silent half-sent request was kept for 10 s")
    started = time.monotonic()
    service.stop()
    took = time.monotonic() - started
    for s in held:
        s.close()
    if took > 1:
        fail("the stop took %.2f s with connections open" % took)


def curl_status(url, cert, *more):
    run = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", cert, url] + list(more),
                         capture_output=True, text=True)
    return run.stdout if run.stdout != "000" else "000 " + run.stderr.strip()


def scraped_by_prometheus(port, cert, work):
    """A Prometheus server on loopback scrapes the exporter over TLS with
    basic authentication; true once it reports the target up."""
    web = free_port()
    config = os.path.join(work, "prometheus.yml")
    with open(config, "w") as f:
        f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: orvantis\n    scheme: https\n"
                "    tls_config:\n      ca_file: %s\n    basic_auth:\n      username: prometheus\n"
                "      password: s3cret\n    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % (cert, port))
    server = subprocess.Popen(["prometheus", "--config.file=" + config, "--web.listen-address=127.0.0.1:%d" % web,
                               "--storage.tsdb.path=" + os.path.join(work, "tsdb")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/targets" % web, timeout=5) as r:
                    if '"health":"up"' in r.read().decode():
                        return True
            except OSError:
                pass
            time.sleep(0.3)
        return False
    finally:
        server.terminate()
        server.wait()


def access(build, source, work):
    cert, key, users = make_credentials(work, "# users\nprometheus:%s\n")
    port = free_port()
    tls = "tls_cert_file = %s\ntls_key_file = %s\n" % (cert, key)
    service = Service(build, work, "port = %d\n%sbasic_auth_file = %s\n" % (port, tls, users))
    service.wait_for_text("serving https://127.0.0.1:%d/metrics (basic authentication)" % port)
    url = "https://127.0.0.1:%d/metrics" % port
    found = (curl_status(url, cert, "-u", "prometheus:s3cret"), curl_status(url, cert, "-u", "prometheus:wrong"),
             curl_status(url, cert, "-u", "nobody:s3cret"), curl_status(url, cert),
             curl_status("http://127.0.0.1:%d/metrics" % port, cert, "-u", "prometheus:s3cret"))
    if found[:4] != ("200", "401", "401", "401") or found[4].startswith("200"):
        fail("https with the right, a wrong, an unknown and no user; then plain http: %s\n%s" % (found, service.text()))
    if not scraped_by_prometheus(port, cert, work):
        fail("Prometheus did not scrape the exporter")
    service.stop()
    # Beyond loopback only with both; Load refuses otherwise.
    for name, conf in (("tls_only", tls), ("both", tls + "basic_auth_file = %s\n" % users)):
        os.mkdir(os.path.join(work, name))
        service = Service(build, os.path.join(work, name),
                          "listen_address = 192.0.2.1\nport = %d\n%s" % (free_port(), conf))
        if name == "both":
            service.wait_for_text("cannot serve on 192.0.2.1")
        else:
            service.wait_for_text("plugin prometheus_exporter.so load returned 22 error 0")
        service.stop()


CASES = {"exchange": exchange, "failures": failures, "modules": modules, "hostile": hostile, "access": access}


def main():
    case, build, source = sys.argv[1:4]
    work = tempfile.mkdtemp()
    try:
        CASES[case](os.path.abspath(build), os.path.abspath(source), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


main()
