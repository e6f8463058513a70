#!/usr/bin/env python3
"""Request options of the built executable in terminal mode (--header, -U, --referer,
--load-cookies, .netrc) against scripted servers on loopback that record every byte asked of
them. Usage: request_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import base64
import contextlib
import json
import os
import random
import re
import socket
import stat
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import run_tarnwick  # noqa: E402
from session_case import EXE, SessionCase, new_work, remove_work, skip_unless_ready  # noqa: E402

_work = None


def setUpModule():
    global _work
    skip_unless_ready()
    _work = new_work("tarnwick-request-")


def tearDownModule():
    remove_work(_work)


class Recorder:
    """An HTTP server on host that answers each request with reply(headers): the reply's bytes,
    or (bytes, n) to cut the connection after n of them. It keeps every request's header."""

    def __init__(self, host, reply):
        self.reply, self.requests = reply, []
        self.sock = socket.create_server((host, 0))
        self.base = "http://%s:%d" % (host, self.sock.getsockname()[1])
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with contextlib.suppress(OSError):
            while True:
                conn, _ = self.sock.accept()
                with conn:
                    data = b""
                    while b"\r\n\r\n" not in data and (block := conn.recv(4096)):
                        data += block
                    self.requests.append(data.split(b"\r\n\r\n")[0].decode("latin-1"))
                    out = self.reply(header(self.requests[-1], "Range") or "")
                    with contextlib.suppress(OSError):
                        conn.sendall(out[0][:out[1]] if isinstance(out, tuple) else out)


def header(request, name):
    values = [v for k, _, v in (line.partition(": ") for line in request.split("\r\n")[1:]) if k.lower() == name.lower()]
    return values[0] if values else None


def body_reply(data, asked):
    """The file whole, or from the asked range's first byte."""
    first = int(re.match(r"bytes=(\d+)-", asked).group(1)) if asked else 0
    head = ("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes %d-%d/%d\r\n" % (first, len(data) - 1, len(data))
            if first else "HTTP/1.1 200 OK\r\n")
    return (head + "Content-Length: %d\r\n\r\n" % (len(data) - first)).encode() + data[first:]


class RequestOptions(SessionCase):
    def setUp(self):
        super().setUp()
        self.jar = self.local("cookies.txt")
        with open(self.jar, "w") as f:
            f.write("# Netscape HTTP Cookie File\n"
                    "127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\ts3ss10n\n"
                    "127.0.0.1\tFALSE\t/\tTRUE\t0\tsecure\tno\n"           # https only
                    "127.0.0.1\tFALSE\t/other\tFALSE\t0\telsewhere\tno\n"  # another path
                    "127.0.0.1\tFALSE\t/\tFALSE\t1000\texpired\tno\n"
                    "127.0.0.2\tFALSE\t/\tFALSE\t0\tbside\tno\n")         # never sent: see below
        self.netrc = self.local("netrc")
        with open(self.netrc, "w") as f:
            f.write("machine 127.0.0.1 login alice password pa55\ndefault login nobody password none\n")
        self.options = ["--header", "X-Token: t0ken-1", "-U", "Agent/9", "--referer", "http://127.0.0.1/page",
                        "--load-cookies", self.jar]
        self.env = {"NETRC": self.netrc}

    def assertSentOptions(self, request, cookie, login):
        self.assertEqual(header(request, "X-Token"), "t0ken-1", request)
        self.assertEqual(header(request, "User-Agent"), "Agent/9", request)
        self.assertEqual(header(request, "Referer"), "http://127.0.0.1/page", request)
        self.assertEqual(header(request, "Cookie"), cookie, request)
        self.assertEqual(header(request, "Authorization"),
                         login and "Basic " + base64.b64encode(login.encode()).decode(), request)

    def test_options_go_to_every_request_and_stay_with_their_server(self):
        data = random.Random(3).randbytes(50_000)
        b = Recorder("127.0.0.2", lambda asked: body_reply(data, asked))
        self.addCleanup(b.sock.close)
        a = Recorder("127.0.0.1", lambda asked: ("HTTP/1.1 302 Found\r\nLocation: %s/f.bin\r\n"
                                                    "Content-Length: 0\r\n\r\n" % b.base).encode())
        self.addCleanup(a.sock.close)
        out = self.local("f.bin")
        rc = self.run_session(["-o", out, *self.options, a.base + "/dl/f.bin"], env=self.env)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertSentOptions(a.requests[0], "sid=s3ss10n", "alice:pa55")
        # Another server gets neither cookies nor the first one's login; .netrc's default is its own.
        self.assertSentOptions(b.requests[0], None, "nobody:none")

    def test_a_resume_sends_them_again_and_shows_them_nowhere(self):
        data = random.Random(4).randbytes(300_000)
        cut = [True]

        def reply(asked):
            first, cut[0] = cut[0], False
            return (body_reply(data, asked), 150_000) if first else body_reply(data, asked)

        a = Recorder("127.0.0.1", reply)
        self.addCleanup(a.sock.close)
        out = self.local("r.bin")
        rc = self.run_session(["-o", out, *self.options, a.base + "/r.bin"], env=self.env)
        self.assertEqual(rc, 4, self.output)  # broken, its entry kept
        queue = self.store.section("FileQueue")
        slot = next(k[3:] for k in queue if k.startswith("Get"))
        self.assertIn("Request" + slot, queue)
        # The store holds credentials: the user's alone.
        self.assertEqual(stat.S_IMODE(os.stat(self.store.path).st_mode), 0o600)

        listed = run_tarnwick(EXE, ["--list", "--json"], self.home)
        table = run_tarnwick(EXE, "--list", self.home)
        self.assertEqual(len(json.loads(listed.stdout)), 1)
        rc = self.run_session("#" + slot, env=self.env)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertEqual(len(a.requests), 2, a.requests)
        self.assertIsNotNone(header(a.requests[1], "Range"))
        for request in a.requests:
            self.assertSentOptions(request, "sid=s3ss10n", "alice:pa55")
        for shown in (self.output, listed.stdout.decode(), table.stdout.decode()):
            for secret in ("t0ken-1", "s3ss10n", "pa55"):
                self.assertNotIn(secret, shown)

    def test_a_header_that_would_add_lines_is_refused(self):
        for bad in ("X-A: 1\r\nX-Evil: 2", "X-A: 1\nX-Evil: 2", "no colon"):
            with self.subTest(header=bad):
                r = run_tarnwick(EXE, ["--header", bad, "http://127.0.0.1:9/x"], self.home)
                self.assertEqual(r.returncode, 1)
                self.assertIn("--header", r.stderr.decode())
                self.assertNotIn("Evil", r.stderr.decode())


if __name__ == "__main__":
    unittest.main()
