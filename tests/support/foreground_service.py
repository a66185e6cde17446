"""The real service binary in the foreground, in a directory of a test's own:
a copy of orvantisd, an empty plugins/ and protected-plugins/, and a HOME of
its own for the instance lock. Standard error goes to a file the test reads
while the service runs; Enter stops it, as it stops a person's run."""
import os
import shutil
import socket
import subprocess
import sys
import time


def fail(text):
    print("FAIL: " + text, file=sys.stderr)
    sys.exit(1)


def wait_for(predicate, seconds, what):
    """The predicate's first true value, polled until the deadline."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.05)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ForegroundService:
    def __init__(self, bin_dir, work):
        self.work = work
        self.plugins = os.path.join(work, "plugins")
        os.makedirs(self.plugins)
        os.makedirs(os.path.join(work, "protected-plugins"))
        os.makedirs(os.path.join(work, "home"))
        shutil.copy2(os.path.join(bin_dir, "orvantisd"), work)
        self.log_path = os.path.join(work, "stderr.log")
        self.process = None

    def start(self, env=None):
        env = dict(env or os.environ, HOME=os.path.join(self.work, "home"))
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen(["./orvantisd", "-d"], cwd=self.work, stdin=subprocess.PIPE,
                                            stdout=subprocess.DEVNULL, stderr=log, env=env)

    def text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self, timeout=30):
        """Stops the service with Enter; fails unless it ends with status 0.
        Returns its standard error."""
        try:
            self.process.communicate(b"\n", timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            fail("the service did not stop on Enter: " + self.text())
        if self.process.returncode != 0:
            fail("exit status %d: %s" % (self.process.returncode, self.text()))
        return self.text()


def make_credentials(work, users_line):
    """A self-signed certificate for 127.0.0.1 and a users file whose line
    `users_line` has the bcrypt hash of "s3cret" for its %s; the paths."""
    cert, key, users = (os.path.join(work, name) for name in ("cert.pem", "key.pem", "users"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
        hashed = crypt.crypt("s3cret", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=16))
    with open(users, "w") as f:
        f.write(users_line % hashed)
    return cert, key, users
