#!/usr/bin/env python3
"""FTP download benchmark: one file served by a local vsftpd, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal, active data connection) and by
curl, wget and aria2c (a tool that is missing is skipped). Prints the median wall and CPU
(user + system) time and peak memory of each tool and its ratios to curl's. vsftpd needs
root.

  bench/ftp.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import os
import shutil

from common import arg_parser, run_benchmark, terminal_home
from ftp_servers import Vsftpd  # on the path once common is imported

SERVED_DIR = "root"
GREETING = b"220 ready\r\n"  # what an FTP client waits for before its first byte


def serve(args, work, root, home):
    """The running server, the URL of its file and tarnwick's environment."""
    tenv = terminal_home(home, "ProxyFTP")
    server = Vsftpd(os.path.join(work, "vsftpd"), root).start()
    return server, server.url("/file.bin"), tenv


def main():
    args = arg_parser().parse_args()
    work = run_benchmark(args, "ftp", SERVED_DIR, serve, "loopback FTP")[4]
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
