#!/usr/bin/env python3
"""Modules written carelessly or with ill intent, run in the real service:
releases of foreign, freed, null and stack pointers, double releases,
releases under the holder ids 0 and 0x80000000, negative and huge lengths,
sent from inside every entry point, from the modules' own threads and from
the library's destructor, and modules whose ids are 0 and 0x80000000. The
service runs and stops as usual, and (in the ASan build) neither reads nor
frees anything it does not own.

The callback cannot be called from a library constructor: a module receives
it only in Load.

Usage: hostile_modules_test.py <bin dir> <test module dir>
"""
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import foreground_service  # noqa: E402

RELEASE_EVENT = 0x77

# (name, send) pairs sent from every entry point of the hostile module.
HOSTILE_SENDS = [
    ("foreign", "flags=0x200 payload=abc"),
    ("null", "flags=0x200 nodata=1"),
    ("freed", "flags=0x200 data=freed"),
    ("stack", "flags=0x200 data=stack"),
    ("holder0", "flags=0x200 source=0 payload=abc"),
    ("core holder", "flags=0x200 source=0x80000000 payload=abc"),
    ("negative length", "flags=1 event=0x66 payload=abc length=-5"),
    ("huge length without data", "flags=1 event=0x66 nodata=1 length=2147483647"),
]
ENTRY_POINTS = ["load", "open", "close", "unload", "write", "notice", "ioctl", "read", "thread", "destructor"]

# Receivers keep every payload and release each twice when RELEASE_EVENT comes.
KEEPER = ("accepts_write = 1\nmask0 = 0xffffffff\nmask6 = 0xffffffff\n"
          "write_keeps = 1\nioctl_keeps = 1\nrelease_event = 0x77\nrelease_twice = 1\n")


def hostile_config():
    lines = ["id = 0x3000", "wants_read_worker = 1", "wants_ioctl_worker = 1",
             "thread_interval_ms = 20", "thread_count = 10", KEEPER]
    for when in ENTRY_POINTS:
        for _, send in HOSTILE_SENDS:
            extra = " on_event=0x55" if when == "write" else ""
            lines.append("send = %s %s%s" % (when, send, extra))
    # Payloads for everyone to keep, then the call to release them.
    lines.append("send = thread flags=0x101 event=0x55 payload=kept_payload")
    lines.append("send = thread flags=1 event=0x77 payload=release")
    return "\n".join(lines) + "\n"


MODULES = {
    "hostile.so": hostile_config(),
    "zero_id.so": "id = 0\n" + KEEPER,
    "core_id.so": "id = 0x80000000\n" + KEEPER,
}


def fail(text, err=""):
    foreground_service.fail(text + ("\n" + err if err else ""))


def main():
    bin_dir, module_dir = sys.argv[1], sys.argv[2]
    work = tempfile.mkdtemp(prefix="orvantis-hostile-")
    try:
        service = foreground_service.ForegroundService(bin_dir, os.path.join(work, "bin"))
        for name, config in MODULES.items():
            shutil.copy2(os.path.join(module_dir, "orv_test_module.so"), os.path.join(service.plugins, name))
            with open(os.path.join(service.plugins, name + ".conf"), "w") as conf:
                conf.write(config)
        service.start()
        time.sleep(2)
        err = service.stop(timeout=60)
        for marker in ("AddressSanitizer", "runtime error", "LeakSanitizer"):
            if marker in err:
                fail("sanitizer report", err)
        log = open(os.path.join(service.plugins, "hostile.so.log")).read()
        for when in ENTRY_POINTS:
            if "from=%s " % when not in log:
                fail("no sends from %s" % when, log[-2000:])
        if "Release " not in log:
            fail("the hostile module released nothing", log[-2000:])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
