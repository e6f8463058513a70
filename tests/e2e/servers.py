"""Real servers for the end-to-end tests and the benchmarks, each started on a free
loopback port with its whole configuration in a directory of its own, and the helpers
that run the built executable in terminal mode against them."""

import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import time


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, timeout=10.0, host="127.0.0.1"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server exited early with status %s" % proc.returncode)
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server did not listen on port %d within %.0fs" % (port, timeout))


def read_text(path):
    """A server's log as written so far ("" before its first line)."""
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


class _Server:
    """A foreground server process on a free port, with its files in `workdir`; stop() is
    safe to call more than once."""

    proc = None
    port = 0
    scheme = None
    host = "127.0.0.1"  # where it listens; "::1" for IPv6

    def __init__(self, workdir):
        self.dir = workdir
        self.port = free_port(self.host)
        os.makedirs(workdir, exist_ok=True)

    def _launch(self, argv, log_path):
        self._log = open(log_path, "wb")
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self._log,
                                     stderr=subprocess.STDOUT, start_new_session=True)
        try:
            wait_for_port(self.port, self.proc, host=self.host)
        except Exception:
            self.stop()
            raise

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=5)
        if self.proc:
            self._log.close()
        self.proc = None

    def url(self, path):
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "%s://%s:%d%s" % (self.scheme, host, self.port, path)


class Nginx(_Server):
    """nginx in one foreground process (no privilege drop, so it reads the test's
    private temp files), serving `root`; `extra` is added inside the server block."""

    binary = shutil.which("nginx") or "/usr/sbin/nginx"
    scheme = "http"

    def __init__(self, workdir, root, extra="", http_extra=""):
        super().__init__(workdir)
        self.root = root
        os.makedirs(os.path.join(workdir, "logs"), exist_ok=True)
        self.access_log = os.path.join(workdir, "logs", "access.log")
        conf = f"""
master_process off;
daemon off;
worker_processes 1;
pid {workdir}/nginx.pid;
error_log {workdir}/logs/error.log;
events {{ worker_connections 256; }}
http {{
  log_format e2e '$request_method $request_uri $status $body_bytes_sent range=$http_range'
                 ' port=$server_port msec=$msec took=$request_time auth=$http_authorization'
                 ' host=$http_host';
  access_log {self.access_log} e2e;
  client_body_temp_path {workdir}/body;
  proxy_temp_path {workdir}/proxy;
  fastcgi_temp_path {workdir}/fastcgi;
  uwsgi_temp_path {workdir}/uwsgi;
  scgi_temp_path {workdir}/scgi;
  default_type application/octet-stream;
  sendfile on;
{http_extra}
  server {{
    listen 127.0.0.1:{self.port};
    root {root};
{extra}
  }}
}}
"""
        self.conf = os.path.join(workdir, "nginx.conf")
        with open(self.conf, "w") as f:
            f.write(conf)

    def start(self):
        self._launch([self.binary, "-p", self.dir, "-c", self.conf,
                      "-e", os.path.join(self.dir, "logs", "error.log")],
                     os.path.join(self.dir, "logs", "stdout.log"))
        return self

    def log_lines(self):
        # Access log lines are written when each request ends.
        return read_text(self.access_log).splitlines()


class Tinyproxy(_Server):
    """tinyproxy; `connect_ports` are the only ports CONNECT may reach (none named: any);
    `login` ("user", "password") is the only one it lets through."""

    binary = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"

    def __init__(self, workdir, connect_ports=(), login=None):
        super().__init__(workdir)
        self.log_file = os.path.join(workdir, "tinyproxy.log")
        self.conf = os.path.join(workdir, "tinyproxy.conf")
        with open(self.conf, "w") as f:
            f.write(f"""Port {self.port}
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 60
MaxClients 20
LogLevel Info
LogFile "{self.log_file}"
PidFile "{workdir}/tinyproxy.pid"
""")
            for port in connect_ports:
                f.write("ConnectPort %d\n" % port)
            if login:
                f.write("BasicAuth %s %s\n" % login)

    def start(self):
        self._launch([self.binary, "-d", "-c", self.conf], os.path.join(self.dir, "stdout.log"))
        return self


