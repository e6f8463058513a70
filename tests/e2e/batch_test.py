#!/usr/bin/env python3
"""A batch of many URLs in one process against a real nginx on loopback: the limit on how
many run at once, every file right, and a batch killed midway finished by /RESUME. Usage:
batch_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import json
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import Nginx, kill_and_reap, read_text, start_tarnwick, terminal_env  # noqa: E402
from session_case import EXE, SessionCase, new_work, remove_work, skip_unless_ready  # noqa: E402

_work = None
_nginx = None
_files = {}  # name: contents
_log = None  # uri, connections active when it ended


def setUpModule():
    global _work, _nginx, _log
    skip_unless_ready(Nginx.binary)
    _work = new_work("tarnwick-e2e-batch-")
    www = os.path.join(_work, "www")
    os.makedirs(www)
    # Small files, and a few slow ones that hold their connection for a while, so that a third
    # running at once would be seen.
    for i in range(300):
        _files[f"s{i:03}.bin"] = os.urandom(1000 + 37 * i)
    for i in range(40):
        _files[f"k{i:02}.bin"] = os.urandom(12 * 1024 + i)
    for i in range(6):  # some seconds each, slow
        _files[f"p{i}.bin"] = os.urandom(40 * 1024 + i)
    # Two files of one name in two folders.
    for folder in ("a", "b"):
        _files[f"{folder}/same.bin"] = os.urandom(3000)
        os.makedirs(os.path.join(www, folder))
    for name, data in _files.items():
        with open(os.path.join(www, name), "wb") as f:
            f.write(data)
    _log = os.path.join(_work, "batch.log")
    _nginx = Nginx(_work, www,
                   extra=f"access_log {_log} batch;\n    location /slow/ {{ alias {www}/; limit_rate 8k; }}",
                   http_extra="  log_format batch '$request_uri $status $connections_active $http_range';").start()


def tearDownModule():
    if _nginx:
        _nginx.stop()
    remove_work(_work)


def log_rows():
    with open(_log) as f:
        return [line.split(" ") for line in f.read().splitlines()]


class BatchTest(SessionCase):
    config = SessionCase.config + (("Retries", 3),)

    def write_list(self, uris):
        path = self.local("list.txt")
        with open(path, "w") as f:
            f.write("# the batch\n\n" + "".join(_nginx.url(u) + "\n" for u in uris))
        return path

    def tarnwick(self, *args):
        r = subprocess.run([EXE, *args], capture_output=True, text=True, env=terminal_env(self.home), timeout=30)
        return r.returncode, r.stdout, r.stderr

    def listing(self):
        return {row["slot"]: row for row in json.loads(self.tarnwick("--list", "--json")[1])}

    def wait_listing(self, done, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            rows = self.listing()
            if done(rows):
                return rows
            time.sleep(0.05)
        self.fail(rows)

    def assertFilesRight(self, names):
        for name in names:
            self.assertSameFile(self.local(name), _files[name])

    def test_many_files_two_at_a_time(self):
        uris = [f"/s{i:03}.bin" for i in range(300)]
        # Every 30th a slow one: two of them at once, and the small ones beside them.
        for i in range(0, 300, 30):
            uris.insert(i, f"/slow/k{i // 30:02}.bin")
        start = len(log_rows())
        status = self.run_session(["-q", "-j", "2", "-i", self.write_list(uris)], timeout=120)
        self.assertEqual(status, 0, self.output[-2000:])
        self.assertEqual(self.last_lines(1), [f"{len(uris)} downloads: {len(uris)} complete, 0 kept in the queue, 0 failed"])
        self.assertFilesRight([u.rsplit("/", 1)[1] for u in uris])
        rows = log_rows()[start:]
        self.assertEqual(sorted(r[0] for r in rows), sorted(uris))  # each fetched once
        self.assertLessEqual(max(int(r[2]) for r in rows), 2, "more than 2 at the server at once")
        self.assertNoQueue()
        # Nothing of the batch is left: no lease, no batch, no place in line.
        self.assertEqual((self.store.section("Running"), self.store.section("Batches")), ({}, {}))

    def test_killed_batch_finished_by_resume(self):
        uris = [f"/slow/k{i:02}.bin" for i in range(40)]
        names = [u.rsplit("/", 1)[1] for u in uris]
        start = len(log_rows())
        proc = start_tarnwick(EXE, ["-j", "2", "-i", self.write_list(uris)], self.home)
        self.addCleanup(kill_and_reap, proc)
        # Midway (each takes half a second): some complete, two running with bytes on disk, the rest waiting.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and sum(1 for r in log_rows()[start:] if r[1] in ("200", "206")) < 8:
            time.sleep(0.01)
        time.sleep(0.1)
        kill_and_reap(proc)
        left = {v for k, v in self.queue().items() if k.startswith("Get")}
        self.assertTrue(8 <= 40 - len(left) < 40, len(left))
        killed_at = len(log_rows())

        status = self.run_session(["-j", "2", "/RESUME"], timeout=120)
        self.assertEqual(status, 0, self.output[-2000:])
        self.assertRegex(self.last_lines(1)[0], rf"^{len(left)} downloads: {len(left)} complete, 0 kept")
        self.assertTrue(re.search(r"^\[\d\d\] ", self.output, re.M), self.output[-2000:])
        self.assertFilesRight(names)
        self.assertNoQueue()
        # Nothing complete was fetched again: every request after the kill is for one left in the queue.
        again = [r[0] for r in log_rows()[killed_at:]]
        self.assertTrue(again and all(_nginx.url(u) in left for u in again), again)
        self.assertLessEqual(max(int(r[2]) for r in log_rows()[killed_at:]), 2)

    def test_pause_all_reaches_every_download_of_a_batch(self):
        uris = [f"/slow/p{i}.bin" for i in range(6)]
        proc = start_tarnwick(EXE, ["-q", "-j", "2", "-i", self.write_list(uris)], self.home)
        self.addCleanup(kill_and_reap, proc)
        self.wait_listing(lambda rows: sum(r["state"] in ("connecting", "receiving") for r in rows.values()) == 2)
        # The two running and the four waiting for their turn: all paused, none started instead.
        status, out, err = self.tarnwick("--pause", "all")
        self.assertEqual((status, len(out.splitlines())), (0, 6), out + err)
        self.wait_listing(lambda rows: [r["state"] for r in rows.values()] == ["paused"] * 6)
        time.sleep(1)
        rows = self.listing()
        self.assertEqual([(r["state"], r["pid"]) for r in rows.values()], [("paused", proc.pid)] * 6, rows)
        self.assertIsNone(proc.poll())
        # Resumed in their order; the batch ends as if nothing had happened.
        status, out, err = self.tarnwick("--resume", "all")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(proc.wait(timeout=90), 0, read_text(self.local("session.out")))
        self.assertEqual(read_text(self.local("session.out")).splitlines()[-1],
                         "6 downloads: 6 complete, 0 kept in the queue, 0 failed")
        self.assertFilesRight([u.rsplit("/", 1)[1] for u in uris])
        self.assertNoQueue()

    def test_a_404_amid_the_batch_is_said_under_its_own_number(self):
        uris = ["/slow/k30.bin", "/missing.bin", "/slow/k31.bin", "/slow/k32.bin"]
        status = self.run_session(["-q", "-j", "3", "-i", self.write_list(uris)], timeout=60)
        self.assertEqual(status, 8, self.output)
        said = [line for line in self.output.splitlines() if "not found" in line.lower()]
        self.assertTrue(said and all(line.startswith("[01] ") for line in said), self.output)
        self.assertEqual(self.last_lines(1), ["4 downloads: 3 complete, 0 kept in the queue, 1 failed"])

    def test_an_entry_resumed_from_elsewhere_is_counted_as_it_ended(self):
        uris = ["/slow/p0.bin", "/slow/p1.bin", "/slow/p2.bin"]
        batch = start_tarnwick(EXE, ["-q", "-j", "1", "-i", self.write_list(uris)], self.home)
        self.addCleanup(kill_and_reap, batch)
        self.wait_listing(lambda rows: any(r["state"] in ("connecting", "receiving") for r in rows.values()))
        # The last one taken up by hand meanwhile: it waits for its turn in a process of its own.
        copy = start_tarnwick(EXE, ["-q", "#" + self.slot_of(_nginx.url(uris[2]))], self.home)
        self.addCleanup(kill_and_reap, copy)
        self.assertEqual((batch.wait(timeout=60), copy.wait(timeout=60)), (0, 0), read_text(self.local("session.out")))
        self.assertIn("3 downloads: 3 complete, 0 kept in the queue, 0 failed", read_text(self.local("session.out")))
        self.assertFilesRight([u.rsplit("/", 1)[1] for u in uris])
        self.assertNoQueue()

    def test_a_new_batch_leaves_the_name_of_a_killed_batchs_queued_entry_alone(self):
        # Killed while its first download runs: the second one, same.bin, is queued and not begun.
        proc = start_tarnwick(EXE, ["-j", "1", "-i", self.write_list(["/slow/k00.bin", "/a/same.bin"])], self.home)
        self.addCleanup(kill_and_reap, proc)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not (os.path.exists(self.local("k00.bin"))
                                                   and os.path.getsize(self.local("k00.bin")) > 0):
            time.sleep(0.01)
        kill_and_reap(proc)
        self.assertIn(self.local("same.bin"), self.queue().values())
        self.assertFalse(os.path.exists(self.local("same.bin")))
        # Named outright for another address, the file is refused; for its own, the entry is taken over.
        self.assertEqual(self.run_session(["-q", "-o", "same.bin", _nginx.url("/b/same.bin")]), 3, self.output)
        self.assertIn("Queued download #", self.output)
        self.assertFalse(os.path.exists(self.local("same.bin")))
        # Another batch with a file of that name takes another name, and /RESUME then fills its own.
        status = self.run_session(["-q", "-i", self.write_list(["/b/same.bin", "/s000.bin"])], timeout=60)
        self.assertEqual(status, 0, self.output[-2000:])
        status = self.run_session(["-q", "/RESUME"], timeout=60)
        self.assertEqual(status, 0, self.output[-2000:])
        self.assertSameFile(self.local("same.bin"), _files["a/same.bin"])
        self.assertSameFile(self.local("same.bin.1"), _files["b/same.bin"])
        self.assertNoQueue()


if __name__ == "__main__":
    unittest.main()
