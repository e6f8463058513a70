#!/usr/bin/env python3
"""HTTP downloads of the built executable in terminal mode against a real nginx and a real
tinyproxy on loopback. Usage: http_test.py [unittest options], with TARNWICK_EXE naming
the executable."""

import contextlib
import email.utils
import hashlib
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import (Nginx, Tinyproxy, free_port, kill_and_reap, read_text, run_tarnwick,  # noqa: E402
                     start_tarnwick, terminal_env)
from session_case import (EXE, SessionCase, file_digest, new_work, remove_work, skip_unless_ready,  # noqa: E402
                          wait_for_size)

NOT_FOUND = "The specified item was not found on the server."

_work = None
_nginx = None
_proxy = None
_other_port = 0


def setUpModule():
    global _work, _nginx, _proxy, _other_port
    skip_unless_ready(Nginx.binary, Tinyproxy.binary)
    _work = new_work("tarnwick-e2e-http-")
    www = os.path.join(_work, "www")
    os.makedirs(www)
    with open(os.path.join(_work, "htpasswd"), "w") as f:
        f.write("user:{PLAIN}secret\n")
    # A second port is another server to the client: redirects there must not carry
    # the credentials. The redirects under /private/ come only after authorization.
    _other_port = free_port()
    extra = f"""
    listen 127.0.0.1:{_other_port};
    location /private/ {{
      alias {www}/;
      auth_basic "Tarnwick Test";
      auth_basic_user_file {_work}/htpasswd;
      location = /private/to/here {{ try_files /- @here; }}
      location = /private/to/away {{ try_files /- @away; }}
    }}
    location @here {{ absolute_redirect off; return 302 /private/secret.bin; }}
    location @away {{ return 302 http://127.0.0.1:{_other_port}/plain.bin; }}
    location /slow/ {{ alias {www}/; limit_rate 256k; }}
    location /paced/ {{ alias {www}/; limit_rate 80m; }}
    location /metered/ {{ alias {www}/; limit_rate 1m; }}
    location /trickle/ {{ alias {www}/; limit_rate 32k; }}
    location /noranges/ {{ alias {www}/; max_ranges 0; }}
    location = /moved/abs {{ absolute_redirect off; return 302 /plain.bin; }}
    location = /moved/rel {{ absolute_redirect off; return 302 ../plain.bin; }}
    location = /status/403 {{ return 403; }}
    location = /status/500 {{ return 500; }}
    location = /status/503 {{ return 503; }}
    location = /cd/get.php {{ alias {www}/named.bin; add_header Content-Disposition "attachment; filename=fallback.bin; filename*=UTF-8''..%2Fcaf%C3%A9.bin"; }}
    location = /cd/ {{ try_files /named.bin =404; add_header Content-Disposition "attachment; filename=\\".hidden\\""; }}
    location = /digest/bad.bin {{ alias {www}/named.bin; add_header Repr-Digest "sha-256=:{"A" * 43}=:"; }}
"""
    _nginx = Nginx(os.path.join(_work, "nginx"), www, extra).start()
    try:
        _proxy = Tinyproxy(os.path.join(_work, "tinyproxy")).start()
    except Exception:
        _nginx.stop()
        raise


def tearDownModule():
    for server in (_proxy, _nginx):
        if server:
            server.stop()
    remove_work(_work)


def serve(name, data, mtime=None):
    path = os.path.join(_nginx.root, name)
    with open(path, "wb") as f:
        f.write(data)
    if mtime is not None:
        os.utime(path, (mtime, mtime))
    return path


def http_date(path):
    return email.utils.formatdate(os.stat(path).st_mtime, usegmt=True)


def field(log_line, name):
    """A name=value field of an access log line ("-" when the request had none)."""
    return re.search(r"\b%s=(\S*)" % name, log_line).group(1)


def step_back(start, rollback_kb=4):
    return max(0, int((start - rollback_kb * 1024) / 1024) * 1024)


class Session(SessionCase):
    """new_requests() are those nginx logged since log_mark, which setUp places."""

    def setUp(self):
        super().setUp()
        self.log_mark = len(_nginx.log_lines())

    def new_requests(self):
        return _nginx.log_lines()[self.log_mark:]

    def write_entry(self, slot, url, local, start, **more):
        self.store.set("FileQueue", "Get" + slot, url)
        self.store.set("FileQueue", "Local" + slot, local)
        self.store.set("FileQueue", "Start" + slot, start)
        for name, value in more.items():
            self.store.set("FileQueue", name + slot, value)


