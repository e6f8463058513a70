#!/usr/bin/env python3
"""FTP download benchmark: one file served by a local vsftpd, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal, active data connection) and by
curl, wget and aria2c (a tool that is missing is skipped). Prints the median wall and CPU
(user + system) time of each tool and its ratios to curl's. vsftpd needs root.

  bench/ftp.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import os
import shutil

from common import arg_parser, download_tools, executable, prepare_work, print_medians, run_rounds, terminal_home
from ftp_servers import Vsftpd  # on the path once common is imported


def main():
    args = arg_parser().parse_args()
    exe = executable(args)
    work, root, dl, home, size = prepare_work(args, "ftp", "root")
    tenv = terminal_home(home, "ProxyFTP")

    server = Vsftpd(os.path.join(work, "vsftpd"), root).start()
    out = os.path.join(dl, "file.bin")
    tools = download_tools(exe, server.url("/file.bin"), out, dl, tenv)
    results = run_rounds(tools, args.rounds, out, size, server, peak=False)
    print_medians(results, "loopback FTP", args.size_mb, args.rounds, peak=False)
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
