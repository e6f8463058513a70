#!/usr/bin/env python3
"""HTTP download benchmark: one file served by a local nginx, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal) and by curl, wget and aria2c
(a tool that is missing is skipped). Prints the median wall and CPU (user + system) time
and peak memory of each tool and its ratios to curl's, and tarnwick's time from start to
its first request byte.

  bench/http.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import os
import shutil
import statistics

from common import TOOLS, arg_parser, first_request_byte, run_benchmark, start_client, terminal_home
from servers import Nginx, Store  # on the path once common is imported

SERVED_DIR = "www"
GREETING = b""


def serve(args, work, www, home):
    """The running server, the URL of its file and tarnwick's environment."""
    tenv = terminal_home(home, "Proxy")
    nginx = Nginx(os.path.join(work, "nginx"), www).start()
    return nginx, nginx.url("/file.bin"), tenv


def tarnwick_first_byte(exe, scheme, tenv, home, dl, runs, greeting=GREETING):
    """tarnwick's first request byte against a bare listener, per run in milliseconds; the
    killed sessions' queue entries are removed after each."""
    out = os.path.join(dl, "latency.bin")
    store = Store(home)

    def forget():
        for name in store.section("FileQueue"):
            store.delete("FileQueue", name)
        if os.path.exists(out):
            os.remove(out)

    return first_request_byte(lambda port: start_client([exe, "%s://127.0.0.1:%d/latency.bin" % (scheme, port)],
                                                        (out + "\n").encode(), env=tenv, cwd=dl),
                              runs, greeting, forget)


def main():
    ap = arg_parser()
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset to run")
    ap.add_argument("--latency-runs", type=int, default=10, help="runs of the first-request-byte measure")
    args = ap.parse_args()
    exe, tenv, home, dl, work = run_benchmark(args, "http", SERVED_DIR, serve, "loopback", args.tools.split(","))
    if args.latency_runs > 0:
        times = tarnwick_first_byte(exe, "http", tenv, home, dl, args.latency_runs)
        print()
        print("tarnwick start to first request byte, %d runs: median %.1f ms, max %.1f ms"
              % (len(times), statistics.median(times), max(times)))
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
