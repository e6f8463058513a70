#!/usr/bin/env python3
"""Every figure of tarnwick as a ratio to curl's, from one run: for HTTP, FTP and HTTPS,
the median wall time, CPU time (user + system) and peak memory of a download over
loopback (interleaved rounds), and the time from start to the first request byte (a bare
loopback listener; for FTP after its greeting). Targets: wall <= 0.7, CPU <= 0.5, peak
memory <= 1.0, first request byte <= 1.0.

  bench/compare.py [--exe build/tarnwick] [--rounds 3] [--size-mb 1024] [--latency-runs 10]
      [--protocols http,ftp,https] [--cipher TLS_AES_128_GCM_SHA256]
"""

import importlib.util
import os
import shutil
import statistics
import tempfile

from common import (arg_parser, download_tools, executable, first_request_byte, medians, prepare_work,
                    run_rounds, start_client, HERE)

TARGETS = {"wall": 0.7, "cpu": 0.5, "peak": 1.0, "first byte": 1.0}


def protocol_module(name):
    # Loaded by path: "http" is also a standard module.
    found = importlib.util.spec_from_file_location("bench_" + name, os.path.join(HERE, name + ".py"))
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


def measure(proto, args, exe, work_root):
    mod = protocol_module(proto)
    args.dir = os.path.join(work_root, proto)
    work, root, dl, home, size = prepare_work(args, proto, mod.SERVED_DIR)
    server, url, tenv = mod.serve(args, work, root, home)
    out = os.path.join(dl, "file.bin")
    tools = download_tools(exe, url, out, dl, tenv, ("tarnwick", "curl"))
    results = run_rounds(tools, args.rounds, out, size, server, peak=True)
    med = medians(results)
    http = protocol_module("http")
    scheme = proto
    first = {
        "tarnwick": http.tarnwick_first_byte(exe, scheme, tenv, home, dl, args.latency_runs, mod.GREETING),
        "curl": first_request_byte(
            lambda port: start_client(["curl", "-sS", "-o", os.path.join(dl, "latency.bin"),
                                       "%s://127.0.0.1:%d/latency.bin" % (scheme, port)]),
            args.latency_runs, mod.GREETING),
    }
    return med, {tool: statistics.median(t) for tool, t in first.items()}


def main():
    ap = arg_parser()
    ap.set_defaults(rounds=3)
    ap.add_argument("--latency-runs", type=int, default=10)
    ap.add_argument("--protocols", default="http,ftp,https")
    protocol_module("https").add_options(ap)
    args = ap.parse_args()
    exe = executable(args)
    work_root = tempfile.mkdtemp(prefix="tarnwick-bench-compare-")
    rows = []
    try:
        for proto in args.protocols.split(","):
            print("== %s" % proto, flush=True)
            med, first = measure(proto, args, exe, work_root)
            if "tarnwick" not in med or "curl" not in med:
                print("%s: no counted run of both tools" % proto)
                continue
            t, c = med["tarnwick"], med["curl"]
            rows.append((proto, {"wall": t[0] / c[0], "cpu": t[1] / c[1], "peak": t[2] / c[2],
                                 "first byte": first["tarnwick"] / first["curl"]}, t, c, first))
    finally:
        shutil.rmtree(work_root, ignore_errors=True)

    print()
    print("%d MiB over loopback, %d rounds, medians; first request byte %d runs, medians"
          % (args.size_mb, args.rounds, args.latency_runs))
    print("ratio to curl (target)  " + "".join("%14s" % ("%s (%.1f)" % (k, v)) for k, v in TARGETS.items()))
    for proto, ratio, _, _, _ in rows:
        print("%-24s" % proto + "".join("%13.2f%s" % (ratio[k], " " if ratio[k] <= TARGETS[k] else "!")
                                         for k in TARGETS))
    print()
    print("%-8s %-9s %9s %9s %10s %12s" % ("protocol", "tool", "wall s", "cpu s", "peak KiB", "1st byte ms"))
    for proto, _, t, c, first in rows:
        for name, m in (("tarnwick", t), ("curl", c)):
            print("%-8s %-9s %9.3f %9.3f %10d %12.1f" % (proto, name, m[0], m[1], m[2], first[name]))
    print("(! marks a ratio over its target)")


if __name__ == "__main__":
    main()