class Pki:
    """A certificate authority and server certificates, made with the openssl command:
    server(...) gives (certificate, key) paths; `ca` is the authority's certificate (the
    file SSL_CERT_FILE names for the program under test)."""

    def __init__(self, workdir, name="Tarnwick Test CA"):
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.ca, self.ca_key = self._authority(name)

    def _openssl(self, *args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _authority(self, name):
        stem = name.replace(" ", "-")
        cert, key = self._path(stem + ".pem"), self._path(stem + "-key.pem")
        self._openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", key, "-out", cert, "-days", "30", "-subj", "/CN=" + name,
                      "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        return cert, key

    def server(self, name, names=("IP:127.0.0.1", "IP:::1", "DNS:localhost"), expired=False, ca=None):
        """A server certificate for `names` (subjectAltName entries), signed by `ca`
        ((cert, key), default this authority), valid now or expired a year ago."""
        ca_cert, ca_key = ca or (self.ca, self.ca_key)
        key, csr, cert = (self._path(name + s) for s in ("-key.pem", ".csr", ".pem"))
        self._openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", key, "-out", csr, "-subj", "/CN=" + name)
        ext, cnf = self._path(name + ".ext"), self._path("ca.cnf")
        with open(ext, "w") as f:
            f.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n" % ",".join(names))
        with open(cnf, "w") as f:
            f.write(f"""[ca]
default_ca = test
[test]
database = {self.dir}/index.txt
new_certs_dir = {self.dir}
serial = {self.dir}/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
""")
        open(self._path("index.txt"), "a").close()
        when = ("-startdate", "20240101000000Z", "-enddate", "20250101000000Z") if expired else ("-days", "30")
        self._openssl("ca", "-batch", "-config", cnf, "-cert", ca_cert, "-keyfile", ca_key, "-in", csr,
                      "-out", cert, "-extfile", ext, "-notext", "-rand_serial", *when)
        return cert, key


class Store:
    """The settings store of one configuration home."""

    def __init__(self, config_home):
        self.path = os.path.join(config_home, "Quillfern", "tarnwick", "settings.db")
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with self._db() as db:
            db.execute("CREATE TABLE IF NOT EXISTS profile(section TEXT NOT NULL, name TEXT NOT NULL,"
                       " value, PRIMARY KEY(section, name))")

    def _db(self):
        db = sqlite3.connect(self.path, timeout=30)
        return db

    def set(self, section, name, value):
        db = self._db()
        with db:
            db.execute("INSERT OR REPLACE INTO profile VALUES(?,?,?)", (section, name, value))
        db.close()

    def delete(self, section, name):
        db = self._db()
        with db:
            db.execute("DELETE FROM profile WHERE section=? AND name=?", (section, name))
        db.close()

    def section(self, section):
        db = self._db()
        try:
            rows = db.execute("SELECT name, value FROM profile WHERE section=?", (section,)).fetchall()
        finally:
            db.close()
        return dict(rows)


PROXY_VARIABLES = ("http_proxy", "https_proxy", "ftp_proxy", "no_proxy")


def terminal_env(config_home, extra=None):
    """The environment of a terminal session: no display, no proxy unless `extra` sets one."""
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", *PROXY_VARIABLES, *(v.upper() for v in PROXY_VARIABLES)):
        env.pop(name, None)
    env["XDG_CONFIG_HOME"] = config_home
    env.update(extra or {})
    return env


def _argv(exe, arg):
    """The command: `arg` is one argument, or a list of them."""
    return [exe, *arg] if isinstance(arg, (list, tuple)) else [exe, arg]


def run_tarnwick(exe, arg, config_home, answers="", timeout=60, cwd=None, env=None):
    """Runs one session to its end with `answers` on standard input (not a terminal)."""
    return subprocess.run(_argv(exe, arg), input=answers.encode(), capture_output=True,
                          env=terminal_env(config_home, env), timeout=timeout, cwd=cwd or config_home)


def start_tarnwick(exe, arg, config_home, answers="", cwd=None, env=None):
    """Starts a session and leaves it running; its output goes to files in config_home."""
    out = open(os.path.join(config_home, "session.out"), "ab")
    proc = subprocess.Popen(_argv(exe, arg), stdin=subprocess.PIPE, stdout=out, stderr=out,
                            env=terminal_env(config_home, env), cwd=cwd or config_home)
    out.close()
    proc.stdin.write(answers.encode())
    proc.stdin.close()
    return proc


def kill_and_reap(proc, timeout=10):
    if proc.poll() is None:
        proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=timeout)
