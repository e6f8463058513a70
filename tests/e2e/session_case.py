"""What the end-to-end test modules share: the executable under test, the module's work
folder, and a test case with a configuration home of its own that runs sessions and
reads the download queue."""

import hashlib
import os
import shutil
import tempfile
import time
import unittest

from servers import Store, run_tarnwick

EXE = os.path.abspath(os.environ["TARNWICK_EXE"]) if os.environ.get("TARNWICK_EXE") else ""


def skip_unless_ready(*binaries):
    """Skips the calling module when the executable or one of the servers is missing."""
    if not EXE or not os.access(EXE, os.X_OK):
        raise unittest.SkipTest("TARNWICK_EXE does not name the built executable")
    missing = [b for b in binaries if not os.access(b, os.X_OK)]
    if missing:
        raise unittest.SkipTest("missing servers: " + ", ".join(missing))


def new_work(prefix):
    """The module's work folder, which also holds each test's configuration home."""
    SessionCase.work = tempfile.mkdtemp(prefix=prefix)
    return SessionCase.work


def remove_work(work):
    # TARNWICK_E2E_KEEP leaves the servers' logs and the homes for a post-mortem.
    if work and not os.environ.get("TARNWICK_E2E_KEEP"):
        shutil.rmtree(work, ignore_errors=True)


def wait_for_size(proc, path, size, deadline):
    """Returns once `path` holds `size` bytes, `proc` has ended or `deadline` (monotonic)
    has passed; polled finely, so that a kill lands near `size`."""
    while proc.poll() is None and time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) >= size:
            return
        time.sleep(0.002)


def file_digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


class SessionCase(unittest.TestCase):
    """Each test has its own configuration home, holding `config`, and download folder."""

    work = None
    # A break pauses at once unless a test asks for tries.
    config = (("Exit", 1), ("Rollback", 4), ("Retries", 0))
    session_timeout = 60

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="home-", dir=self.work)
        self.store = Store(self.home)
        for name, value in self.config:
            self.store.set("Config", name, value)
        self.output = ""

    def local(self, name):
        return os.path.join(self.home, name)

    def run_session(self, arg, answers="", timeout=None, env=None):
        """Runs the executable with `arg` (one argument or a list) and `env` added to its
        environment; its standard error is kept in self.output, its standard output in
        self.stdout (self.stdout_bytes as it came)."""
        r = run_tarnwick(EXE, arg, self.home, answers, timeout=timeout or self.session_timeout, env=env)
        self.output = r.stderr.decode(errors="replace")
        self.stdout_bytes = r.stdout
        self.stdout = r.stdout.decode(errors="replace")
        return r.returncode

    def last_lines(self, n):
        return self.output.rstrip("\n").split("\n")[-n:]

    def assertSameFile(self, path, data):
        with open(path, "rb") as f:
            got = f.read()
        self.assertEqual(len(got), len(data), "size of " + path)
        self.assertTrue(got == data, "contents of " + path + " differ")

    def queue(self):
        return self.store.section("FileQueue")

    def assertNoQueue(self):
        self.assertEqual(self.queue(), {}, self.output)

    def slot_of(self, url, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for name, value in self.queue().items():
                if name.startswith("Get") and value == url:
                    return name[3:]
            time.sleep(0.02)
        self.fail("no queue entry for " + url)
