#!/usr/bin/env python3
"""The browser's native messaging host, driven on standard input as the browser drives it
(a 32-bit length in native byte order, then JSON), with downloads from a loopback server.
Usage: browser_host_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import json
import os
import random
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from request_test import Recorder, body_reply, header  # noqa: E402
from servers import Pki, terminal_env  # noqa: E402
from session_case import EXE, SessionCase, new_work, remove_work, skip_unless_ready  # noqa: E402

CHROMIUM = ["chrome-extension://dgdkghepkglinddfmopkljkdgchglkbo/"]
FIREFOX = ["/usr/lib/mozilla/native-messaging-hosts/com.quillfern.tarnwick.json", "tarnwick@quillfern.org"]
_work = None


def setUpModule():
    global _work
    skip_unless_ready()
    _work = new_work("tarnwick-browser-host-")


def tearDownModule():
    remove_work(_work)


def frame(message):
    data = message if isinstance(message, bytes) else json.dumps(message).encode()
    return struct.pack("=I", len(data)) + data


class BrowserHost(SessionCase):
    def setUp(self):
        super().setUp()
        # The desktop's download folder, as xdg-user-dirs names it.
        self.folder = self.local("Fetched")
        os.makedirs(self.folder)
        with open(self.local("user-dirs.dirs"), "w") as f:
            f.write('XDG_DOWNLOAD_DIR="$HOME/Fetched"\n')
        self.data = random.Random(7).randbytes(200_000)
        self.gate = threading.Event()
        self.server = Recorder("127.0.0.1", lambda asked: (self.gate.wait(20), body_reply(self.data, asked))[1])
        self.addCleanup(self.server.sock.close)
        self.addCleanup(self.gate.set)

    def host(self, args, messages, env=None):
        """The replies of a host started with args (and env added) to the framed messages, in order."""
        with open(self.local("host.err"), "ab") as err:
            proc = subprocess.run([EXE, *args], input=b"".join(messages), stdout=subprocess.PIPE, stderr=err,
                                  env=terminal_env(self.home, {"HOME": self.home, **(env or {})}), timeout=30,
                                  cwd=self.home)
        self.assertEqual(proc.returncode, 0)
        out, replies = proc.stdout, []
        while out:
            n = struct.unpack("=I", out[:4])[0]
            replies.append(json.loads(out[4:4 + n]))
            out = out[4 + n:]
        return replies

    def wait_done(self, paths):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and (self.queue() or not all(os.path.exists(p) for p in paths)):
            time.sleep(0.05)
        for p in paths:
            self.assertSameFile(p, self.data)

    def test_messages_as_a_browser_sends_them(self):
        url = self.server.base + "/files/f.bin"
        refused = "Tarnwick takes downloads only from its own browser extension"
        not_object = {"ok": False, "error": "The message is no JSON object"}
        bad_scheme = {"ok": False, "error": "Only http, https and ftp URLs can be downloaded"}
        pong = {"type": "pong", "version": "1.2"}
        cases = [
            ("ping", CHROMIUM, [frame({"type": "ping"})], [pong]),
            ("firefox", FIREFOX, [frame({"type": "ping"})], [pong]),
            ("another extension", ["chrome-extension://abcdefghijklmnopabcdefghijklmnop/"],
             [frame({"type": "download", "url": url})], [{"ok": False, "error": refused}]),
            ("firefox, another id", [FIREFOX[0], "evil@example.org"], [frame({"type": "ping"})],
             [{"ok": False, "error": refused}]),
            ("bad schemes", CHROMIUM, [frame({"type": "download", "url": u})
                                       for u in ("file:///etc/passwd", "javascript:alert(1)", "", "data:,x")],
             [bad_scheme] * 4),
            ("control characters", CHROMIUM, [frame({"type": "download", "url": url + "\r\nX: 1"}),
                                              frame({"type": "download", "url": url, "cookies": "a=b\r\nX: 1"})],
             [{"ok": False, "error": "The URL holds a blank or a control character"},
              {"ok": False, "error": "The cookies hold a control character"}]),
            # Skipped whole: the stream stays in step and the next message is answered.
            ("too long", CHROMIUM, [frame(b" " * (1 << 20 | 1)), frame({"type": "ping"})],
             [{"ok": False, "error": "The message is longer than 1 MiB"}, pong]),
            ("not JSON", CHROMIUM, [frame(m) for m in (b"{not json", b"[1, 2]", b"\"ping\"", b"{\"a\": \"\xff\"}")],
             [not_object] * 4),
            ("unknown type", CHROMIUM, [frame({"type": "shell", "command": "rm -rf ~"})],
             [{"ok": False, "error": "Unknown message type"}]),
            ("a bad link among good ones", CHROMIUM,
             [frame({"type": "links", "items": [{"url": url}, {"url": "file:///etc/passwd"}]})], [bad_scheme]),
        ]
        for name, args, messages, want in cases:
            with self.subTest(name):
                self.assertEqual(self.host(args, messages), want)
        # Nothing was started by any of them.
        self.assertNoQueue()
        self.assertEqual(self.server.requests, [])
        self.assertEqual(os.listdir(self.folder), [])

    def test_a_download_keeps_the_browsers_credentials_in_its_entry_only(self):
        with open(os.path.join(self.folder, "report.pdf"), "wb") as f:
            f.write(b"keep me")
        message = {"type": "download", "url": self.server.base + "/dl?id=3", "referrer": "http://127.0.0.1/page",
                   "userAgent": "Browser/1.0", "cookies": "sid=s3cr3t; theme=dark", "filename": "../report.pdf"}
        [reply] = self.host(CHROMIUM, [frame(message)])
        self.assertTrue(reply["ok"], reply)
        slot = reply["id"][1:]
        # While the server holds its reply: the entry has the cookies, no process's arguments do.
        deadline = time.monotonic() + 20
        while not self.server.requests and time.monotonic() < deadline:
            time.sleep(0.02)
        entry = self.queue()
        self.assertEqual(entry["Get" + slot], message["url"])
        self.assertIn("s3cr3t", entry["Request" + slot])
        cmdlines = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.path.realpath("/proc/%s/exe" % pid) == os.path.realpath(EXE):
                    with open("/proc/%s/cmdline" % pid, "rb") as f:
                        cmdlines.append(f.read())
            except OSError:
                pass
        self.assertIn(b"#" + slot.encode(), b"\n".join(cmdlines))
        self.assertNotIn(b"s3cr3t", b"\n".join(cmdlines))
        self.gate.set()
        # The browser's name, cleaned, beside the file that had it.
        self.wait_done([os.path.join(self.folder, "report.pdf.1")])
        with open(os.path.join(self.folder, "report.pdf"), "rb") as f:
            self.assertEqual(f.read(), b"keep me")
        request = self.server.requests[0]
        self.assertEqual(header(request, "Cookie"), "sid=s3cr3t; theme=dark")
        self.assertEqual(header(request, "Referer"), "http://127.0.0.1/page")
        self.assertEqual(header(request, "User-Agent"), "Browser/1.0")

    def test_cookies_keep_their_scope(self):
        self.gate.set()
        line = "sid=s3cr3t; theme=dark; deep=1"
        jar = [{"name": "sid", "value": "s3cr3t", "domain": "127.0.0.1", "hostOnly": True, "path": "/",
                "secure": True, "session": True},
               {"name": "theme", "value": "dark", "domain": "127.0.0.1", "hostOnly": True, "path": "/",
                "secure": False, "session": False, "expirationDate": 4102444800.5},
               {"name": "deep", "value": "1", "domain": "127.0.0.1", "hostOnly": True, "path": "/other",
                "secure": False, "session": True}]
        # Today's extension sends the jar (and the line an older Tarnwick reads): over plain http the
        # Secure cookie stays home, as does one for another path. An older one sends the line alone.
        for name, cookies, sent in (("jar", {"cookieJar": jar, "cookies": line}, "theme=dark"),
                                    ("line", {"cookies": line}, line)):
            with self.subTest(name):
                asked = len(self.server.requests)
                message = {"type": "download", "url": self.server.base + "/dl/f.bin", "filename": name + ".bin",
                           **cookies}
                [reply] = self.host(CHROMIUM, [frame(message)])
                self.assertTrue(reply["ok"], reply)
                self.wait_done([os.path.join(self.folder, name + ".bin")])
                self.assertEqual([header(r, "Cookie") for r in self.server.requests[asked:]], [sent])
        # From https to plain http on the same host: the Secure cookie stays with https, and the
        # older line does not follow at all.
        pki = Pki(self.local("pki"))
        tls = pki.server("secure")
        cases = (("jar2", {"cookieJar": jar, "cookies": line}, ("sid=s3cr3t; theme=dark", "theme=dark")),
                 ("line2", {"cookies": line}, (line, None)))
        for name, cookies, sent in cases:
            with self.subTest(name):
                asked = len(self.server.requests)
                secure = Recorder("127.0.0.1", lambda asked: ("HTTP/1.1 302 Found\r\nLocation: %s/f.bin\r\n"
                                                               "Content-Length: 0\r\n\r\n" % self.server.base
                                                               ).encode(), tls=tls)
                self.addCleanup(secure.sock.close)
                message = {"type": "download", "url": secure.base + "/dl/f.bin", "filename": name + ".bin", **cookies}
                [reply] = self.host(CHROMIUM, [frame(message)], {"SSL_CERT_FILE": pki.ca})
                self.assertTrue(reply["ok"], reply)
                self.wait_done([os.path.join(self.folder, name + ".bin")])
                self.assertEqual([header(r, "Cookie") for r in secure.requests], [sent[0]])
                self.assertEqual([header(r, "Cookie") for r in self.server.requests[asked:]], [sent[1]])

    def test_save_as_proposes_the_browsers_name_when_asked_for(self):
        self.gate.set()
        self.store.set("Config", "BrowserAsk", 1)
        message = {"type": "download", "url": self.server.base + "/dl?id=3", "filename": "report.pdf"}
        [reply] = self.host(CHROMIUM, [frame(message)])
        self.assertTrue(reply["ok"], reply)
        # Without a terminal the question is answered with the name proposed, in the working folder.
        self.wait_done([self.local("report.pdf")])
        self.assertEqual(os.listdir(self.folder), [])

    def test_several_links_run_as_one_batch_under_names_of_their_own(self):
        self.gate.set()
        items = [{"url": self.server.base + "/a/%s" % n} for n in ("one.bin", "two.bin")]
        items.append({"url": self.server.base + "/b/one.bin"})
        [reply] = self.host(FIREFOX, [frame({"type": "links", "items": items})])
        self.assertTrue(reply["ok"], reply)
        self.assertEqual(len(reply["ids"]), 3)  # a slot may come again once its download is done
        # The browser starts a host for each message: two at once with the same name.
        message = frame({"type": "download", "url": self.server.base + "/c", "filename": "same.bin"})
        hosts = [threading.Thread(target=self.host, args=(CHROMIUM, [message])) for _ in range(2)]
        for h in hosts:
            h.start()
        for h in hosts:
            h.join()
        self.wait_done([os.path.join(self.folder, n) for n in ("one.bin", "two.bin", "one.bin.1", "same.bin",
                                                                 "same.bin.1")])

    def test_a_download_from_the_browser_waits_for_its_turn(self):
        self.store.set("Config", "MaxActive", 1)
        download = lambda i: frame({"type": "download", "url": self.server.base + "/f%d" % i, "filename": "f%d.bin" % i})
        [first] = self.host(CHROMIUM, [download(0)])
        deadline = time.monotonic() + 20
        while not self.server.requests and time.monotonic() < deadline:
            time.sleep(0.02)
        # The first holds the only place (its reply is held back): the second waits in line.
        [second] = self.host(CHROMIUM, [download(1)])
        self.assertTrue(second["ok"], second)
        slot, state = second["id"][1:], None
        while time.monotonic() < deadline and state in (None, "queued", "starting"):
            rows = json.loads(subprocess.run([EXE, "--list", "--json"], capture_output=True, timeout=30,
                                             env=terminal_env(self.home)).stdout)
            state = next((r["state"] for r in rows if r["slot"] == slot), None)
            time.sleep(0.05)
        self.assertEqual((state, len(self.server.requests)), ("pending", 1), first)
        self.gate.set()
        self.wait_done([os.path.join(self.folder, "f0.bin"), os.path.join(self.folder, "f1.bin")])

    def test_a_redirected_download_is_fetched_under_its_name(self):
        self.gate.set()

        def reply(asked):
            if srv.requests[-1].startswith("GET /r/"):
                return b"HTTP/1.1 302 Found\r\nLocation: /files/f.bin\r\nContent-Length: 0\r\n\r\n"
            return body_reply(self.data, asked)
        srv = Recorder("127.0.0.1", reply)
        self.addCleanup(srv.sock.close)
        [answer] = self.host(CHROMIUM, [frame({"type": "download", "url": srv.base + "/r/f.bin"})])
        self.assertTrue(answer["ok"], answer)
        self.wait_done([os.path.join(self.folder, "f.bin")])
        self.assertEqual([r.split(" ")[1] for r in srv.requests], ["/r/f.bin", "/files/f.bin"])

    def test_a_redirected_download_whose_file_cannot_be_had_stays_queued(self):
        held = threading.Event()
        self.addCleanup(held.set)
        srv = Recorder("127.0.0.1", lambda asked: (held.wait(20), b"HTTP/1.1 302 Found\r\nLocation: /files/f.bin\r\n"
                                                                 b"Content-Length: 0\r\n\r\n")[1])
        self.addCleanup(srv.sock.close)
        [answer] = self.host(CHROMIUM, [frame({"type": "download", "url": srv.base + "/r/f.bin"})])
        self.assertTrue(answer["ok"], answer)
        slot = answer["id"][1:]
        deadline = time.monotonic() + 20
        while not srv.requests and time.monotonic() < deadline:
            time.sleep(0.02)
        # The file turns into a link while the server answers: no file to write for the new address.
        path = os.path.join(self.folder, "f.bin")
        os.remove(path)
        os.symlink("elsewhere", path)
        held.set()
        while self.store.section("Running") and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.store.section("Running"), {})
        self.assertEqual(self.queue().get("Get" + slot), srv.base + "/r/f.bin")

    def test_names_the_file_system_cannot_take_are_shortened_keeping_the_extension(self):
        self.gate.set()
        message = {"type": "download", "url": self.server.base + "/dl", "filename": "n" * 5000 + ".pdf"}
        [reply] = self.host(CHROMIUM, [frame(message)])
        self.assertTrue(reply["ok"], reply)
        self.wait_done([os.path.join(self.folder, "n" * 251 + ".pdf")])

    def test_the_browsers_own_placeholder_is_no_reason_for_another_name(self):
        # Firefox keeps an empty file at the name it chose until it lets go of its download,
        # which it does once the host has answered.
        self.gate.set()
        placeholder = os.path.join(self.folder, "slow20.bin")
        open(placeholder, "wb").close()
        message = {"type": "download", "url": self.server.base + "/dl", "filename": "slow20.bin",
                   "browserFile": placeholder}
        [reply] = self.host(FIREFOX, [frame(message)])
        self.assertTrue(reply["ok"], reply)
        time.sleep(0.5)
        os.remove(placeholder)
        self.wait_done([placeholder])
        self.assertEqual(os.listdir(self.folder), ["slow20.bin"])

    def test_install_for_the_user_names_this_program_and_our_extension(self):
        r = subprocess.run([EXE, "--install-browser-host"], capture_output=True, timeout=30,
                           env=terminal_env(self.home, {"HOME": self.home}))
        self.assertEqual(r.returncode, 0, r.stderr)
        for folder, key, allowed in (("chromium/NativeMessagingHosts", "allowed_origins", CHROMIUM),
                                     ("google-chrome/NativeMessagingHosts", "allowed_origins", CHROMIUM),
                                     (".mozilla/native-messaging-hosts", "allowed_extensions", FIREFOX[1:])):
            path = os.path.join(self.home, folder, "com.quillfern.tarnwick.json")  # XDG_CONFIG_HOME is home
            self.assertIn(path, r.stdout.decode())
            with open(path) as f:
                manifest = json.load(f)
            self.assertEqual((manifest["name"], manifest["path"], manifest["type"], manifest[key]),
                             ("com.quillfern.tarnwick", os.path.realpath(EXE), "stdio", allowed))


if __name__ == "__main__":
    unittest.main()
