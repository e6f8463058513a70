#!/usr/bin/env python3
"""HTTPS and IPv6 downloads of the built executable in terminal mode: a real nginx with TLS
(certificates made at test time, trusted through SSL_CERT_FILE), tinyproxy tunnelling with
CONNECT, scripted TLS peers with bad certificates or a cut body, nginx and vsftpd on ::1.
Usage: https_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import contextlib
import os
import random
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ftp_servers import Vsftpd  # noqa: E402
from servers import Nginx, Pki, Tinyproxy, free_port, kill_and_reap, start_tarnwick, terminal_env  # noqa: E402
from session_case import EXE, SessionCase, new_work, remove_work, skip_unless_ready, wait_for_size  # noqa: E402

_work = _pki = _nginx = _proxy = None
_tls_port = _v6_port = _v6_tls_port = 0


def setUpModule():
    global _work, _pki, _nginx, _proxy, _tls_port, _v6_port, _v6_tls_port
    skip_unless_ready(Nginx.binary, Tinyproxy.binary)
    if not socket.has_ipv6:
        raise unittest.SkipTest("no IPv6")
    _work = new_work("tarnwick-e2e-https-")
    _pki = Pki(os.path.join(_work, "pki"))
    # The program under test trusts the test's authority the way every OpenSSL program does.
    os.environ["SSL_CERT_FILE"] = _pki.ca
    os.environ.pop("SSL_CERT_DIR", None)
    cert, key = _pki.server("nginx")
    www = os.path.join(_work, "www")
    os.makedirs(www)
    _tls_port, _v6_port, _v6_tls_port = free_port(), free_port("::1"), free_port("::1")
    extra = f"""
    listen 127.0.0.1:{_tls_port} ssl;
    listen [::1]:{_v6_port};
    listen [::1]:{_v6_tls_port} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    location /paced/ {{ alias {www}/; limit_rate 20m; }}
    location = /to-tls {{ return 302 https://127.0.0.1:{_tls_port}/plain.bin; }}
    location = /to-plain {{ return 302 http://127.0.0.1:{{PLAIN}}/plain.bin; }}
"""
    _nginx = Nginx(os.path.join(_work, "nginx"), www, extra)
    with open(_nginx.conf) as f:
        conf = f.read().replace("{PLAIN}", str(_nginx.port))
    with open(_nginx.conf, "w") as f:
        f.write(conf)
    _nginx.start()
    try:
        _proxy = Tinyproxy(os.path.join(_work, "tinyproxy"), connect_ports=(_tls_port,)).start()
    except Exception:
        _nginx.stop()
        raise


def tearDownModule():
    for server in (_proxy, _nginx):
        if server:
            server.stop()
    remove_work(_work)


def serve(name, data):
    with open(os.path.join(_nginx.root, name), "wb") as f:
        f.write(data)


def tls_url(path, port=None):
    return "https://127.0.0.1:%d%s" % (port or _tls_port, path)


class TlsPeer:
    """A scripted HTTPS server: each connection's handshake with `cert`, then, once the
    request's head has come, `reply` written and the connection closed (with close_notify
    when `notify`). `handshakes` counts those that succeeded; `received` is every byte read
    after one."""

    def __init__(self, cert, reply=b"", notify=True):
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.ctx.load_cert_chain(*cert)
        self.reply, self.notify = reply, notify
        self.handshakes, self.received = 0, b""
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            try:
                tls = self.ctx.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError):
                conn.close()
                continue
            self.handshakes += 1
            try:
                while b"\r\n\r\n" not in self.received:
                    block = tls.recv(4096)
                    if not block:
                        break
                    self.received += block
                tls.sendall(self.reply)
                if self.notify:
                    tls = tls.unwrap()
            except (ssl.SSLError, OSError):
                pass
            tls.close()

    def close(self):
        self.sock.close()


class Session(SessionCase):
    def setUp(self):
        super().setUp()
        self.log_mark = len(_nginx.log_lines())

    def new_requests(self):
        return _nginx.log_lines()[self.log_mark:]

    def download(self, url, name, data, answers=""):
        out = self.local(name)
        rc = self.run_session(url, out + "\n" + answers)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertNoQueue()


class Https(Session):
    def test_verified_downloads_by_name_address_and_redirect(self):
        data = random.Random(1).randbytes(900_000)
        serve("plain.bin", data)
        # By name (checked against DNS:localhost, sent as SNI; every address of the name is
        # tried), by IPv4 and IPv6 address (checked against the IP entries), and redirected
        # from http to https and back.
        cases = (("https://localhost:%d/plain.bin" % _tls_port, "localhost:%d" % _tls_port),
                 (tls_url("/plain.bin"), "127.0.0.1:%d" % _tls_port),
                 ("https://[::1]:%d/plain.bin" % _v6_tls_port, "[::1]:%d" % _v6_tls_port),
                 (_nginx.url("/to-tls"), "127.0.0.1:%d" % _tls_port),
                 (tls_url("/to-plain"), "127.0.0.1:%d" % _nginx.port))
        for n, (url, host) in enumerate(cases):
            with self.subTest(url=url):
                self.log_mark = len(_nginx.log_lines())
                self.download(url, "tls-%d.bin" % n, data)
                last = self.new_requests()[-1]
                self.assertTrue(last.startswith("GET /plain.bin 206"), last)
                # The Host line names the port only when it is not the scheme's default.
                self.assertIn("host=" + host + "\n", last + "\n")

    def test_verification_failures_send_no_request_byte(self):
        other = Pki(os.path.join(_work, "other-ca"), "Untrusted CA")
        cases = (("wrong-host", _pki.server("wrong", names=("DNS:wrong.example",)), "localhost",
                  "hostname mismatch"),
                 ("wrong-address", _pki.server("wrong-ip", names=("IP:10.1.2.3",)), "127.0.0.1",
                  "IP address mismatch"),
                 ("untrusted", other.server("untrusted", ca=(other.ca, other.ca_key)), "127.0.0.1",
                  "unable to get local issuer certificate"),
                 ("expired", _pki.server("expired", expired=True), "127.0.0.1", "certificate has expired"))
        for name, cert, host, reason in cases:
            with self.subTest(name):
                peer = TlsPeer(cert, b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nbad")
                try:
                    url = "https://%s:%d/%s.bin" % (host, peer.port, name)
                    rc = self.run_session(url, self.local(name + ".bin") + "\n")
                finally:
                    peer.close()
                self.assertEqual(peer.handshakes, 0, self.output)
                self.assertEqual(peer.received, b"", self.output)
                self.assertIn("Secure connection to %s failed:\n  %s" % (host, reason), self.output)
                # Handled as a refused connect: a new URL leaves no entry; the status says why.
                self.assertEqual(rc, 5, self.output)
                self.assertNoQueue()
        # A server that hangs up in the middle of the handshake is said to have done so.
        quitter = socket.create_server(("127.0.0.1", 0))
        def hang_up():
            with contextlib.suppress(OSError):
                while True:
                    quitter.accept()[0].close()
        threading.Thread(target=hang_up, daemon=True).start()
        try:
            rc = self.run_session("https://127.0.0.1:%d/q.bin" % quitter.getsockname()[1], self.local("q.bin") + "\n")
        finally:
            quitter.close()
        self.assertEqual(rc, 4, self.output)  # the network's failure, not the certificate's
        self.assertIn("Secure connection to 127.0.0.1 failed:\n  the server closed the connection during the handshake",
                      self.output)
        # A queued entry is kept for a later try, and the process says so.
        peer = TlsPeer(_pki.server("expired-queued", expired=True))
        try:
            url = "https://127.0.0.1:%d/queued.bin" % peer.port
            for name, value in (("Get", url), ("Local", self.local("queued.bin")), ("Start", 0)):
                self.store.set("FileQueue", name + "04", value)
            rc = self.run_session("#04")
        finally:
            peer.close()
        self.assertEqual(rc, 5, self.output)  # its entry kept, the cause said
        self.assertIn("certificate has expired", self.output)
        self.assertEqual(self.queue().get("Get04"), url)

    def test_body_ends_judged_by_length_not_close_notify(self):
        data = random.Random(2).randbytes(100_000)
        head = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(data)
        # The whole body, then a close without close_notify: complete.
        peer = TlsPeer(_pki.server("abrupt"), head + data, notify=False)
        try:
            self.download("https://127.0.0.1:%d/whole.bin" % peer.port, "whole.bin", data)
        finally:
            peer.close()
        # Without a length, only close_notify ends the body: a cut stream is a broken one.
        unsized = b"HTTP/1.0 200 OK\r\n\r\n" + data
        for notify, status in ((True, 0), (False, 4)):
            peer = TlsPeer(_pki.server("unsized-%d" % notify), unsized, notify=notify)
            try:
                rc = self.run_session("https://127.0.0.1:%d/unsized.bin" % peer.port,
                                      self.local("unsized-%d.bin" % notify) + "\n")
            finally:
                peer.close()
            self.assertEqual(rc, status, self.output)
            for name in list(self.queue()):
                self.store.delete("FileQueue", name)
        # Part of it, then a clean TLS close: a broken connection, resumed over HTTPS.
        serve("cut.bin", data)
        peer = TlsPeer(_pki.server("cut"), head + data[:40_000])
        out = self.local("cut.bin")
        try:
            url = "https://127.0.0.1:%d/cut.bin" % peer.port
            rc = self.run_session(url, out + "\n")
        finally:
            peer.close()
        self.assertEqual(rc, 4, self.output)
        self.assertEqual(os.path.getsize(out), 40_000)
        slot = self.slot_of(url)
        self.store.set("FileQueue", "Get" + slot, tls_url("/cut.bin"))
        rc = self.run_session("#" + slot)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertNoQueue()

    def test_killed_download_resumes_to_identical_bytes(self):
        # One connection: its requests are then logged in the order they were made.
        self.store.set("Config", "Connections", 1)
        data = os.urandom(24 << 20)
        serve("large.bin", data)
        url = tls_url("/paced/large.bin")
        out = self.local("large.bin")
        proc = start_tarnwick(EXE, url, self.home, out + "\n")
        wait_for_size(proc, out, 8 << 20, time.monotonic() + 30)
        kill_and_reap(proc)
        self.assertEqual(proc.returncode, -signal.SIGKILL, "the download ended before the kill")
        slot = self.slot_of(url)
        rc = self.run_session("#" + slot, timeout=60)
        self.assertEqual(rc, 0, self.output)
        self.assertSameFile(out, data)
        self.assertNoQueue()
        ranges = [re.search(r"range=(\S*)", r).group(1) for r in self.new_requests() if "large.bin" in r]
        self.assertEqual(ranges[0], "bytes=0-")
        self.assertNotEqual(ranges[-1], "bytes=0-")


class Proxy(Session):
    def test_tunnel_through_the_proxy_and_its_refusal(self):
        data = random.Random(3).randbytes(500_000)
        serve("plain.bin", data)
        self.store.set("Config", "Proxy", "127.0.0.1:%d" % _proxy.port)
        self.download(tls_url("/plain.bin"), "proxied.bin", data)
        self.assertIn("(via 127.0.0.1:%d from the configuration)" % _proxy.port, self.output)
        with open(_proxy.log_file) as f:
            self.assertIn("CONNECT 127.0.0.1:%d" % _tls_port, f.read())
        # The origin got the origin-form request inside the tunnel.
        self.assertTrue(self.new_requests()[-1].startswith("GET /plain.bin 206"), self.new_requests())
        # The same tunnel from https_proxy, when nothing is configured.
        self.store.delete("Config", "Proxy")
        out = self.local("env-proxied.bin")
        self.assertEqual(self.run_session(["-o", out, tls_url("/plain.bin")],
                                          env={"https_proxy": "http://127.0.0.1:%d" % _proxy.port}), 0, self.output)
        self.assertSameFile(out, data)
        self.assertIn("(via 127.0.0.1:%d from https_proxy)" % _proxy.port, self.output)
        self.store.set("Config", "Proxy", "127.0.0.1:%d" % _proxy.port)
        # A port the proxy does not tunnel to.
        peer = TlsPeer(_pki.server("behind-proxy"))
        try:
            rc = self.run_session(tls_url("/x.bin", peer.port), self.local("x.bin") + "\n")
        finally:
            peer.close()
        self.assertEqual(rc, 8, self.output)
        self.assertIn("The proxy 127.0.0.1:%d refused the tunnel to 127.0.0.1:%d:\n  answered 403" %
                      (_proxy.port, peer.port), self.output)
        self.assertEqual(peer.handshakes, 0)
        self.assertNoQueue()

    def test_a_proxy_that_needs_a_login(self):
        data = random.Random(5).randbytes(300_000)
        serve("plain.bin", data)
        guard = Tinyproxy(os.path.join(self.home, "guard"), connect_ports=(_tls_port,), login=("bob", "Secr3tPw")).start()
        self.addCleanup(guard.stop)
        at = "127.0.0.1:%d" % guard.port
        # (URL, https_proxy, what the run says or "" complete); tinyproxy answers a wrong
        # login with 401, which to CONNECT only the proxy gives.
        for n, (url, proxy, said) in enumerate((
                (tls_url("/plain.bin"), "http://bob:Secr3tPw@" + at, ""),
                (tls_url("/plain.bin"), "http://bob:wrongPw@" + at, 'refused the login of "bob" (401, realm "Tinyproxy")'),
                ("http://127.0.0.1:%d/plain.bin" % _nginx.port, at, 'asks for a login (407, realm "Tinyproxy")'))):
            with self.subTest(proxy=proxy):
                out = self.local("guarded-%d.bin" % n)
                rc = self.run_session(["-o", out, url], env={"https_proxy": proxy, "http_proxy": proxy})
                self.assertEqual(rc != 0, bool(said), self.output)
                if said:
                    self.assertIn("The proxy %s %s." % (at, said), self.output)
                else:
                    self.assertSameFile(out, data)
                self.assertNotIn("Pw@", self.output)
                self.assertNoQueue()


class Ipv6(Session):
    def test_http_over_ipv6_literal(self):
        data = random.Random(4).randbytes(300_000)
        serve("plain.bin", data)
        self.download("http://[::1]:%d/plain.bin" % _v6_port, "v6.bin", data)
        self.assertIn("host=[::1]:%d\n" % _v6_port, self.new_requests()[-1] + "\n")

    def test_every_address_of_a_name_is_tried(self):
        # A name whose first address (::1) refuses: nginx listens on 127.0.0.1 only. The
        # name lives in a hosts file mounted for this one process.
        if not shutil.which("unshare"):
            self.skipTest("no unshare")
        hosts = self.local("hosts")
        with open(hosts, "w") as f:
            f.write("::1 dual.test\n127.0.0.1 dual.test\n")
        data = random.Random(6).randbytes(200_000)
        serve("plain.bin", data)
        out = self.local("dual.bin")
        r = subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /etc/hosts && exec "$1" "$2"', hosts, EXE,
                            "http://dual.test:%d/plain.bin" % _nginx.port], input=(out + "\n").encode(),
                           capture_output=True, env=terminal_env(self.home), cwd=self.home, timeout=60)
        if b"unshare:" in r.stderr or b"mount:" in r.stderr:
            self.skipTest("no mount namespace here: " + r.stderr.decode(errors="replace"))
        self.output = r.stderr.decode(errors="replace")
        self.assertEqual(r.returncode, 0, self.output)
        self.assertSameFile(out, data)

    @unittest.skipUnless(os.access(Vsftpd.binary, os.X_OK), "no vsftpd")
    def test_ftp_over_ipv6_uses_the_extended_commands(self):
        data = random.Random(5).randbytes(300_000)
        serve("ftp.bin", data)
        ftpd = Vsftpd(os.path.join(_work, "vsftpd6"), _nginx.root, ipv6=True).start()
        try:
            # Passive by default; active when configured so. PORT and PASV cannot name IPv6.
            for passive, command in ((1, "EPSV"), (0, "EPRT |2|::1|")):
                with self.subTest(passive=passive):
                    self.store.set("Config", "FTPPassive", passive)
                    mark = len(ftpd.commands())
                    self.download(ftpd.url("/ftp.bin"), "ftp6-%d.bin" % passive, data)
                    commands = ftpd.commands()[mark:]
                    self.assertTrue(any(c.startswith(command) for c in commands), commands)
                    self.assertFalse(any(c.startswith(("PORT", "PASV")) for c in commands), commands)
        finally:
            ftpd.stop()

if __name__ == "__main__":
    unittest.main()
