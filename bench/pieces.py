#!/usr/bin/env python3
"""Several connections per download, side by side in interleaved rounds, every file
compared byte for byte with the served one:

- limited: nginx with `limit_rate 2m` (each connection 2 MB/s), a 32 MiB file:
  `tarnwick -n 8` against `aria2c -x 8 -s 8 -k 1M`, and tarnwick's default against curl.
- unlimited: nginx without a limit, a 1 GiB file: tarnwick's default against
  `tarnwick --connections 1`.
- mirrors: two nginx, each limited to one connection at 2 MB/s, a 32 MiB file: a mirror
  list of both against a list of one.
- slow mirror: a 16 MiB file on two nginx, one at 2 MB/s a connection, one at 20 KB/s: a
  list of both against the fast one alone (the slow site must never hold the end).
- slow first: a 16 MiB file on two nginx, the first in the list at 20 KB/s a connection, the
  second at 2 MB/s, neither limiting connections, against the fast one alone: the list's
  order must not decide the speed (goal: at most 1.3 times the fast one alone plus one second).
- capped: nginx without a limit, a 16 MiB file fetched at `--limit-rate 4M` by tarnwick
  and by curl: the limit must hold its time without spending the processor.

Prints the median wall and CPU time of each command and the ratios the goals name.

  bench/pieces.py [--exe build/tarnwick] [--rounds 3] [--parts limited,unlimited,mirrors,slowmirror,slowfirst,capped] [--dir /tmp/...]
"""

import os
import shutil
import statistics

from common import arg_parser, executable, installed, make_file, terminal_home
from flaky import fetch_once
from servers import Nginx, Store  # on the path once common is imported

MIB = 1 << 20
# size in MiB, the server block's limits, how many servers
PARTS = {"limited": (32, "    limit_rate 2m;", 1), "unlimited": (1024, "", 1),
         "mirrors": (32, "    limit_rate 2m;\n    limit_conn site 1;", 2), "capped": (16, "", 1),
         # each server's own limit, in list order
         "slowmirror": (16, ["    limit_rate 2m;\n    limit_conn site 1;", "    limit_rate 20k;\n    limit_conn site 1;"], 2),
         "slowfirst": (16, ["    limit_rate 20k;", "    limit_rate 2m;"], 2)}
# The server a list of one names (the fast one), when not the first.
ALONE = {"slowfirst": 1}
# Goals as (name, than, factor, seconds): name's median at most factor times than's plus seconds.
GOALS = {"slowfirst": [("tarnwick, a list of two", "tarnwick, a list of one", 1.3, 1.0)]}


def commands(exe, url, out, home, lists):
    tenv = terminal_home(home, "Proxy")
    store = Store(home)

    def tarnwick(*options, target=url):
        def run():
            # Each run starts afresh: an entry kept by an earlier run is no resume point.
            for name in store.section("FileQueue"):
                store.delete("FileQueue", name)
            return [exe, "-q", *options, "-o", out, target], tenv
        return run

    d, o = os.path.dirname(out), os.path.basename(out)
    return {
        "tarnwick -n 8": tarnwick("-n", "8"),
        "tarnwick": tarnwick(),
        "tarnwick --connections 1": tarnwick("--connections", "1"),
        "aria2c -x 8 -s 8 -k 1M": lambda: (["aria2c", "-q", "-x", "8", "-s", "8", "-k", "1M", "--file-allocation=none",
                                            "--allow-overwrite=true", "-d", d, "-o", o, url], None),
        "curl": lambda: (["curl", "-s", "-o", out, url], None),
        "tarnwick --limit-rate 4M": tarnwick("--limit-rate", "4M"),
        "curl --limit-rate 4M": lambda: (["curl", "-s", "--limit-rate", "4M", "-o", out, url], None),
        "tarnwick, a list of two": tarnwick(target=lists[-1]),
        "tarnwick, a list of one": tarnwick(target=lists[0]),
    }


NAMES = {"limited": ["tarnwick -n 8", "aria2c -x 8 -s 8 -k 1M", "tarnwick", "curl"],
         "unlimited": ["tarnwick", "tarnwick --connections 1"],
         "mirrors": ["tarnwick, a list of two", "tarnwick, a list of one"],
         "slowmirror": ["tarnwick, a list of two", "tarnwick, a list of one"],
         "slowfirst": ["tarnwick, a list of two", "tarnwick, a list of one"],
         "capped": ["tarnwick --limit-rate 4M", "curl --limit-rate 4M"]}
