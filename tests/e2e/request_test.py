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
import ssl
import stat
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from servers import Pki, run_tarnwick  # noqa: E402
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
    or (bytes, n) to cut the connection after n of them. It keeps every request's header.
    login ("user:password"): a request without it gets 401 instead; tls ((cert, key)): https."""

    def __init__(self, host, reply, login=None, tls=None):
        self.reply, self.requests, self.login = reply, [], login
        self.sock = socket.create_server((host, 0))
        self.tls = None
        if tls:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(*tls)
        self.base = "%s://%s:%d" % ("https" if tls else "http", host, self.sock.getsockname()[1])
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        with contextlib.suppress(OSError):
            while True:
                conn, _ = self.sock.accept()
                # A client that gives up on a handshake ends its connection, not the server.
                with contextlib.suppress(OSError):
                    self._answer(self.tls.wrap_socket(conn, server_side=True) if self.tls else conn)
                conn.close()

    def _answer(self, conn):
        with conn:
            data = b""
            while b"\r\n\r\n" not in data and (block := conn.recv(4096)):
                data += block
            self.requests.append(data.split(b"\r\n\r\n")[0].decode("latin-1"))
            if self.login and header(self.requests[-1], "Authorization") != basic(self.login):
                out = (b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"files\"\r\n"
                       b"Content-Length: 0\r\n\r\n")
            else:
                out = self.reply(header(self.requests[-1], "Range") or "")
            conn.sendall(out[0][:out[1]] if isinstance(out, tuple) else out)


def basic(login):
    return login and "Basic " + base64.b64encode(login.encode()).decode()


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
        os.chmod(self.netrc, 0o600)
        self.options = ["--header", "X-Token: t0ken-1", "-U", "Agent/9", "--referer", "http://127.0.0.1/page",
                        "--load-cookies", self.jar]
        self.env = {"NETRC": self.netrc}

    def assertSentOptions(self, request, cookie, login):
        self.assertEqual(header(request, "X-Token"), "t0ken-1", request)
        self.assertEqual(header(request, "User-Agent"), "Agent/9", request)
        self.assertEqual(header(request, "Referer"), "http://127.0.0.1/page", request)
        self.assertEqual(header(request, "Cookie"), cookie, request)
        self.assertEqual(header(request, "Authorization"), basic(login), request)

    def test_options_go_to_every_request_and_stay_with_their_server(self):
        data = random.Random(3).randbytes(50_000)
        b = Recorder("127.0.0.2", lambda asked: body_reply(data, asked), login="nobody:none")
        self.addCleanup(b.sock.close)
        a = Recorder("127.0.0.1", lambda asked: ("HTTP/1.1 302 Found\r\nLocation: %s/f.bin\r\n"
                                                    "Content-Length: 0\r\n\r\n" % b.base).encode(),
                     login="alice:pa55")
        self.addCleanup(a.sock.close)
        out = self.local("f.bin")
        rc = self.run_session(["-o", out, *self.options, a.base + "/dl/f.bin"], env=self.env)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        # Over plain http a login goes only when asked for (401).
        self.assertEqual(len(a.requests), 2, a.requests)
        self.assertSentOptions(a.requests[0], "sid=s3ss10n", None)
        self.assertSentOptions(a.requests[1], "sid=s3ss10n", "alice:pa55")
        # Another server gets neither cookies nor the first one's login; .netrc's default is its own.
        self.assertEqual(len(b.requests), 2, b.requests)
        self.assertSentOptions(b.requests[0], None, None)
        self.assertSentOptions(b.requests[1], None, "nobody:none")
        self.assertNotIn("can be read by other users", self.output)

    def test_a_login_waits_for_its_server_to_ask_over_http(self):
        data = random.Random(5).randbytes(20_000)
        for name in ("netrc", "url"):
            with self.subTest(name):
                a = Recorder("127.0.0.1", lambda asked: body_reply(data, asked), login="alice:pa55")
                self.addCleanup(a.sock.close)
                out = self.local(name + ".bin")
                url = a.base.replace("//", "//alice:pa55@" if name == "url" else "//") + "/" + name + ".bin"
                # Used all the same, with a warning, when others can read it.
                os.chmod(self.netrc, 0o644)
                rc = self.run_session(["-o", out, url], env=self.env)
                self.assertEqual(rc, 0, self.output)
                self.assertSameFile(out, data)
                self.assertEqual([header(r, "Authorization") for r in a.requests], [None, basic("alice:pa55")])
                self.assertEqual("can be read by other users" in self.output, name == "netrc", self.output)

    def test_nothing_secret_follows_https_to_plain_http_on_the_same_host(self):
        pki = Pki(self.local("pki"))
        tls = pki.server("secure")
        data = random.Random(6).randbytes(20_000)
        # What the https server and the plain one get as Cookie: the jar's Secure cookie stays home;
        # a Cookie header given by hand does not follow at all.
        cases = (("cookies.txt", ["--load-cookies", self.jar], ("sid=s3ss10n; secure=no", "sid=s3ss10n")),
                 ("--header", ["-H", "Cookie: hdr=c00kie"], ("hdr=c00kie", None)))
        for name, options, sent in cases:
            with self.subTest(name):
                # The plain server asks for a login too: nothing of .netrc may answer it.
                plain = Recorder("127.0.0.1", lambda asked: body_reply(data, asked), login="alice:pa55")
                self.addCleanup(plain.sock.close)
                secure = Recorder("127.0.0.1", lambda asked: ("HTTP/1.1 302 Found\r\nLocation: %s/f.bin\r\n"
                                                               "Content-Length: 0\r\n\r\n" % plain.base).encode(),
                                  tls=tls)
                self.addCleanup(secure.sock.close)
                rc = self.run_session(["-o", self.local("f.bin"), *options, secure.base + "/f.bin"],
                                      env={**self.env, "SSL_CERT_FILE": pki.ca})
                # Asked at the terminal, which gives no login: refused (6).
                self.assertEqual(rc, 6, self.output)
                self.assertEqual(len(secure.requests), 1, secure.requests)
                self.assertEqual(header(secure.requests[0], "Authorization"), basic("alice:pa55"))
                self.assertEqual(header(secure.requests[0], "Cookie"), sent[0])
                self.assertGreaterEqual(len(plain.requests), 1)
                for request in plain.requests:
                    self.assertEqual(header(request, "Authorization"), None, request)
                    self.assertEqual(header(request, "Cookie"), sent[1], request)

    def test_a_resume_of_a_plain_address_reached_from_https_sends_no_login(self):
        pki = Pki(self.local("pki"))
        data = random.Random(8).randbytes(100_000)
        plain = Recorder("127.0.0.1", lambda asked: (body_reply(data, asked), 30_000))
        self.addCleanup(plain.sock.close)
        secure = Recorder("127.0.0.1", lambda asked: ("HTTP/1.1 302 Found\r\nLocation: %s/f.bin\r\n"
                                                       "Content-Length: 0\r\n\r\n" % plain.base).encode(),
                          tls=pki.server("secure"))
        self.addCleanup(secure.sock.close)
        env = {**self.env, "SSL_CERT_FILE": pki.ca}
        rc = self.run_session(["-o", self.local("f.bin"), secure.base + "/f.bin"], env=env)
        self.assertEqual(rc, 4, self.output)  # broken off after 30,000 bytes: a network cause
        slot = next(k[3:] for k in self.queue() if k.startswith("Get"))
        # The entry names the plain address now; asked there, .netrc still gives nothing.
        plain.login = "alice:pa55"
        rc = self.run_session("#" + slot, env=env)
        self.assertEqual(rc, 6, self.output)
        self.assertEqual(len(plain.requests), 2, plain.requests)
        self.assertEqual([header(r, "Authorization") for r in plain.requests], [None, None])

    def test_a_resume_sends_them_again_and_shows_them_nowhere(self):
        data = random.Random(4).randbytes(300_000)
        cut = [True]

        def reply(asked):
            first, cut[0] = cut[0], False
            return (body_reply(data, asked), 150_000) if first else body_reply(data, asked)

        a = Recorder("127.0.0.1", reply, login="alice:pa55")
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
        # Each process asks without the login first, then with it once the server asked.
        self.assertEqual(len(a.requests), 4, a.requests)
        self.assertIsNotNone(header(a.requests[3], "Range"))
        for i, request in enumerate(a.requests):
            self.assertSentOptions(request, "sid=s3ss10n", "alice:pa55" if i % 2 else None)
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
