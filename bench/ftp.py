#!/usr/bin/env python3
"""FTP download benchmark: one file served by a local vsftpd, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal, active data connection) and by
curl, wget and aria2c (a tool that is missing is skipped). Prints the median wall and CPU
(user + system) time of each tool and its ratios to curl's. vsftpd needs root.

  bench/ftp.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from servers import Store, terminal_env  # noqa: E402
from ftp_servers import Vsftpd  # noqa: E402


def make_file(path, size):
    block = os.urandom(16 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(block[:min(left, len(block))])
            left -= len(block)
    os.chmod(path, 0o644)


def timed(argv, stdin_data=None, env=None, cwd=None):
    """Runs argv to its end; returns (status, wall seconds, user+sys CPU seconds)."""
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin_data is not None else subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=cwd)
    if stdin_data is not None:
        proc.stdin.write(stdin_data)
        proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    return os.waitstatus_to_exitcode(status), wall, usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=os.environ.get("TARNWICK_EXE", os.path.join(HERE, "..", "build", "tarnwick")))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--dir", default=None, help="work folder (default: a new temporary one)")
    args = ap.parse_args()
    exe = os.path.abspath(args.exe)
    if not os.access(exe, os.X_OK):
        sys.exit("no executable at %s (build first, or pass --exe)" % exe)

    work = args.dir or tempfile.mkdtemp(prefix="tarnwick-bench-ftp-")
    root = os.path.join(work, "root")
    dl = os.path.join(work, "dl")
    home = os.path.join(work, "home")
    for d in (root, dl, home):
        os.makedirs(d, exist_ok=True)
    size = args.size_mb << 20
    served = os.path.join(root, "file.bin")
    if not os.path.exists(served) or os.path.getsize(served) != size:
        print("creating a %d MiB file..." % args.size_mb, flush=True)
        make_file(served, size)

    store = Store(home)
    for name, value in (("Exit", 1), ("DoneBeep", 0), ("ErrorBeep", 0), ("ProxyFTP", "")):
        store.set("Config", name, value)
    tenv = terminal_env(home)

    server = Vsftpd(os.path.join(work, "vsftpd"), root).start()
    url = server.url("/file.bin")
    out = os.path.join(dl, "file.bin")
    tools = {
        "tarnwick": lambda: timed([exe, url], (out + "\n").encode(), env=tenv, cwd=dl),
        "curl": lambda: timed(["curl", "-sS", "-o", out, url]),
        "wget": lambda: timed(["wget", "-q", "-O", out, url]),
        "aria2c": lambda: timed(["aria2c", "-q", "-x1", "-s1", "--file-allocation=none",
                                 "--allow-overwrite=true", "-d", dl, "-o", "file.bin", url]),
    }
    for name in list(tools):
        if name != "tarnwick" and not shutil.which(name):
            print("skipping %s: not installed" % name)
            del tools[name]

    results = {name: [] for name in tools}
    try:
        for r in range(args.rounds):
            for name, run in tools.items():
                if os.path.exists(out):
                    os.remove(out)
                status, wall, cpu = run()
                got = os.path.getsize(out) if os.path.exists(out) else -1
                if status != 0 or got != size:
                    print("round %d %s: status %d, %d bytes: not counted" % (r + 1, name, status, got))
                    continue
                results[name].append((wall, cpu))
                print("round %d %-8s wall %6.3fs  cpu %6.3fs" % (r + 1, name, wall, cpu), flush=True)
    finally:
        server.stop()
        if os.path.exists(out):
            os.remove(out)

    med = {n: (statistics.median(w for w, _ in v), statistics.median(c for _, c in v))
           for n, v in results.items() if v}
    print()
    print("%d MiB over loopback FTP, %d rounds, medians:" % (args.size_mb, args.rounds))
    print("%-9s %9s %9s %10s %10s %9s" % ("tool", "wall s", "cpu s", "wall/curl", "cpu/curl", "MiB/s"))
    base = med.get("curl")
    for name, (wall, cpu) in med.items():
        ratios = ("%10.2f %10.2f" % (wall / base[0], cpu / base[1])) if base else "%10s %10s" % ("-", "-")
        print("%-9s %9.3f %9.3f %s %9.0f" % (name, wall, cpu, ratios, args.size_mb / wall))
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
