"""What the browser tests share: a network namespace of their own, and the site whose files
are given only to a session that has visited its page."""

import fcntl
import http.server
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time

MiB = 1 << 20


def isolate(script):
    """Runs script (the calling test module) again in a network namespace of its own, where only
    loopback is up: the browser's own background requests never leave the machine. True once
    there; False when no namespace can be had."""
    if os.environ.get("TARNWICK_BROWSER_ISOLATED") == "1":
        with socket.socket() as s:
            flags = struct.unpack("16sH", fcntl.ioctl(s, 0x8913, struct.pack("16sH", b"lo", 0)))[1]  # SIOCGIFFLAGS
            fcntl.ioctl(s, 0x8914, struct.pack("16sH", b"lo", flags | 1))  # SIOCSIFFLAGS: IFF_UP
        return True
    unshare = shutil.which("unshare")
    if not unshare or subprocess.run([unshare, "-n", "true"], capture_output=True).returncode != 0:
        return False
    os.environ["TARNWICK_BROWSER_ISOLATED"] = "1"
    os.execv(unshare, [unshare, "-n", sys.executable, os.path.abspath(script), *sys.argv[1:]])


class Site(http.server.ThreadingHTTPServer):
    """The page sets a session cookie; its files are given only with that cookie and the page
    as referrer. Every request's path and headers are logged."""

    daemon_threads = True

    def __init__(self, pace=0.0):
        super().__init__(("127.0.0.1", 0), SiteHandler)
        # Seconds between 64 KiB blocks of a file, as a remote server's would come; 0 at once.
        self.pace = pace
        self.ready = threading.Event()  # /click-big clicks its link once set
        self.hold = threading.Event()  # Tarnwick's requests for files wait until it is set
        self.hold.set()
        self.base = "http://127.0.0.1:%d" % self.server_port
        self.session = "s%08x" % random.getrandbits(32)
        self.files = {"big.bin": random.Random(1).randbytes(3 * MiB), "small.bin": random.Random(2).randbytes(100_000)}
        self.log = []
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def pages(self):
        return (self.base + "/", self.base + "/click-big")

    def requests(self, name):
        return [h for p, h in self.log if p == "/files/" + name]


class SiteHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        site = self.server
        site.log.append((self.path, {k.lower(): v for k, v in self.headers.items()}))
        if self.path == "/click-big" and not site.ready.is_set():
            # A browser without a driver waits here until the extension is in.
            self.reply(200, b'<meta http-equiv="refresh" content="0.5">', "text/html")
        elif self.path in ("/", "/click-big"):
            links = "".join('<p><a id="%s" href="/files/%s">%s</a></p>' % (n.split(".")[0], n, n) for n in site.files)
            if self.path == "/click-big":
                links += '<script>setTimeout(() => document.getElementById("big").click(), 500)</script>'
            self.reply(200, links.encode(), "text/html", ("Set-Cookie", "sid=%s; Path=/; HttpOnly" % site.session))
        elif self.path.startswith("/files/") and self.path[7:] in site.files:
            if self.headers.get("Cookie") != "sid=" + site.session or self.headers.get("Referer") not in site.pages():
                return self.reply(403, b"login first", "text/plain")
            if "Sec-Fetch-Mode" not in self.headers:
                site.hold.wait(30)
            self.reply(200, site.files[self.path[7:]], "application/octet-stream",
                       ("Content-Disposition", 'attachment; filename="%s"' % self.path[7:]), pace=site.pace)
        else:
            self.reply(404, b"", "text/plain")

    def reply(self, status, body, kind, *headers, pace=0.0):
        self.send_response(status)
        for name, value in (("Content-Type", kind), ("Content-Length", str(len(body))), *headers):
            self.send_header(name, value)
        self.end_headers()
        step = 1 << 16 if pace else max(len(body), 1)
        try:
            for i in range(0, len(body), step):
                self.wfile.write(body[i:i + step])
                if pace:
                    self.wfile.flush()
                    time.sleep(pace)
        except (BrokenPipeError, ConnectionResetError):
            pass  # a download the browser gave up once Tarnwick had it

    def log_message(self, *args):
        pass
