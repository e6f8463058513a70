# Loopback server for the pictures: /private asks for Basic credentials, /slow/<name> trickles
# a large file (ranges honoured) so that a session stays busy, /broken/<name> sends a part of
# its file and then drops the connection, /quick/<name> sends 3 MiB in under three seconds,
# /missing/<name> is not found.
import http.server, re, socketserver, sys, time

SIZE = 640 << 20
LAST_MODIFIED = "Mon, 01 Dec 2025 10:00:00 GMT"


class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/quick/"):
            self.send_response(200)
            self.send_header("Content-Length", str(3 << 20))
            self.end_headers()
            for i in range(12):
                self.wfile.write(b"q" * (1 << 18))
                time.sleep(0.2)
            return
        if self.path.startswith(("/slow/", "/broken/")):
            start = 0
            m = re.match(r"bytes=(\d+)-", self.headers.get("Range", ""))
            if m and int(m.group(1)) < SIZE:
                start = int(m.group(1))
                self.send_response(206)
                self.send_header("Content-Range", f"bytes {start}-{SIZE - 1}/{SIZE}")
            else:
                self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(SIZE - start))
            self.send_header("Last-Modified", LAST_MODIFIED)
            self.end_headers()
            broken = self.path.startswith("/broken/")
            try:
                for i in range(25 if broken else 3000):
                    self.wfile.write(b"x" * 400000)
                    time.sleep(0.1)
            except Exception:
                pass
            self.close_connection = True
            return
        if self.path.startswith("/missing/"):
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="Reports"')
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *a):
        pass


class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


srv = S(("127.0.0.1", 0), H)
open(sys.argv[1], "w").write(str(srv.server_address[1]))
srv.serve_forever()
