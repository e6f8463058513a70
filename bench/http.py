#!/usr/bin/env python3
"""HTTP download benchmark: one file served by a local nginx, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal) and by curl, wget and aria2c
(a tool that is missing is skipped). Prints the median wall and CPU (user + system) time
of each tool and its ratios to curl's.

  bench/http.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import os
import shutil
import socket
import statistics
import subprocess
import time

from common import (TOOLS, arg_parser, download_tools, executable, prepare_work, print_medians,
                    run_rounds, terminal_home)
from servers import Nginx  # on the path once common is imported


def first_byte_latency(exe, tenv, dl, runs):
    """Milliseconds from starting a session to its first request byte, per run: a bare
    listener takes the request and answers 404, which ends the session."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    srv.settimeout(10)
    url = "http://127.0.0.1:%d/latency.bin" % srv.getsockname()[1]
    out = os.path.join(dl, "latency.bin")
    times = []
    try:
        for _ in range(runs):
            if os.path.exists(out):
                os.remove(out)
            t0 = time.monotonic()
            proc = subprocess.Popen([exe, url], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, env=tenv, cwd=dl)
            proc.stdin.write((out + "\n").encode())
            proc.stdin.close()
            conn, _ = srv.accept()
            conn.settimeout(10)
            conn.recv(1)
            times.append((time.monotonic() - t0) * 1000)
            conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            conn.close()
            proc.wait(timeout=10)
    finally:
        srv.close()
    return times


def main():
    ap = arg_parser()
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset to run")
    ap.add_argument("--latency-runs", type=int, default=10, help="runs of the first-request-byte measure")
    args = ap.parse_args()
    exe = executable(args)
    work, www, dl, home, size = prepare_work(args, "http", "www")
    tenv = terminal_home(home, "Proxy")

    nginx = Nginx(os.path.join(work, "nginx"), www).start()
    out = os.path.join(dl, "file.bin")
    tools = download_tools(exe, nginx.url("/file.bin"), out, dl, tenv, args.tools.split(","))
    results = run_rounds(tools, args.rounds, out, size, nginx, peak=True)
    print_medians(results, "loopback", args.size_mb, args.rounds, peak=True)
    if args.latency_runs > 0:
        times = first_byte_latency(exe, tenv, dl, args.latency_runs)
        print()
        print("tarnwick start to first request byte, %d runs: median %.1f ms, max %.1f ms"
              % (len(times), statistics.median(times), max(times)))
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