RATIOS = {"limited": [("tarnwick -n 8", "aria2c -x 8 -s 8 -k 1M"), ("tarnwick", "curl")],
          "unlimited": [("tarnwick", "tarnwick --connections 1")],
          "mirrors": [("tarnwick, a list of two", "tarnwick, a list of one")],
          "slowmirror": [("tarnwick, a list of two", "tarnwick, a list of one")],
          "slowfirst": [("tarnwick, a list of two", "tarnwick, a list of one")],
          "capped": []}


def run_part(args, exe, work, part):
    size_mb, extra, count = PARTS[part]
    www, dl, home = (os.path.join(work, part, x) for x in ("www", "dl", "home"))
    for x in (www, dl, home):
        os.makedirs(x, exist_ok=True)
    served, out = os.path.join(www, "file.bin"), os.path.join(dl, "file.bin")
    if not os.path.exists(served) or os.path.getsize(served) != size_mb * MIB:
        make_file(served, size_mb * MIB)
    # limit_conn counts each server's connections: one zone keyed by the port.
    extras = extra if isinstance(extra, list) else [extra] * count
    servers = [Nginx(os.path.join(work, part, "nginx%d" % i), www, extras[i],
                     "  limit_conn_zone $server_port zone=site:1m;").start() for i in range(count)]
    lists = []
    alone = ALONE.get(part, 0)
    for n in range(1, count + 1):
        lists.append(os.path.join(work, part, "sites%d.fml" % n))
        listed = [servers[alone]] if n == 1 else servers[:n]
        with open(lists[-1], "w") as f:
            f.write("FML,1.0,\n" + "".join("site%d,here,fast,%s\n" % (i, s.url("/file.bin"))
                                          for i, s in enumerate(listed)))
    every = commands(exe, servers[0].url("/file.bin"), out, home, lists)
    tools = {n: every[n] for n in NAMES[part] if n.startswith("tarnwick") or installed(n.split()[0])}
    walls, cpus = {n: [] for n in tools}, {n: [] for n in tools}
    try:
        for r in range(args.rounds):
            for name, command in tools.items():
                status, wall, cpu, fault = fetch_once(command, out, served, dl, 600)
                if status == 0 and fault is None:
                    walls[name].append(wall)
                    cpus[name].append(cpu)
                print("%s round %d %-26s wall %7.2fs  cpu %6.3fs  exit %d  %s"
                      % (part, r + 1, name, wall, cpu, status, fault or "byte-identical"), flush=True)
    finally:
        for s in servers:
            s.stop()
        if os.path.exists(out):
            os.remove(out)
    med = {n: statistics.median(w) for n, w in walls.items() if w}
    print()
    print("%s: %d MiB, %d nginx %s, %d rounds (median wall s and CPU s of byte-identical runs)"
          % (part, size_mb, count, " / ".join(" ".join(x.split()) for x in extras) or "without a limit", args.rounds))
    for n in tools:
        print("  %-26s %8s %8s  (%d of %d byte-identical)"
              % (n, "%.2f" % med[n] if n in med else "-", "%.3f" % statistics.median(cpus[n]) if cpus[n] else "-",
                 len(walls[n]), args.rounds))
    for a, b in RATIOS[part]:
        if a in med and b in med:
            print("  %s / %s: %.2f" % (a, b, med[a] / med[b]))
    for a, b, factor, seconds in GOALS.get(part, []):
        if a in med and b in med:
            bound = factor * med[b] + seconds
            print("  goal: %s %.2f s <= %.1f x %s + %.0f s = %.2f s: %s"
                  % (a, med[a], factor, b, seconds, bound, "met" if med[a] <= bound else "NOT MET"))
    print(flush=True)


def main():
    ap = arg_parser()
    ap.set_defaults(rounds=3)
    ap.add_argument("--parts", default="limited,unlimited,mirrors,slowmirror,slowfirst,capped",
                    help="comma-separated: limited, unlimited, mirrors, slowmirror, slowfirst, capped")
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
