#!/usr/bin/env python3
"""Several connections per download, side by side in interleaved rounds, every file
compared byte for byte with the served one:

- limited: nginx with `limit_rate 2m` (each connection 2 MB/s), a 32 MiB file:
  `tarnwick -n 8` against `aria2c -x 8 -s 8 -k 1M`, and tarnwick's default against curl.
- unlimited: nginx without a limit, a 1 GiB file: tarnwick's default against
  `tarnwick --connections 1`.
- capped: nginx without a limit, a 16 MiB file fetched at `--limit-rate 4M` by tarnwick
  and by curl: the limit must hold its time without spending the processor (the CPU time
  is printed beside the wall time).

Prints the median wall time of each command and the ratios the goals name.

  bench/pieces.py [--exe build/tarnwick] [--rounds 3] [--parts limited,unlimited,capped] [--dir /tmp/...]
"""

import os
import shutil
import statistics

from common import arg_parser, executable, installed, make_file, terminal_home, timed
from flaky import first_difference
from servers import Nginx, Store  # on the path once common is imported

MIB = 1 << 20
PARTS = {"limited": (32, "    limit_rate 2m;"), "unlimited": (1024, ""), "capped": (16, "")}


def commands(exe, url, out, home):
    tenv = terminal_home(home, "Proxy")
    store = Store(home)

    def tarnwick(*options):
        def run():
            # Each run starts afresh: an entry kept by an earlier run is no resume point.
            for name in store.section("FileQueue"):
                store.delete("FileQueue", name)
            return [exe, "-q", *options, "-o", out, url], tenv
        return run

    d, o = os.path.dirname(out), os.path.basename(out)
    return {
        "tarnwick -n 8": tarnwick("-n", "8"),
        "tarnwick": tarnwick(),
        "tarnwick --connections 1": tarnwick("--connections", "1"),
        "tarnwick --limit-rate 4M": tarnwick("--limit-rate", "4M"),
        "aria2c -x 8 -s 8 -k 1M": lambda: (["aria2c", "-q", "-x", "8", "-s", "8", "-k", "1M", "--file-allocation=none",
                                            "--allow-overwrite=true", "-d", d, "-o", o, url], None),
        "curl": lambda: (["curl", "-s", "-o", out, url], None),
        "curl --limit-rate 4M": lambda: (["curl", "-s", "--limit-rate", "4M", "-o", out, url], None),
    }


def run_part(args, exe, work, part):
    size_mb, extra = PARTS[part]
    www, dl, home = (os.path.join(work, part, x) for x in ("www", "dl", "home"))
    for x in (www, dl, home):
        os.makedirs(x, exist_ok=True)
    served, out = os.path.join(www, "file.bin"), os.path.join(dl, "file.bin")
    if not os.path.exists(served) or os.path.getsize(served) != size_mb * MIB:
        make_file(served, size_mb * MIB)
    nginx = Nginx(os.path.join(work, part, "nginx"), www, extra).start()
    names = {"limited": ["tarnwick -n 8", "aria2c -x 8 -s 8 -k 1M", "tarnwick", "curl"],
             "unlimited": ["tarnwick", "tarnwick --connections 1"],
             "capped": ["tarnwick --limit-rate 4M", "curl --limit-rate 4M"]}[part]
    every = commands(exe, nginx.url("/file.bin"), out, home)
    tools = {n: every[n] for n in names if n.startswith("tarnwick") or installed(n.split()[0])}
    walls, cpus = {n: [] for n in tools}, {n: [] for n in tools}
    try:
        for r in range(args.rounds):
            for name, command in tools.items():
                if os.path.exists(out):
                    os.remove(out)
                argv, env = command()
                status, wall, cpu, _ = timed(argv, env=env, cwd=dl, timeout=600)
                fault = first_difference(out, served)
                if status == 0 and fault is None:
                    walls[name].append(wall)
                    cpus[name].append(cpu)
                print("%s round %d %-26s wall %7.2fs  cpu %6.3fs  exit %d  %s"
                      % (part, r + 1, name, wall, cpu, status, fault or "byte-identical"), flush=True)
    finally:
        nginx.stop()
        if os.path.exists(out):
            os.remove(out)
    med = {n: statistics.median(w) for n, w in walls.items() if w}
    print()
    print("%s: %d MiB, nginx %s, %d rounds (median wall s and CPU s of byte-identical runs)"
          % (part, size_mb, extra.strip() or "without a limit", args.rounds))
    for n in tools:
        print("  %-26s %8s %8s  (%d of %d byte-identical)"
              % (n, "%.2f" % med[n] if n in med else "-", "%.3f" % statistics.median(cpus[n]) if cpus[n] else "-",
                 len(walls[n]), args.rounds))
    def ratio(a, b):
        if a in med and b in med:
            print("  %s / %s: %.2f" % (a, b, med[a] / med[b]))
    if part == "limited":
        ratio("tarnwick -n 8", "aria2c -x 8 -s 8 -k 1M")
        ratio("tarnwick", "curl")
    else:
        ratio("tarnwick", "tarnwick --connections 1")
    print(flush=True)


def main():
    ap = arg_parser()
    ap.set_defaults(rounds=3)
    ap.add_argument("--parts", default="limited,unlimited,capped", help="comma-separated: limited, unlimited, capped")
    args = ap.parse_args()
    exe = executable(args)
    work = args.dir or __import__("tempfile").mkdtemp(prefix="tarnwick-bench-pieces-")
    try:
        for part in args.parts.split(","):
            run_part(args, exe, work, part)
    finally:
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
