# Loopback server for the pictures: /private asks for Basic credentials, /slow trickles a
# large file so that a session stays busy.
import http.server, socketserver, sys, time
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        if self.path.startswith("/slow"):
            self.send_response(200)
            self.send_header("Content-Type", "application/zip")
            self.send_header("Content-Length", str(64 << 20))
            self.send_header("Last-Modified", "Mon, 01 Dec 2025 10:00:00 GMT")
            self.end_headers()
            try:
                for i in range(600):
                    self.wfile.write(b"x" * 300000)
                    time.sleep(0.1)
            except Exception:
                pass
            return
        self.send_response(401)
        self.send_header("WWW-Authenticate", 'Basic realm="Reports"')
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *a): pass
class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
srv = S(("127.0.0.1", 0), H)
open(sys.argv[1], "w").write(str(srv.server_address[1]))
srv.serve_forever()
