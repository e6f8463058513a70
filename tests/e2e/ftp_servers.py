"""Real FTP servers for the end-to-end tests and the benchmarks: vsftpd (anonymous, active
and passive data), pyftpdlib (a user login) and the ftp-proxy package, each in the
foreground on a free loopback port with its configuration in a directory of its own."""

import os
import shutil

from servers import _Server, read_text


class Vsftpd(_Server):
    """vsftpd serving `root` to anonymous users. It runs as root in the foreground and
    drops to the system's ftp user for each session; `max_rate` (bytes/s, 0 none) paces
    every transfer."""

    binary = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
    scheme = "ftp"

    def __init__(self, workdir, root, max_rate=0, ipv6=False, extra=""):
        self.host = "::1" if ipv6 else "127.0.0.1"
        super().__init__(workdir)
        self.root = root
        empty = os.path.join(workdir, "empty")
        os.makedirs(empty, exist_ok=True)
        # After the chroot the served folder must be readable, and not writable, by the ftp user.
        for d in (root, empty):
            os.chmod(d, 0o755)
        self.log_file = os.path.join(workdir, "vsftpd.log")
        self.conf = os.path.join(workdir, "vsftpd.conf")
        with open(self.conf, "w") as f:
            listen = ("listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n" if ipv6 else
                      "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\npasv_address=127.0.0.1\n")
            f.write(listen + f"""listen_port={self.port}
background=NO
anonymous_enable=YES
anon_root={root}
ftp_username=ftp
local_enable=NO
write_enable=NO
pasv_enable=YES
port_enable=YES
connect_from_port_20=NO
seccomp_sandbox=NO
secure_chroot_dir={empty}
anon_max_rate={max_rate}
xferlog_enable=YES
log_ftp_protocol=YES
dual_log_enable=YES
vsftpd_log_file={self.log_file}
""" + extra)

    def start(self):
        self._launch([self.binary, self.conf], os.path.join(self.dir, "stdout.log"))
        return self

    def commands(self):
        """The FTP commands received so far, in order."""
        return [line.split('", "', 1)[1].rstrip('"') for line in read_text(self.log_file).splitlines()
                if "FTP command:" in line]


class Pyftpd(_Server):
    """pyftpdlib's own server with one user and no anonymous login."""

    python = "/usr/bin/python3"
    scheme = "ftp"

    def __init__(self, workdir, root, user, password):
        super().__init__(workdir)
        self.root = root
        self.user, self.password = user, password

    @classmethod
    def available(cls):
        import subprocess
        return os.access(cls.python, os.X_OK) and subprocess.run(
            [cls.python, "-c", "import pyftpdlib"], capture_output=True).returncode == 0

    def start(self):
        self._launch([self.python, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(self.port), "-d", self.root,
                      "-u", self.user, "-P", self.password], os.path.join(self.dir, "pyftpd.log"))
        return self


class FtpProxy(_Server):
    """The ftp-proxy package, standalone in the foreground, taking the server from
    "USER user@host[:port]"."""

    binary = shutil.which("ftp-proxy") or "/usr/sbin/ftp-proxy"

    def __init__(self, workdir, default_port):
        super().__init__(workdir)
        self.log_file = os.path.join(workdir, "ftp-proxy.log")
        self.conf = os.path.join(workdir, "ftp-proxy.conf")
        with open(self.conf, "w") as f:
            f.write(f"""[-Global-]
Listen 127.0.0.1
Port {self.port}
ServerType standalone
AllowMagicUser yes
DestinationAddress 127.0.0.1
DestinationPort {default_port}
LogDestination {self.log_file}
LogLevel INF
PidFile {workdir}/ftp-proxy.pid
""")

    def start(self):
        self._launch([self.binary, "-d", "-n", "-f", self.conf], os.path.join(self.dir, "stdout.log"))
        return self

    def log(self):
        return read_text(self.log_file)
