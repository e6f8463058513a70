#!/usr/bin/env python3
"""FTP downloads of the built executable in terminal mode against a real vsftpd, a real
pyftpdlib server with a user login and the ftp-proxy package, all on loopback.
Usage: ftp_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import os
import random
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import kill_and_reap, start_tarnwick  # noqa: E402
from ftp_servers import FtpProxy, Pyftpd, Vsftpd  # noqa: E402
from session_case import (EXE, SessionCase, file_digest, new_work, remove_work, skip_unless_ready,  # noqa: E402
                          wait_for_size)

_work = None
_servers = {}


def setUpModule():
    global _work
    skip_unless_ready(Vsftpd.binary, FtpProxy.binary)
    if os.geteuid() != 0:
        raise unittest.SkipTest("vsftpd needs root to chroot its anonymous sessions")
    _work = new_work("tarnwick-e2e-ftp-")
    root = os.path.join(_work, "root")
    os.makedirs(root)
    try:
        _servers["ftp"] = Vsftpd(os.path.join(_work, "vsftpd"), root).start()
        # Paced, so that a session can be killed while its transfer runs.
        _servers["paced"] = Vsftpd(os.path.join(_work, "vsftpd-paced"), root, max_rate=20 << 20).start()
        # 2 MiB/s a connection: several connections pay; "one" takes one login at a time.
        _servers["slow"] = Vsftpd(os.path.join(_work, "vsftpd-slow"), root, max_rate=2 << 20).start()
        _servers["one"] = Vsftpd(os.path.join(_work, "vsftpd-one"), root, max_rate=2 << 20,
                                 extra="max_per_ip=1\n").start()
        _servers["proxy"] = FtpProxy(os.path.join(_work, "ftp-proxy"), _servers["ftp"].port).start()
        if Pyftpd.available():
            _servers["login"] = Pyftpd(os.path.join(_work, "pyftpd"), root, "user", "secret").start()
    except Exception:
        tearDownModule()
        raise


def tearDownModule():
    for server in _servers.values():
        server.stop()
    _servers.clear()
    remove_work(_work)


def serve(name, data):
    path = os.path.join(_servers["ftp"].root, name)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)
    return path


class Session(SessionCase):
    config = (("Exit", 1), ("Rollback", 4), ("DoneBeep", 0), ("ErrorBeep", 0), ("Retries", 0))
    session_timeout = 30


class Pieces(Session):
    def test_pieces_over_further_logins_or_one_when_refused(self):
        data = random.Random(18).randbytes(4 << 20)
        serve("pieces.bin", data)
        # "ftp" is unpaced: 2M a second over all connections, the first tenth of a second free.
        # "one" allows one login: the refused further login's range goes back to the first
        # connection, or (when that has reached the split first) to a new one after it.
        for name, retrs, limit in (("slow", range(2, 5), []), ("one", range(1, 3), []),
                                   ("ftp", range(1, 5), ["--limit-rate", "2M"])):
            with self.subTest(server=name):
                ftp, out = _servers[name], self.local(name + ".bin")
                mark, began = len(ftp.commands()), time.monotonic()
                self.assertEqual(self.run_session(["-n", "4", *limit, "-o", out, ftp.url("/pieces.bin")]), 0, self.output)
                if limit:
                    self.assertGreater(time.monotonic() - began, (len(data) / (2 << 20)) - 0.1)
                self.assertSameFile(out, data)
                sent = ftp.commands()[mark:]
                self.assertIn(sent.count("RETR /pieces.bin"), retrs, sent)
                self.assertNoQueue()


class Downloads(Session):
    def test_anonymous_download_passive_and_active(self):
        data = random.Random(1).randbytes(3_000_000)
        serve("plain.bin", data)
        ftp = _servers["ftp"]
        for passive, command in ((1, "EPSV"), (0, "PORT 127,0,0,1,")):
            with self.subTest(passive=passive):
                self.store.set("Config", "FTPPassive", passive)
                mark = len(ftp.commands())
                out = self.local("plain-%d.bin" % passive)
                rc = self.run_session(ftp.url("/plain.bin"), out + "\n")
                self.assertEqual(rc, 0, self.output)
                self.assertSameFile(out, data)
                self.assertNoQueue()
                sent = ftp.commands()[mark:]
                self.assertEqual(sent[:5], ["USER anonymous", "PASS <password>", "TYPE I", "SIZE /plain.bin",
                                            "MDTM /plain.bin"], sent)
                self.assertTrue(sent[5].startswith(command), sent)
                self.assertEqual(sent[6:], ["REST 0", "RETR /plain.bin"], sent)

    def test_missing_file_is_refused_and_forgotten(self):
        out = self.local("none.bin")
        # The refusal is shown, then "resume later?" is answered No.
        rc = self.run_session(_servers["ftp"].url("/no/such.bin"), out + "\nn\n")
        self.assertEqual(rc, 8, self.output)  # the server answered with an error
        self.assertIn("550 Failed to open file.", self.output)
        self.assertIn("Would you like to have this request resumed later?", self.output)
        self.assertNoQueue()
        self.assertFalse(os.path.exists(out))

    def test_through_ftp_proxy_with_passive_data(self):
        data = random.Random(2).randbytes(2_000_000)
        serve("proxied.bin", data)
        ftp, proxy = _servers["ftp"], _servers["proxy"]
        self.store.set("Config", "ProxyFTP", "127.0.0.1:%d" % proxy.port)
        mark = len(ftp.commands())
        rc = self.run_session(ftp.url("/proxied.bin"), self.local("proxied.bin") + "\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(self.local("proxied.bin"), data)
        self.assertNoQueue()
        # The proxy took the server from the user name and relayed a passive transfer.
        log = proxy.log()
        self.assertIn("'USER anonymous' dest 127.0.0.1:%d" % ftp.port, log)
        self.assertIn("PASV set to", log)
        self.assertIn("RETR /proxied.bin", ftp.commands()[mark:])
        # The same proxy from ftp_proxy in its ftp:// form, when nothing is configured.
        self.store.delete("Config", "ProxyFTP")
        out = self.local("env-proxied.bin")
        rc = self.run_session(["-o", out, ftp.url("/proxied.bin")], env={"ftp_proxy": "ftp://127.0.0.1:%d" % proxy.port})
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertIn("(via 127.0.0.1:%d from ftp_proxy)" % proxy.port, self.output)
        self.assertEqual(proxy.log().count("'USER anonymous' dest 127.0.0.1:%d" % ftp.port), 2)


@unittest.skipUnless(Pyftpd.available(), "python3-pyftpdlib is not installed")
class Login(Session):
    def test_refused_login_then_credentials(self):
        data = random.Random(3).randbytes(500_000)
        serve("private.bin", data)
        out = self.local("private.bin")
        login = _servers["login"]
        rc = self.run_session(login.url("/private.bin"), out + "\ny\nuser\nsecret\n")
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertIn("530 ", self.output)
        self.assertIn("Do you need to change your username/password?", self.output)
        self.assertIn("Enter username and password for FTP'ing from server 127.0.0.1", self.output)
        self.assertEqual(self.output.count("Username: "), 1, self.output)
        # pyftpdlib's 150 names no size: SIZE's gives the percentage.
        self.assertIn(" of 488.3k (100%)", self.output)
        self.assertNoQueue()

    def test_refused_login_is_kept_only_when_asked(self):
        serve("private2.bin", b"x" * 1000)
        out = self.local("private2.bin")
        # No new login; a refusal that stays is not resumed later unless the user says so. The
        # status says the refusal either way, and no empty file stays (a resume makes it again).
        for answers, kept in (("n\n", False), ("n\ny\n", True)):
            with self.subTest(answers=answers):
                rc = self.run_session(_servers["login"].url("/private2.bin"), out + "\n" + answers)
                self.assertEqual(rc, 6, self.output)
                self.assertEqual("Get00" in self.queue(), kept)
                self.assertFalse(os.path.exists(out))
                self.assertEqual(self.output.count("530 "), 1, self.output)


class Resume(Session):
    def test_killed_download_resumes_with_rest_to_identical_bytes(self):
        size = 24 << 20
        served = serve("large.bin", os.urandom(size))
        want = file_digest(served)
        seed = int(os.environ.get("TARNWICK_E2E_SEED", time.time_ns() % 100000))
        rng = random.Random(seed)
        paced = _servers["paced"]
        mark = len(paced.commands())
        url = paced.url("/large.bin")
        out = self.local("large.bin")
        arg, answers, slot, kills = url, out + "\n", None, 0
        for _ in range(3):
            have = os.path.getsize(out) if os.path.exists(out) else 0
            target = have + int(rng.uniform(0.1, 0.25) * size)
            proc = start_tarnwick(EXE, arg, self.home, answers)
            deadline = time.monotonic() + 20
            wait_for_size(proc, out, target, deadline)
            # The kill lands once the entry holds progress made by this run.
            while proc.poll() is None and time.monotonic() < deadline:
                slot = slot or self.slot_of(url)
                if self.queue().get("Start" + slot, 0) > have:
                    break
                time.sleep(0.01)
            kill_and_reap(proc)
            # The session may have ended by itself, also just before the kill.
            finished = proc.returncode != -signal.SIGKILL
            if finished:
                self.assertEqual(proc.returncode, 0, "seed %d" % seed)
                break
            kills += 1
            slot = slot or self.slot_of(url)
            entry = self.queue()
            self.assertEqual(entry.get("Local" + slot), out, "seed %d" % seed)
            # What the entry claims is on disk really is.
            self.assertLessEqual(entry.get("Start" + slot, 0), os.path.getsize(out), "seed %d" % seed)
            arg, answers = "#" + slot, ""
        self.assertGreater(kills, 0, "the download was never interrupted")
        if not finished:
            rc = self.run_session(arg, answers, timeout=60)
            self.assertEqual(rc, 0, "seed %d: %s" % (seed, self.output))
        self.assertEqual(os.path.getsize(out), size, "seed %d" % seed)
        self.assertEqual(file_digest(out), want, "seed %d" % seed)
        self.assertNoQueue()
        rests = [c for c in paced.commands()[mark:] if c.startswith("REST ")]
        self.assertEqual(rests[0], "REST 0")
        self.assertTrue(all(int(r.split()[1]) > 0 for r in rests[1:]), rests)
        self.assertTrue(all(int(r.split()[1]) % 1024 == 0 for r in rests), rests)
        os.remove(out)

    def test_a_file_replaced_between_kill_and_resume_is_fetched_anew(self):
        size = 12 << 20
        old = random.Random(7).randbytes(size)
        served = serve("replaced.bin", old)
        ftp = _servers["slow"]
        url = ftp.url("/replaced.bin")
        out = self.local("replaced.bin")
        proc = start_tarnwick(EXE, url, self.home, out + "\n")
        deadline = time.monotonic() + 20
        wait_for_size(proc, out, 3 << 20, deadline)
        slot = None
        # Killed once the entry holds more than the part that will change.
        while proc.poll() is None and time.monotonic() < deadline:
            slot = slot or self.slot_of(url)
            if self.queue().get("Start" + slot, 0) > (2 << 20):
                break
            time.sleep(0.01)
        kill_and_reap(proc)
        self.assertEqual(proc.returncode, -signal.SIGKILL, "the download was never interrupted")
        # Another file of the same size, whose bytes differ only in its first megabyte: the
        # bytes fetched again on the resume match, its date alone tells.
        new = random.Random(8).randbytes(1 << 20) + old[1 << 20:]
        serve("replaced.bin", new)
        later = os.stat(served).st_mtime + 100
        os.utime(served, (later, later))
        mark = len(ftp.commands())
        rc = self.run_session("#" + slot, "", timeout=60)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, new)
        self.assertNoQueue()
        rests = [c for c in ftp.commands()[mark:] if c.startswith("REST ")]
        self.assertGreater(int(rests[0].split()[1]), 0, rests)
        self.assertIn("REST 0", rests[1:])


if __name__ == "__main__":
    unittest.main(verbosity=2)