class Downloads(Session):
    def test_new_download_completes_and_leaves_no_entry(self):
        data = random.Random(1).randbytes(1_500_000)
        serve("plain.bin", data)
        rc = self.run_session(_nginx.url("/plain.bin"), self.local("plain.bin") + "\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(self.local("plain.bin"), data)
        self.assertNoQueue()
        self.assertIn("Save as [plain.bin]: ", self.output)

    def test_relative_redirects_are_followed(self):
        data = random.Random(2).randbytes(300_000)
        serve("plain.bin", data)
        for path in ("/moved/abs", "/moved/rel"):
            with self.subTest(path=path):
                out = self.local("moved-" + path.rsplit("/", 1)[1])
                rc = self.run_session(_nginx.url(path), out + "\n")
                self.assertEqual(rc, 0, self.output)
                self.assertSameFile(out, data)
                self.assertNoQueue()

    def test_missing_file_is_reported_and_forgotten(self):
        rc = self.run_session(_nginx.url("/no/such.bin"), self.local("such.bin") + "\n")
        self.assertEqual(rc, 8, self.output)  # the server answered with an error
        self.assertIn(NOT_FOUND, self.output)
        self.assertIn(_nginx.url("/no/such.bin"), self.output)
        # Said once, by its message.
        self.assertEqual(self.output.count(NOT_FOUND), 1, self.output)
        self.assertNoQueue()

    def test_exit_statuses_say_why(self):
        serve("why.bin", random.Random(12).randbytes(300_000))
        url = _nginx.url("/why.bin")
        # (arguments, exit status, text said, entry kept); 8, 6, 5 and 9 have their own tests.
        cases = ((["-o", "/dev/full", url], 3, "Error writing to output file:\n  /dev/full: No space left on device", True),
                 (["-o", self.local("no/such/folder.bin"), url], 3, "Couldn't open output file:", False),
                 (["-o", "x.bin", "http://no-such-host.invalid/x.bin"], 4, "Host not found: no-such-host.invalid", False),
                 (["--retries", "x", url], 1, "--retries takes a number", False))
        for args, status, text, kept in cases:
            with self.subTest(args=args):
                self.assertEqual(self.run_session(args), status, self.output)
                self.assertIn(text, self.output)
                self.assertEqual(bool(self.queue()), kept, self.output)
                if kept:
                    self.assertIn("Kept in the queue as #", self.output)
                for name in list(self.queue()):
                    self.store.delete("FileQueue", name)

    def test_error_statuses_after_the_plain_retry(self):
        # A 4xx is first taken for a refused range and retried as plain HTTP/1.0; a 5xx says
        # nothing about ranges and is not.
        # (path, answer, exit status, entry kept, text shown, ranges asked)
        plain = ["bytes=0-", "-"]
        cases = (("/status/403", "", 8, False, "The server returned an error response:\n  403 = Forbidden", plain),
                 ("/status/500", "", 8, True, "Would you like to try resuming this request later?", ["bytes=0-"]),
                 ("/status/500", "n\n", 8, False, "Would you like to try resuming this request later?", ["bytes=0-"]))
        for n, (path, answer, status, kept, text, ranges) in enumerate(cases):
            with self.subTest(path=path, answer=answer):
                self.log_mark = len(_nginx.log_lines())
                rc = self.run_session(_nginx.url(path), self.local("status-%d" % n) + "\n" + answer)
                self.assertEqual(rc, status, self.output)
                self.assertIn(text, self.output)
                self.assertEqual([field(r, "range") for r in self.new_requests()], ranges)
                entry = self.queue()
                if kept:
                    self.assertNotIn("StupidServer00", entry)
                    self.assertEqual(entry.get("Get00"), _nginx.url(path), entry)
                    for name in list(entry):
                        self.store.delete("FileQueue", name)
                else:
                    self.assertEqual(entry, {})
                    # Word of a failure stays, holding its number, until removed; not when the
                    # user said not to resume it.
                    failed = self.store.section("Failed")
                    self.assertEqual(failed.get("Get00"), _nginx.url(path) if not answer else None, failed)
                    for name in list(failed):
                        self.store.delete("Failed", name)

    def test_a_busy_server_pauses_with_the_entry_kept(self):
        # 503 is passing trouble, not a refused range: no plain retry, the entry stays; the
        # status says the server's error all the same.
        rc = self.run_session(_nginx.url("/status/503"), self.local("busy") + "\n")
        self.assertEqual(rc, 8, self.output)
        self.assertIn("Server error: 503", self.output)
        entry = self.queue()
        self.assertEqual(entry.get("Get00"), _nginx.url("/status/503"), entry)
        self.assertNotIn("StupidServer00", entry)
        for name in list(entry):
            self.store.delete("FileQueue", name)

    def test_downloads_through_http_proxy(self):
        data = random.Random(3).randbytes(700_000)
        serve("plain.bin", data)
        serve("secret.bin", data)
        self.store.set("Config", "Proxy", "127.0.0.1:%d" % _proxy.port)
        # (path, answers after the local path, what nginx serves last)
        cases = (("/plain.bin", "", "GET /plain.bin 206"),
                 ("/moved/rel", "", "GET /plain.bin 206"),
                 ("/private/secret.bin", "user\nsecret\n", "GET /private/secret.bin 206"))
        for n, (path, answers, served) in enumerate(cases):
            with self.subTest(path=path):
                self.log_mark = len(_nginx.log_lines())
                with open(_proxy.log_file) as f:
                    proxy_mark = len(f.read())
                out = self.local("proxied-%d.bin" % n)
                rc = self.run_session(_nginx.url(path), out + "\n" + answers)
                self.assertEqual(rc, 0, self.output)
                self.assertSameFile(out, data)
                self.assertNoQueue()
                self.assertIn("(via 127.0.0.1:%d from the configuration)" % _proxy.port, self.output)
                # Every request went through the proxy, which asked nginx for the path.
                with open(_proxy.log_file) as f:
                    self.assertIn(path, f.read()[proxy_mark:])
                self.assertTrue(self.new_requests()[-1].startswith(served), self.new_requests())


class Resume(Session):
    def test_queue_entry_resumes_with_a_range(self):
        data = random.Random(4).randbytes(1_000_000)
        served = serve("resume.bin", data)
        start = 600_500
        resume_at = step_back(start)
        # The bytes inside the rollback are wrong on disk: they must be fetched again.
        partial = bytearray(data[:start])
        partial[resume_at:] = b"\xff" * (start - resume_at)
        out = self.local("resume.bin")
        with open(out, "wb") as f:
            f.write(partial)
        self.write_entry("05", _nginx.url("/resume.bin"), out, start, LastMod=http_date(served))
        rc = self.run_session("#05")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertNoQueue()
        # The bytes fetched again differ from those on disk: an earlier range, compared too,
        # shows the tail damaged, not the file changed, and the rest is fetched from there.
        asked = [r.split(" port=")[0].split(" ") for r in self.new_requests()]
        self.assertEqual([(a[1], a[2], a[4]) for a in asked],
                         [("/resume.bin", "206", "range=bytes=%d-" % at) for at in (resume_at, resume_at // 2, resume_at)])
        self.assertEqual(asked[-1][3], str(len(data) - resume_at))

    def test_resume_past_four_gigabytes(self):
        # Sparse files on both sides: only the last megabyte is data.
        tail = random.Random(15).randbytes(1 << 20)
        size = (5 << 30) + len(tail)
        served = os.path.join(_nginx.root, "huge.bin")
        out = self.local("huge.bin")
        try:
            with open(served, "wb") as f:
                f.truncate(size - len(tail))
                f.seek(size - len(tail))
                f.write(tail)
            start = size - len(tail) + 5000
            with open(out, "wb") as f:
                f.truncate(size - len(tail))
                f.seek(size - len(tail))
                f.write(tail[:5000])
            self.write_entry("09", _nginx.url("/huge.bin"), out, start)
            rc = self.run_session("#09")
            self.assertEqual(rc, 0, self.output)
            self.assertEqual(os.path.getsize(out), size)
            with open(out, "rb") as f:
                f.seek(size - len(tail))
                self.assertTrue(f.read() == tail, "the tail differs")
            resume_at = step_back(start)
            self.assertEqual([r.split(" port=")[0] for r in self.new_requests()],
                             ["GET /huge.bin 206 %d range=bytes=%d-" % (size - resume_at, resume_at)])
            self.assertNoQueue()
        finally:
            for path in (served, out):
                if os.path.exists(path):
                    os.remove(path)

    def test_server_ignoring_the_range_sends_the_whole_file_again(self):
        data = random.Random(14).randbytes(500_000)
        serve("whole.bin", data)
        out = self.local("whole.bin")
        with open(out, "wb") as f:
            f.write(b"\0" * 300_000)
        self.write_entry("07", _nginx.url("/noranges/whole.bin"), out, 300_000)
        rc = self.run_session("#07")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertIn("(This server does not support resuming.)", self.output)
        self.assertNoQueue()
        self.assertEqual([r.split()[2] for r in self.new_requests()], ["200"])

    def interrupted_download(self, name, data):
        """A rate-limited download killed once its entry holds progress and LastMod;
        returns the slot and the local path."""
        served = serve(name, data, mtime=time.time() - 3600)
        out = self.local(name)
        url = _nginx.url("/slow/" + name)
        proc = start_tarnwick(EXE, url, self.home, out + "\n")
        try:
            slot = self.slot_of(url)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                entry = self.queue()
                if entry.get("Start" + slot, 0) > 100_000 and "LastMod" + slot in entry:
                    break
                time.sleep(0.05)
            self.assertIsNone(proc.poll(), "the rate-limited download ended too early")
            self.assertEqual(entry.get("LastMod" + slot), http_date(served))
        finally:
            kill_and_reap(proc)
        self.assertLess(os.path.getsize(out), len(data))
        # Resume at full speed.
        self.store.set("FileQueue", "Get" + slot, _nginx.url("/" + name))
        return slot, out

    def test_last_modified_is_kept_and_a_changed_file_restarts(self):
        old = random.Random(5).randbytes(1_200_000)
        slot, out = self.interrupted_download("changing.bin", old)
        new = random.Random(6).randbytes(len(old))
        serve("changing.bin", new, mtime=time.time() - 60)
        self.log_mark = len(_nginx.log_lines())
        rc = self.run_session("#" + slot)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, new)
        self.assertNoQueue()
        # The resume is conditional on the version on disk: the new one comes whole at once.
        requests = [r for r in self.new_requests() if "/changing.bin" in r]
        self.assertEqual(len(requests), 1, requests)
        self.assertNotIn("range=bytes=0-", requests[0])
        self.assertIn(" 200 ", requests[0])

    def test_file_now_shorter_than_the_partial_one_ends_whole(self):
        slot, out = self.interrupted_download("shrinking.bin", random.Random(9).randbytes(1_200_000))
        # The range lies past the new end (416): the file is fetched again from its start,
        # and the old bytes past the new end are not kept.
        new = random.Random(10).randbytes(60_000)
        serve("shrinking.bin", new, mtime=time.time() - 60)
        rc = self.run_session("#" + slot)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, new)
        self.assertNoQueue()

    def test_killed_large_download_resumes_to_identical_bytes(self):
        size = 200 * 1024 * 1024
        served = os.path.join(_nginx.root, "large.bin")
        with open(served, "wb") as f:
            for _ in range(size // (8 << 20)):
                f.write(os.urandom(8 << 20))
        want = file_digest(served)
        seed = int(os.environ.get("TARNWICK_E2E_SEED", time.time_ns() % 100000))
        rng = random.Random(seed)
        # Paced so that the kills land while the session runs and has stored its progress.
        url = _nginx.url("/paced/large.bin")
        out = self.local("large.bin")
        try:
            arg, answers, slot, kills, finished = url, out + "\n", None, 0, False
            for _ in range(4):
                have = os.path.getsize(out) if os.path.exists(out) else 0
                target = have + int(rng.uniform(0.1, 0.3) * size)
                proc = start_tarnwick(EXE, arg, self.home, answers)
                wait_for_size(proc, out, target, time.monotonic() + 60)
                kill_and_reap(proc)
                # The session may have ended by itself just before the kill.
                if proc.returncode != -signal.SIGKILL:
                    self.assertEqual(proc.returncode, 0, "seed %d" % seed)
                    finished = True
                    break
                kills += 1
                slot = slot or self.slot_of(url)
                entry = self.queue()
                self.assertEqual(entry.get("Local" + slot), out, "seed %d" % seed)
                # What the entry claims is on disk really is.
                self.assertLessEqual(entry.get("Start" + slot, 0), os.path.getsize(out), "seed %d" % seed)
                arg, answers = "#" + slot, ""
            if not finished:
                rc = self.run_session(arg, answers, timeout=120)
                self.assertEqual(rc, 0, "seed %d: %s" % (seed, self.output))
            self.assertGreater(kills, 0, "the download was never interrupted")
            ranges = [field(r, "range") for r in self.new_requests() if "/large.bin" in r]
            self.assertTrue(any(r != "bytes=0-" for r in ranges[1:]), "no resume used a range: %s" % ranges)
            self.assertEqual(os.path.getsize(out), size, "seed %d" % seed)
            self.assertEqual(file_digest(out), want, "seed %d" % seed)
            self.assertNoQueue()
        finally:
            for path in (out, served):
                if os.path.exists(path):
                    os.remove(path)


class Pieces(Session):
    def test_killed_download_in_pieces_never_fetches_a_finished_piece_again(self):
        """kill -9 at 50 random moments of a 4-connection download: no resume asks for a
        byte the entry held finished at the kill before it, and the file ends whole."""
        seed = int(os.environ.get("TARNWICK_E2E_SEED", time.time_ns() % 100000))
        rng = random.Random(seed)
        data = rng.randbytes(16 << 20)
        serve("pieces.bin", data)
        # nginx sends each request a second's worth at once: a trickle, so that 50 runs
        # leave most of the file to fetch.
        url, out = _nginx.url("/trickle/pieces.bin"), self.local("pieces.bin")
        arg, answers, slot = ["-n", "4", url], out + "\n", None
        # Each run: when it began and ended, and what was finished before it (stepped back
        # as a resume steps back).
        runs, done, listed = [], [], 0
        for _ in range(50):
            began = time.time()
            proc = start_tarnwick(EXE, arg, self.home, answers)
            moment = time.monotonic() + rng.uniform(0.02, 0.6)
            if slot is None:
                # The first run is killed once the entry names its file.
                slot = self.slot_of(url)
                while proc.poll() is None and not self.queue().get("Local" + slot):
                    time.sleep(0.01)
            time.sleep(max(0.0, moment - time.monotonic()))
            kill_and_reap(proc)
            self.assertEqual(proc.returncode, -signal.SIGKILL, "seed %d: run %d ended by itself" % (seed, len(runs)))
            runs.append((began, time.time(), done))
            entry = self.queue()
            pieces = entry.get("Pieces" + slot, "")
            listed += bool(pieces)
            held = [(0, entry.get("Start" + slot, 0))] + [tuple(map(int, r.split("-"))) for r in pieces.split(",") if r]
            # What the entry holds finished is on disk already.
            for a, b in (r for r in held if r[1] > r[0]):
                with open(out, "rb") as f:
                    f.seek(a)
                    self.assertTrue(f.read(b - a) == data[a:b], "seed %d: %d-%d not on disk at a kill" % (seed, a, b))
            done = [(a, step_back(b)) for a, b in held if step_back(b) > a]
            arg, answers = "#" + slot, ""
        self.assertGreater(listed, 5, "seed %d: finished pieces were hardly ever kept" % seed)
        # The rest faster: the same file at another path.
        self.store.set("FileQueue", "Get" + slot, _nginx.url("/metered/pieces.bin"))
        began = time.time()
        self.assertEqual(self.run_session(arg), 0, "seed %d: %s" % (seed, self.output))
        runs.append((began, time.time(), done))
        self.assertSameFile(out, data)
        self.assertRegex(self.output, r"\(Average [^)]*\)  [1-4] connections?\n")
        sent = 0
        for line in self.new_requests():
            # The run that asked: the last one begun before the request came.
            came = float(field(line, "msec")) - float(field(line, "took"))
            run = [r for r in runs if r[0] <= came + 0.001][-1]
            self.assertLessEqual(came, run[1], line)
            first, last = re.match(r"bytes=(\d+)-(\d*)", field(line, "range")).groups()
            # A closed range is what was asked; an open one (the first connection's) is
            # cut by the client where a finished piece begins.
            asked = (int(first), int(last) + 1 if last else int(first) + 1)
            for a, b in run[2]:
                self.assertFalse(asked[0] < b and a < asked[1], "seed %d: %s asked again: %s" % (seed, (a, b), line))
            if run is runs[-1]:
                # Beyond what the last run lacked, nginx may have sent a second's worth
                # (1 MiB) on each request that the client cut short.
                n = int(line.split()[3])
                sent += n - (0 if last and n == asked[1] - asked[0] else 1 << 20)
        missing = len(data) - sum(b - a for a, b in done)
        self.assertLessEqual(sent, missing, "seed %d: the last resume fetched finished pieces again" % seed)
        self.assertNoQueue()

    def test_speed_limit_counts_the_bytes_read_with_the_header(self):
        data = random.Random(21).randbytes(96 << 10)
        serve("capped.bin", data)
        out, began = self.local("capped.bin"), time.monotonic()
        self.assertEqual(self.run_session(["--limit-rate", "32k", "-o", out, _nginx.url("/capped.bin")]), 0, self.output)
        # Three seconds at the rate, less the bucket's tenth of a second and a header block.
        self.assertGreater(time.monotonic() - began, 2.8)
        self.assertSameFile(out, data)

    def test_total_speed_limit_holds_across_processes(self):
        # One download under the setting (and a loose limit of its own, which must still
        # draw from the total), another in a second process under the option: both draw
        # from the one bucket (this test's own runtime folder).
        self.store.set("Config", "TotalMaxSpeed", 200 << 10)
        env = {"XDG_RUNTIME_DIR": self.local("run")}
        os.mkdir(env["XDG_RUNTIME_DIR"], 0o700)
        files = [("total-%d.bin" % i, random.Random(70 + i).randbytes(300 << 10)) for i in range(2)]
        for name, data in files:
            serve(name, data)
        began = time.monotonic()
        procs = [start_tarnwick(EXE, extra + ["-o", self.local(name), _nginx.url("/" + name)], self.home, env=env)
                 for extra, (name, data) in zip((["--limit-rate", "10M"], ["--total-limit-rate", "200k"]), files)]
        for proc in procs:
            self.assertEqual(proc.wait(timeout=60), 0, read_text(self.local("session.out")))
        # 600 KiB at 200 KiB a second: three seconds, less a full bucket and the header
        # blocks; only a lower bound, so that a slow machine passes.
        self.assertGreater(time.monotonic() - began, 2.7)
        for name, data in files:
            self.assertSameFile(self.local(name), data)


class Launcher(Session):
    """/RESUME takes up every queued entry (in the terminal as sessions of its own process);
    their lines carry their slots."""

    def test_resume_starts_every_entry_with_slot_tagged_lines(self):
        for serial in (0, 1):
            with self.subTest(resume_serial=serial):
                self.store.set("Config", "ResumeSerial", serial)
                files = {}
                for slot, seed in (("03", 31), ("07", 37)):
                    data = random.Random(seed + serial).randbytes(400_000)
                    name = "launch-%d-%s.bin" % (serial, slot)
                    serve(name, data)
                    files[slot] = (self.local(name), data)
                    self.write_entry(slot, _nginx.url("/" + name), self.local(name), 0)
                # The copies are detached but keep the shared standard error open: this
                # returns once the last of them has ended.
                rc = self.run_session("/RESUME")
                self.assertEqual(rc, 0, self.output)
                for slot, (path, data) in files.items():
                    self.assertSameFile(path, data)
                    self.assertIn("[%s] " % slot, self.output)
                self.assertNoQueue()


    def test_resume_stays_until_its_copies_end_and_passes_signals_on(self):
        self.store.set("Config", "ResumeSerial", 0)
        fast = random.Random(41).randbytes(300_000)
        serve("fast.bin", fast)
        serve("paced.bin", random.Random(42).randbytes(2_000_000))
        self.write_entry("02", _nginx.url("/fast.bin"), self.local("fast.bin"), 0)
        self.write_entry("04", _nginx.url("/slow/paced.bin"), self.local("paced.bin"), 0)
        proc = start_tarnwick(EXE, "/RESUME", self.home)
        try:
            deadline = time.monotonic() + 10
            while ("Get02" in self.queue() or self.queue().get("Start04", 0) == 0) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertIsNone(proc.poll(), "/RESUME ended while a copy was running")
            proc.send_signal(signal.SIGINT)
            rc = proc.wait(timeout=20)
        finally:
            kill_and_reap(proc)
        with open(os.path.join(self.home, "session.out")) as f:
            self.output = f.read()
        # The copy stopped keeping its entry, and had ended when /RESUME did.
        self.assertEqual(rc, 2, self.output)
        self.assertSameFile(self.local("fast.bin"), fast)
        self.assertIn("[02] Done: " + self.local("fast.bin") + "\n", self.output)
        self.assertIn("[04] Kept in the queue as #04: %s '#04'\n" % EXE, self.output)
        entry = self.queue()
        self.assertEqual(entry.get("Start04"), os.path.getsize(self.local("paced.bin")))
        self.assertNotIn("04", self.store.section("Running"))
        for name in list(entry):
            self.store.delete("FileQueue", name)
        # A copy that fails makes the whole job fail, as it failed.
        self.write_entry("06", _nginx.url("/no/such.bin"), self.local("such.bin"), 0)
        self.assertEqual(self.run_session("/RESUME"), 8, self.output)
        self.assertIn("[06] tarnwick: " + NOT_FOUND, self.output)
        # Every line of a copy's message says whose it is, not only the first.
        self.assertIn("\n[06]   " + _nginx.url("/no/such.bin") + "\n[06] Aborting.\n", self.output)

    def test_entries_stay_resumable_when_resume_is_killed(self):
        # One connection: the file's size is then at least the entry's Start (pieces reserve it whole).
        self.store.set("Config", "Connections", 1)
        serve("orphan.bin", random.Random(44).randbytes(4_000_000))
        self.write_entry("05", _nginx.url("/slow/orphan.bin"), self.local("orphan.bin"), 0)
        proc = start_tarnwick(EXE, "/RESUME", self.home)
        try:
            deadline = time.monotonic() + 10
            while self.queue().get("Start05", 0) == 0 and time.monotonic() < deadline:
                time.sleep(0.02)
            # It runs in /RESUME's own process: no copy is left to run on after a kill -9.
            self.assertEqual(int(self.store.section("Running")["05"].split(":")[0]), proc.pid)
        finally:
            kill_and_reap(proc)
        entry = self.queue()
        self.assertGreater(entry.get("Start05", 0), 0)
        self.assertLessEqual(entry["Start05"], os.path.getsize(self.local("orphan.bin")))
        self.assertLess(entry["Start05"], 4_000_000)
        # The next /RESUME takes it up again (its holder's lease is dead) and finishes it.
        self.assertEqual(self.run_session("/RESUME", timeout=120), 0, self.output)
        self.assertNoQueue()


class BrokenConnection(Session):
    def test_server_gone_mid_body_pauses_then_resumes(self):
        data = random.Random(11).randbytes(2_000_000)
        serve("cut.bin", data)
        # A server of its own, to be killed: its connection ends with a clean close
        # before the announced length.
        doomed = Nginx(tempfile.mkdtemp(prefix="doomed-", dir=_work), _nginx.root,
                       "    limit_rate 256k;").start()
        out = self.local("cut.bin")
        url = doomed.url("/cut.bin")
        proc = None
        try:
            proc = start_tarnwick(EXE, url, self.home, out + "\n")
            slot = self.slot_of(url)
            deadline = time.monotonic() + 10
            while self.queue().get("Start" + slot, 0) < 100_000 and time.monotonic() < deadline:
                time.sleep(0.05)
            doomed.proc.kill()
            # Standard input is no terminal: the paused session ends by itself.
            rc = proc.wait(timeout=20)
        finally:
            doomed.stop()
            if proc:
                kill_and_reap(proc)
        with open(os.path.join(self.home, "session.out"), "rb") as f:
            self.output = f.read().decode(errors="replace")
        self.assertEqual(rc, 4, self.output)  # the network's failure, its entry kept
        self.assertEqual(self.last_lines(2), ["The connection broke.", "Kept in the queue as #%s: %s '#%s'" % (slot, EXE, slot)])
        entry = self.queue()
        self.assertEqual(entry.get("Local" + slot), out)
        self.assertGreater(entry.get("Start" + slot, 0), 0)
        self.assertLessEqual(entry.get("Start" + slot), os.path.getsize(out))
        self.assertLess(os.path.getsize(out), len(data))

        self.store.set("FileQueue", "Get" + slot, _nginx.url("/cut.bin"))
        rc = self.run_session("#" + slot)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertNoQueue()
        self.assertEqual([r.split()[2] for r in self.new_requests()], ["206"])


@contextlib.contextmanager
def unwritable(*paths):
    """Takes write permission from files and folders; root writes despite the mode bits, so
    for root they are made immutable instead."""
    root = os.geteuid() == 0
    for p in paths:
        if root:
            if subprocess.run(["chattr", "+i", p], capture_output=True).returncode != 0:
                raise unittest.SkipTest("cannot make files immutable here")
        else:
            os.chmod(p, 0o555)
    try:
        yield
    finally:
        for p in paths:
            if root:
                subprocess.run(["chattr", "-i", p], capture_output=True)
            else:
                os.chmod(p, 0o755)


class DamagedStore(Session):
    """Without a usable store there is no queue: a damaged one is replaced, and said so once."""

    def test_damaged_store_is_replaced_once_and_the_queue_works_again(self):
        for extra in ("-wal", "-shm"):
            if os.path.exists(self.store.path + extra):
                os.remove(self.store.path + extra)
        with open(self.store.path, "wb") as f:
            f.write(b"this is no database at all " * 40)
        rc = self.run_session(_nginx.url("/status/503"), self.local("busy") + "\n")
        self.assertEqual(rc, 8, self.output)
        self.assertIn("The settings store could not be opened or was damaged; it was moved aside to:\n  "
                      + self.store.path + ".damaged-", self.output)
        aside = [n for n in os.listdir(os.path.dirname(self.store.path)) if ".damaged-" in n]
        self.assertEqual(len(aside), 1, aside)
        # The broken download is queued in the new store.
        self.assertEqual(self.queue().get("Get00"), _nginx.url("/status/503"), self.output)
        self.store.delete("FileQueue", "Get00")

        data = random.Random(21).randbytes(100_000)
        serve("after-damage.bin", data)
        rc = self.run_session(_nginx.url("/after-damage.bin"), self.local("after-damage.bin") + "\n")
        self.assertEqual(rc, 0, self.output)
        self.assertNotIn("settings store", self.output)

    def test_read_only_store_is_named_and_downloads_still_run(self):
        data = random.Random(22).randbytes(200_000)
        serve("read-only.bin", data)
        folder = os.path.dirname(self.store.path)
        with unwritable(self.store.path, folder):
            rc = self.run_session(_nginx.url("/read-only.bin"), self.local("read-only.bin") + "\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(self.local("read-only.bin"), data)
        self.assertIn("The settings store cannot be written:\n  " + self.store.path + "\n", self.output)


class Signals(Session):
    def test_signals_end_the_session_keeping_or_dropping_its_entry(self):
        serve("signalled.bin", random.Random(13).randbytes(2_000_000))
        url = _nginx.url("/slow/signalled.bin")
        # (signal, answer to "resumed later?", exit status, entry kept, why it ended)
        cases = ((signal.SIGTERM, "", 2, True, "Stopped by a signal."), (signal.SIGHUP, "", 2, True, "Stopped by a signal."),
                 (signal.SIGINT, "", 2, True, "Cancelled."), (signal.SIGINT, "n\n", 1, False, "Cancelled."))
        for n, (sig, answer, status, kept, why) in enumerate(cases):
            with self.subTest(signal=sig.name, answer=answer):
                out = self.local("signalled-%d.bin" % n)
                proc = start_tarnwick(EXE, url, self.home, out + "\n" + answer)
                try:
                    slot = self.slot_of(url)
                    deadline = time.monotonic() + 10
                    while self.queue().get("Start" + slot, 0) == 0 and time.monotonic() < deadline:
                        time.sleep(0.02)
                    proc.send_signal(sig)
                    rc = proc.wait(timeout=20)
                finally:
                    kill_and_reap(proc)
                self.assertEqual(rc, status)
                with open(os.path.join(self.home, "session.out")) as f:
                    ending = f.read().rstrip("\n").split("\n")[-2:]
                kept_line = "Kept in the queue as #%s: %s '#%s'" % (slot, EXE, slot)
                self.assertEqual(ending[-1], kept_line if kept else why)
                if kept:
                    self.assertEqual(ending[0], why)
                entry = self.queue()
                if kept:
                    self.assertEqual(entry.get("Local" + slot), out)
                    # The last position is stored on the way out, not left to a timer.
                    self.assertEqual(entry.get("Start" + slot), os.path.getsize(out))
                else:
                    self.assertNotIn("Get" + slot, entry)
                    self.assertFalse(os.path.exists(out))
                for name in list(entry):
                    if name.endswith(slot):
                        self.store.delete("FileQueue", name)


class Authorization(Session):
    def test_credentials_prompt_then_success(self):
        data = random.Random(7).randbytes(400_000)
        serve("secret.bin", data)
        out = self.local("secret.bin")
        rc = self.run_session(_nginx.url("/private/secret.bin"), out + "\nuser\nsecret\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertIn('Enter username and password for "Tarnwick Test" at 127.0.0.1', self.output)
        self.assertEqual(self.output.count("Username: "), 1, self.output)
        self.assertEqual(self.output.count("Password: "), 1, self.output)
        self.assertNoQueue()
        # A 401 is not a server that cannot resume: the retry is still HTTP/1.1 with a range.
        self.assertNotIn("does not support resuming", self.output)
        statuses = [r.split()[2] for r in self.new_requests()]
        self.assertEqual(statuses, ["401", "206"], self.new_requests())

    def test_wrong_credentials_prompt_again(self):
        data = random.Random(8).randbytes(200_000)
        serve("secret2.bin", data)
        out = self.local("secret2.bin")
        rc = self.run_session(_nginx.url("/private/secret2.bin"),
                              out + "\nuser\nwrong\nuser\nsecret\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertEqual(self.output.count("Username: "), 2, self.output)
        self.assertNoQueue()

    def test_credentials_follow_a_redirect_only_on_the_same_server(self):
        data = random.Random(12).randbytes(300_000)
        serve("secret.bin", data)
        serve("plain.bin", data)
        for where, port, auth in (("here", _nginx.port, "Basic"), ("away", _other_port, "-")):
            with self.subTest(where=where):
                self.log_mark = len(_nginx.log_lines())
                out = self.local(where + ".bin")
                rc = self.run_session(_nginx.url("/private/to/" + where), out + "\nuser\nsecret\n")
                self.assertEqual(rc, 0, self.output)
                self.assertSameFile(out, data)
                self.assertEqual(self.output.count("Username: "), 1, self.output)
                requests = self.new_requests()
                self.assertEqual([r.split()[2] for r in requests], ["401", "302", "206"], requests)
                self.assertEqual(field(requests[1], "auth"), "Basic")
                self.assertEqual(field(requests[2], "port"), str(port))
                self.assertEqual(field(requests[2], "auth"), auth)

    def test_end_of_input_at_the_prompt_cancels(self):
        serve("secret3.bin", b"x" * 1000)
        out = self.local("secret3.bin")
        rc = self.run_session(_nginx.url("/private/secret3.bin"), out + "\n")
        # Cancelled prompt, then "resume later?" answered No by the end of input: a login
        # nobody gives will not come later. Nothing is kept, not even an empty file.
        self.assertEqual(rc, 6, self.output)
        self.assertIn("Would you like to have this request resumed later?\nNo (end of input)\n", self.output)
        self.assertTrue(self.output.endswith('No login given for "Tarnwick Test" at 127.0.0.1.\n'), self.output)
        self.assertNoQueue()
        self.assertFalse(os.path.exists(out))
        # Nothing is asked once the input has ended: no prompt reaches the log.
        for prompt in ("Username: ", "Password: ", "[y/n"):
            self.assertNotIn(prompt, self.output)


class HostileText(Session):
    def test_a_servers_words_never_drive_the_terminal(self):
        # A reason phrase that would retitle the window, ring, clear the screen and turn
        # the line right to left; every connection gets it.
        reply = (b"HTTP/1.1 403 \x1b]0;owned\x07\x1b[2J\xc2\x9b31m\xe2\x80\xaeGone\r\n"
                 b"Content-Length: 0\r\n\r\n")
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)

        def serve_all():
            while True:
                try:
                    conn, _ = server.accept()
                except OSError:
                    return
                with conn:
                    conn.recv(65536)
                    conn.sendall(reply)

        threading.Thread(target=serve_all, daemon=True).start()
        url = "http://127.0.0.1:%d/x.bin" % server.getsockname()[1]
        r = run_tarnwick(EXE, url, self.home, self.local("x.bin") + "\n", timeout=30)
        self.assertEqual(r.returncode, 8, r.stderr)
        self.assertIn(b"403 = ", r.stderr)
        self.assertIn(b"Gone", r.stderr)
        for raw in (b"\x1b", b"\x07", b"\xc2\x9b", b"\xe2\x80\xae"):
            self.assertNotIn(raw, r.stderr)


class CommandLine(Session):
    """The options beside the switches, and what line output ends with."""

    def test_options_output_quiet_help_and_refusals(self):
        self.assertEqual(self.run_session("--help"), 0)
        # Spelled as invoked, https beside http.
        self.assertIn("  %s /RESUME " % EXE, self.stdout)
        self.assertIn("  %s https://... " % EXE, self.stdout)
        self.assertIn("-o, --output FILE", self.stdout)
        self.assertEqual(self.run_session("--version"), 0)
        self.assertEqual(self.stdout, "Tarnwick 1.2\n")
        url = _nginx.url("/options.bin")
        data = random.Random(43).randbytes(300_000)
        serve("options.bin", data)
        # (arguments, exit status, what standard error holds)
        refused = ((["--bogus", url], "unrecognized option '--bogus'"),
                   (["-o", "x.bin", url, url], "-o names the file of one download"),
                   (["--checksum", "sha256=12", url], "--checksum takes TYPE=HEX"),
                   (["-o", "-", "--checksum", "md5=" + "0" * 32, url], "it cannot check standard output"),
                   (["-i", self.local("none.txt")], "cannot read the URL list"),
                   (["-o", "x.bin", "#05"], "-o names the file of a new download"),
                   ([url, "-o"], "option '-o' requires a file name"),
                   (["--retries", "x", url], "--retries takes a number from 0 to 1000"),
                   (["-n", "17", url], "-n takes a number from 1 to 16"),
                   (["--connections=0", url], "--connections takes a number from 1 to 16"),
                   (["--limit-rate", "2X", url], "--limit-rate takes a rate such as 500k or 2M"),
                   (["--total-limit-rate=0", url], "--total-limit-rate takes a rate such as 500k or 2M"))
        for args, text in refused:
            with self.subTest(args=args):
                self.assertEqual(self.run_session(args), 1, self.output)
                self.assertIn(text, self.output)
                self.assertNotIn("Service unknown", self.output)
                self.assertNoQueue()
        # No question needs an answer; the relative name is taken in the current folder.
        self.assertEqual(self.run_session(["-o", "named.bin", url]), 0, self.output)
        self.assertSameFile(self.local("named.bin"), data)
        self.assertNotIn("Save as", self.output)
        self.assertEqual(self.last_lines(1), ["Done: " + self.local("named.bin")])
        # Quiet: messages and the final line only.
        self.assertEqual(self.run_session(["-q", "--output", self.local("quiet.bin"), url]), 0, self.output)
        self.assertSameFile(self.local("quiet.bin"), data)
        self.assertEqual(self.output, "Done: " + self.local("quiet.bin") + "\n")
        self.assertNoQueue()
        # Tries for this run: a server that is down is tried again after 1 s, then given up,
        # the countdown said once per wait and the entry kept; a refused connection is 4.
        down = "http://127.0.0.1:%d/options.bin" % free_port()
        self.assertEqual(self.run_session(["--retries", "2", "-o", "down.bin", down]), 4, self.output)
        self.assertEqual(self.output.count("Trying again in 1 s."), 1, self.output)
        self.assertIn("Gave up after 2 attempts without data: Cannot connect to 127.0.0.1 (Connection refused)",
                      self.last_lines(2)[0])
        self.assertEqual(self.output.count("Gave up after"), 1, self.output)
        self.assertEqual(self.queue().get("Get00"), down)

    def test_last_progress_line_shows_the_final_count(self):
        # Paced to end within a second of a progress line, which held the final one back.
        serve("counted.bin", random.Random(44).randbytes(700_000))
        self.assertEqual(self.run_session(["-o", "counted.bin", _nginx.url("/slow/counted.bin")]), 0, self.output)
        progress = [line for line in self.output.split("\n") if " of " in line and "%)" in line]
        self.assertGreater(len(progress), 1, self.output)
        self.assertTrue(progress[-1].startswith("683.6k of 683.6k (100%)"), self.output)


class Citizen(Session):
    """What wget and curl users take for granted: proxies from the environment, several URLs,
    standard output, checksums and the server's names."""

    def test_environment_proxies_no_proxy_and_the_configured_one_first(self):
        data = random.Random(51).randbytes(200_000)
        serve("env.bin", data)
        url = _nginx.url("/env.bin")
        proxy = "http://127.0.0.1:%d/" % _proxy.port
        dead = "http://127.0.0.1:%d" % free_port()
        # (environment, configured proxy, what "Connecting to" says, whether tinyproxy saw it)
        cases = (({"http_proxy": proxy}, None, "(via 127.0.0.1:%d from http_proxy)" % _proxy.port, True),
                 ({"HTTP_PROXY": proxy}, None, "from HTTP_PROXY)", True),
                 ({"http_proxy": proxy, "no_proxy": "localhost,127.0.0.0/8"}, None, "Connecting to:  127.0.0.1\n", False),
                 ({"http_proxy": dead}, "127.0.0.1:%d" % _proxy.port, "from the configuration)", True))
        for n, (env, configured, said, proxied) in enumerate(cases):
            with self.subTest(env=env, configured=configured):
                if configured:
                    self.store.set("Config", "Proxy", configured)
                with open(_proxy.log_file) as f:
                    mark = len(f.read())
                out = self.local("env-%d.bin" % n)
                self.assertEqual(self.run_session(["-o", out, url], env=env), 0, self.output)
                self.assertSameFile(out, data)
                self.assertIn(said, self.output)
                with open(_proxy.log_file) as f:
                    self.assertEqual("/env.bin" in f.read()[mark:], proxied)

    def test_several_urls_and_a_list_each_its_own_download(self):
        files = {name: random.Random(60 + i).randbytes(150_000 + i) for i, name in enumerate(("m1.bin", "m2.bin", "m3.bin"))}
        for name, data in files.items():
            serve(name, data)
        serve("m1.bin.dup", b"")  # nothing else is named so
        bare = _nginx.url("/m2.bin").replace("http://", "")
        listing = self.local("urls.txt")
        with open(listing, "w") as f:
            f.write("# the third\n\n  %s  \n\0\0\0\0\n" % _nginx.url("/m3.bin"))
        self.assertEqual(self.run_session([_nginx.url("/m1.bin"), bare, "-i", listing]), 0, self.output)
        said = self.output.split("\n")
        self.assertIn("line 4 of the URL list '%s' holds only NUL bytes: skipped" % listing, said[0])
        self.assertIn("taken as http://" + bare, said[1])
        for name, data in files.items():
            self.assertSameFile(self.local(name), data)
        self.assertIn("3 downloads: 3 complete", self.output)
        self.assertNoQueue()
        # A name already there is kept; a missing file fails its download alone, and the worst
        # status wins. The copies are as quiet as asked.
        rc = self.run_session(["-q", "-i", "-"], answers="%s\n%s\n" % (_nginx.url("/m1.bin"), _nginx.url("/none.bin")))
        self.assertEqual(rc, 8, self.output)
        self.assertNotIn("Connecting to", self.output)
        self.assertSameFile(self.local("m1.bin.1"), files["m1.bin"])
        self.assertIn("1 failed", self.output)
        self.assertNoQueue()

    def test_standard_output_carries_the_body_and_nothing_else(self):
        data = random.Random(70).randbytes(900_000)
        serve("stream.bin", data)
        self.assertEqual(self.run_session(["-o", "-", _nginx.url("/stream.bin")]), 0, self.output)
        self.assertTrue(self.stdout_bytes == data, "standard output differs")
        self.assertEqual(self.output, "Done: written to standard output\n")
        self.assertNoQueue()
        self.assertEqual(self.run_session(["-o", "-", _nginx.url("/none.bin")]), 8, self.output)
        self.assertEqual(self.stdout_bytes, b"")
        self.assertNoQueue()

    def test_checksums_asked_and_given_by_the_server(self):
        data = random.Random(80).randbytes(400_000)
        serve("named.bin", data)
        good = "sha256=" + hashlib.sha256(data).hexdigest()
        self.assertEqual(self.run_session(["--checksum", good, "-o", "good.bin", _nginx.url("/named.bin")]), 0,
                         self.output)
        self.assertIn("Checksum verified: " + good, self.output)
        bad = "md5=" + "0" * 32
        self.assertEqual(self.run_session(["--checksum", bad, "-o", "bad.bin", _nginx.url("/named.bin")]), 9,
                         self.output)
        self.assertIn("expected: " + bad, self.output)
        self.assertIn("computed: md5=" + hashlib.md5(data).hexdigest(), self.output)
        self.assertSameFile(self.local("bad.bin"), data)  # kept for the user to look at
        self.assertNoQueue()
        self.assertEqual(self.run_session(["-o", "served.bin", _nginx.url("/digest/bad.bin")]), 9, self.output)
        self.assertIn("the server's: sha256=" + "0" * 64, self.output)
        self.assertNoQueue()

    def test_name_from_content_disposition(self):
        data = random.Random(90).randbytes(100_000)
        serve("named.bin", data)
        self.assertEqual(self.run_session(["-J", _nginx.url("/cd/get.php")]), 0, self.output)
        self.assertSameFile(self.local("caf\u00e9.bin"), data)
        self.assertFalse(os.path.exists(self.local("get.php")))
        self.assertNoQueue()
        # A URL that names no file asks nothing in the terminal: the server's name, cleaned.
        self.assertEqual(self.run_session(_nginx.url("/cd/?id=7")), 0, self.output)
        self.assertNotIn("Save as", self.output)
        self.assertSameFile(self.local("hidden"), data)
        self.assertFalse(os.path.exists(self.local("index.html")))


    def test_save_as_questions_and_the_download_folder(self):
        data = random.Random(91).randbytes(120_000)
        serve("free.bin", data)
        url = _nginx.url("/free.bin")
        # At the end of input a name that is taken gets the next free one, as several URLs do.
        with open(self.local("free.bin"), "wb") as f:
            f.write(b"kept")
        self.assertEqual(self.run_session(url), 0, self.output)
        self.assertNotIn("Dialog cancelled", self.output)
        self.assertSameFile(self.local("free.bin"), b"kept")
        self.assertSameFile(self.local("free.bin.1"), data)
        # A mirror list named by its path asks for its file, and the answer is taken.
        listing = self.local("sites.fml")
        with open(listing, "w") as f:
            f.write("FML,1.0,\nhere,local,fast,%s\n" % url)
        self.assertEqual(self.run_session(listing, "chosen.bin\n"), 0, self.output)
        self.assertIn("Save as [free.bin.2]: ", self.output)  # what Save As proposes is free too
        self.assertSameFile(self.local("chosen.bin"), data)
        self.assertFalse(os.path.exists(self.local("free.bin.2")))
        # The configured download folder: proposed by Save As, and where files named without
        # a question go (-J, several URLs).
        folder = self.local("downloads")
        os.makedirs(folder)
        self.store.set("Config", "DownloadDir", folder)
        self.assertEqual(self.run_session(url, "\n"), 0, self.output)
        self.assertIn("Save as [%s/free.bin]: " % folder, self.output)
        self.assertSameFile(os.path.join(folder, "free.bin"), data)
        serve("named.bin", data)
        self.assertEqual(self.run_session(["-q", "-J", _nginx.url("/cd/"), url]), 0, self.output)
        self.assertSameFile(os.path.join(folder, "hidden"), data)
        self.assertSameFile(os.path.join(folder, "free.bin.1"), data)
        self.assertFalse(os.path.exists(self.local("free.bin.2")))
        self.assertNoQueue()


class TerminalViews(Session):
    """The windows without a display: each asks on the terminal, or shows there, what it
    would in its window, and acts as its buttons would."""

    def test_configuration_form_keeps_refuses_and_saves(self):
        # In tab order: an empty line keeps the value shown, a refused one is asked again,
        # the check boxes are y/n, and the last question stands for OK.
        os.makedirs(self.local("dl"))
        rc = self.run_session("/CONFIG", "bob:pw@proxy.example:3128\n\n\nabc\n7\n\n\n200\n3\n0\n5\nno/such\ndl\nn\n\n\ny\nn\ny\ny\n")
        self.assertEqual(rc, 0, self.output)
        self.assertIn("Rollback (K on resumed connections) [4]: ", self.output)
        self.assertIn("Please enter an integer.", self.output)
        self.assertIn("Retries (tries without new data before pausing) [0]: ", self.output)
        self.assertIn("The download folder does not exist:\n  no/such\n", self.output)
        config = self.store.section("Config")
        self.assertEqual((config["Proxy"], config["Rollback"], config["ErrorBeep"], config["DoneBeep"],
                          config["ResumeSerial"], config["Retries"], config["Timeout"], config["FTPPassive"],
                          config["DownloadDir"], config["BrowserAsk"], config["TotalMaxSpeed"], config["MaxActive"]),
                         ("bob:pw@proxy.example:3128", 7, 0, 1, 1, 3, 0, 0, self.local("dl"), 1, 200 << 10, 5))
        # The end of input is Cancel: nothing is written.
        self.run_session("/CONFIG", "other.example:1\n")
        self.assertEqual(self.store.section("Config")["Proxy"], "bob:pw@proxy.example:3128")
        # "-" clears a text field, values are trimmed, a proxy that is not host[:port] is refused.
        rc = self.run_session("/CONFIG", "-\nftp.example:ftp\n  ftp.example:2121 \n-\n\n\n\n\n\n\n\n-\n\n\n\n\n\ny\n")
        self.assertEqual(rc, 0, self.output)
        # The value shown keeps its password to itself.
        self.assertIn("HTTP Proxy server [bob:***@proxy.example:3128] (- clears): ", self.output)
        self.assertNotIn("pw@", self.output)
        self.assertIn("Invalid proxy server format.\nUse format:\n   server.name:port", self.output)
        config = self.store.section("Config")
        self.assertEqual((config["Proxy"], config["ProxyFTP"], config["EMail"], config["DownloadDir"]),
                         ("", "ftp.example:2121", "", ""))

    def test_resume_dialog_lists_in_list_order_and_deletes(self):
        self.write_entry("04", "http://b.example/2", self.local("2"), 0)
        self.write_entry("09", "ftp://a.example/1", self.local("1"), 0)
        rc = self.run_session("/RESUMEDLG", "d 2\nq\n")
        self.assertEqual(rc, 0, self.output)
        self.assertIn("  1. ftp://a.example/1\n  2. http://b.example/2\n", self.output)
        self.assertIn("Get09", self.queue())
        self.assertNotIn("Get04", self.queue())

    def test_drop_window_hands_each_line_on_as_a_drop(self):
        data = random.Random(5).randbytes(100_000)
        serve("dropped.bin", data)
        # The copy shares standard error: this returns once it has ended.
        rc = self.run_session("/DROP", _nginx.url("/dropped.bin") + "\n\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(self.local("dropped.bin"), data)
        self.assertIn("[00] ", self.output)

    def test_a_background_process_leaves_the_terminal_alone(self):
        data = random.Random(61).randbytes(200_000)
        serve("background.bin", data)
        out = self.local("background.bin")
        rc, seen = self.on_terminal(["-q", "-o", out, _nginx.url("/background.bin")], (), background=True)
        self.assertEqual(rc, 0, seen)
        self.assertSameFile(out, data)
        self.assertEqual(seen, "Done: " + out + "\r\n")

    def on_terminal(self, args, steps, background=False):
        """Runs the executable on a terminal: each step waits for its text (after the last
        one's), then types its keys. Returns the exit status (99: stopped) and everything
        shown. In the background it runs as "tarnwick ... &" does: in a process group that
        is not the terminal's foreground one."""
        import pty
        import select
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(self.home)
            if background:
                kid = os.fork()
                if kid:
                    status = os.waitpid(kid, os.WUNTRACED)[1]
                    os._exit(99 if os.WIFSTOPPED(status) else os.waitstatus_to_exitcode(status))
                os.setpgid(0, 0)
            os.execve(EXE, [EXE, *args], terminal_env(self.home))
        seen, pos = b"", 0
        try:
            for text, keys in steps:
                deadline = time.monotonic() + 10
                while seen.find(text.encode(), pos) < 0 and time.monotonic() < deadline:
                    if select.select([fd], [], [], 0.05)[0]:
                        seen += os.read(fd, 65536)
                self.assertGreaterEqual(seen.find(text.encode(), pos), 0, seen.decode(errors="replace"))
                pos = seen.find(text.encode(), pos) + len(text.encode())
                os.write(fd, keys)
            deadline = time.monotonic() + 20
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                self.assertLess(time.monotonic(), deadline, seen)
                with contextlib.suppress(OSError):
                    if select.select([fd], [], [], 0.05)[0]:
                        seen += os.read(fd, 65536)
            pid = 0
            with contextlib.suppress(OSError):
                while select.select([fd], [], [], 0.2)[0]:
                    seen += os.read(fd, 65536)
            return os.waitstatus_to_exitcode(status), seen.decode(errors="replace")
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(fd)

    def test_drop_window_on_a_terminal_waits_for_each_copys_save_as(self):
        data = random.Random(63).randbytes(100_000)
        serve("asked.bin", data)
        rc, seen = self.on_terminal(["/DROP"], (("URL: ", _nginx.url("/asked.bin").encode() + b"\n"),
                                                ("Save as [asked.bin]: ", b"chosen.bin\n"),
                                                ("URL: ", b"\n")))
        self.assertEqual(rc, 0, seen)
        self.assertSameFile(self.local("chosen.bin"), data)
        self.assertFalse(os.path.exists(self.local("asked.bin")))

    def test_ctrl_c_at_a_question_answers_it_and_never_nests_one(self):
        self.store.set("Config", "Connections", 1)  # the file's size is then Start
        serve("interrupted.bin", random.Random(62).randbytes(4_000_000))
        url = _nginx.url("/slow/interrupted.bin")
        question = "Would you like to have this request resumed later?"
        # A second Ctrl-C while the cancel question is open ends the process keeping its entry.
        rc, seen = self.on_terminal([url], (("Save as [interrupted.bin]: ", b"\n"), ("q Cancel", b"\x03"),
                                             (question, b"\x03")))
        self.assertEqual(rc, 2, seen)
        self.assertEqual(seen.count(question), 1, seen)
        self.assertIn("Kept in the queue as #00", seen)
        self.assertEqual(self.queue().get("Get00"), url)
        self.assertEqual(self.queue().get("Start00", 0), os.path.getsize(self.local("interrupted.bin")))
        for name in list(self.queue()):
            self.store.delete("FileQueue", name)
        # Ctrl-C at Save As cancels it: what is typed next is no file name. (The first one's
        # file stands: the name proposed is the next free one.)
        rc, seen = self.on_terminal([url], (("Save as [interrupted.bin.1]: ", b"\x03"), ("", b"n\n")))
        self.assertEqual(rc, 1, seen)
        self.assertNotIn(question, seen)
        self.assertFalse(os.path.exists(self.local("n")))

    def test_session_panel_keeps_what_was_printed_and_fits_the_terminal(self):
        import fcntl
        import pty
        import select
        import struct
        import termios
        # Nothing listens on the port: the connect fails and the session rests, paused.
        url = "http://127.0.0.1:%d/%srest.bin" % (free_port(), "a-rather-long-folder-name/" * 3)
        pid, fd = pty.fork()
        if pid == 0:
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 60, 0, 0))
            os.chdir(self.home)
            os.execve(EXE, [EXE, url], terminal_env(self.home))
        seen = b""

        def read_for(seconds):
            nonlocal seen
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                if select.select([fd], [], [], 0.05)[0]:
                    try:
                        seen += os.read(fd, 65536)
                    except OSError:
                        return

        def expect(text, timeout=10):
            deadline = time.monotonic() + timeout
            while text.encode() not in seen and time.monotonic() < deadline:
                read_for(0.05)
            self.assertIn(text, seen.decode(errors="replace"))

        try:
            expect("Save as [rest.bin]: ")
            os.write(fd, b"\n")
            expect("p Resume   q Cancel   v View Header   a About   h Help")
            os.write(fd, b"a")
            expect("About Tarnwick\r\n  Tarnwick Version 1.2\r\n")
            os.write(fd, b"v")
            expect("---- Headers ----\r\nConnecting to:  127.0.0.1\r\n")
            read_for(1.5)  # a redraw or two
            fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 40, 0, 0))
            read_for(0.5)
            os.write(fd, b"q")
            expect("Would you like to have this request resumed later?\r\n[y/n/c] ")
            os.write(fd, b"n\n")
            _, status = os.waitpid(pid, 0)
            pid = 0
            read_for(0.3)
            self.assertEqual(os.waitstatus_to_exitcode(status), 1)
            self.assertNoQueue()
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            os.close(fd)
        lines = screen(seen.decode())
        text = "\n".join(lines)
        # Everything printed stays, the panel once below it, then the ending.
        for shown in ("tarnwick: Error connecting to:\n  127.0.0.1\n", "Tarnwick Version 1.2", "---- Headers ----",
                      "tarnwick: Would you like to have this request resumed later?"):
            self.assertIn(shown, text)
        self.assertEqual(text.count("Getting File"), 1, text)
        self.assertEqual(lines[-1], "Cancelled.", text)
        panel = lines[lines.index("Getting File"):-1]
        self.assertEqual(len(panel), 8, text)
        self.assertTrue(all(len(line) < 40 for line in panel), text)
        self.assertIn("…", panel[2])  # the local file's path, shortened in the middle
        self.assertRegex(panel[5], r"\] 0%  Failed$")  # the state in words: a refused connect failed
        self.assertRegex(text, r"\n  EMail: \S+@")  # the About's labels beside their values


def screen(output):
    """What a terminal shows of output (with its history): lines as written, the cursor
    moves, erasures and \\x1b[nA/\\x1b[nF that the program uses, no wrapping (too long a
    line stays too long)."""
    lines, row, col, i = [""], 0, 0, 0
    while i < len(output):
        m = re.match(r"\x1b\[(\d*)([A-Za-z])", output[i:])
        if m:
            n, op = int(m.group(1) or 1), m.group(2)
            if op in "AF":
                row = max(0, row - n)
                col = 0 if op == "F" else col
            elif op == "J":
                lines[row] = lines[row][:col]
                del lines[row + 1:]
            elif op == "K":
                lines[row] = ""
            i += len(m.group(0))
            continue
        c = output[i]
        i += 1
        if c == "\r":
            col = 0
        elif c == "\n":
            row += 1
            if row == len(lines):
                lines.append("")
        elif c >= " ":
            line = lines[row].ljust(col)
            lines[row] = line[:col] + c + line[col + 1:]
            col += 1
    while lines and not lines[-1]:
        lines.pop()
    return lines


if __name__ == "__main__":
    unittest.main(verbosity=2)
