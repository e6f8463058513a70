#!/usr/bin/env python3
"""HTTP download benchmark: one file served by a local nginx, fetched in interleaved rounds
by tarnwick (terminal mode, standard input not a terminal) and by curl, wget and aria2c
(a tool that is missing is skipped). Prints the median wall and CPU (user + system) time
of each tool and its ratios to curl's.

  bench/http.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from servers import Nginx, Store, terminal_env  # noqa: E402


def make_file(path, size):
    block = os.urandom(16 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(block[:min(left, len(block))])
            left -= len(block)


TIME = shutil.which("time") or "/usr/bin/time"


def timed(argv, stdin_data=None, env=None, cwd=None):
    """Runs argv to its end; returns (status, wall seconds, user+sys CPU seconds, peak KiB).
    The child starts from /usr/bin/time: a child forked from this Python process would
    report Python's own resident size as its peak."""
    report = os.path.join(tempfile.gettempdir(), "tarnwick-bench-time.%d" % os.getpid())
    use_time = os.access(TIME, os.X_OK)
    if use_time:
        argv = [TIME, "-f", "%U %S %M", "-o", report] + argv
    t0 = time.monotonic()
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE if stdin_data is not None else subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=cwd)
    if stdin_data is not None:
        proc.stdin.write(stdin_data)
        proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu, rss = usage.ru_utime + usage.ru_stime, 0
    if use_time:
        with open(report) as f:
            user, system, rss = f.read().split()[-3:]
        os.remove(report)
        cpu, rss = float(user) + float(system), int(rss)
    return proc.returncode, wall, cpu, rss


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
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=os.environ.get("TARNWICK_EXE", os.path.join(HERE, "..", "build", "tarnwick")))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--dir", default=None, help="work folder (default: a new temporary one)")
    ap.add_argument("--tools", default="tarnwick,curl,wget,aria2c", help="comma-separated subset to run")
    ap.add_argument("--latency-runs", type=int, default=10, help="runs of the first-request-byte measure")
    args = ap.parse_args()
    exe = os.path.abspath(args.exe)
    if not os.access(exe, os.X_OK):
        sys.exit("no executable at %s (build first, or pass --exe)" % exe)

    work = args.dir or tempfile.mkdtemp(prefix="tarnwick-bench-http-")
    www = os.path.join(work, "www")
    dl = os.path.join(work, "dl")
    home = os.path.join(work, "home")
    for d in (www, dl, home):
        os.makedirs(d, exist_ok=True)
    size = args.size_mb << 20
    served = os.path.join(www, "file.bin")
    if not os.path.exists(served) or os.path.getsize(served) != size:
        print("creating a %d MiB file..." % args.size_mb, flush=True)
        make_file(served, size)

    store = Store(home)
    for name, value in (("Exit", 1), ("DoneBeep", 0), ("ErrorBeep", 0), ("Proxy", "")):
        store.set("Config", name, value)
    tenv = terminal_env(home)

    nginx = Nginx(os.path.join(work, "nginx"), www).start()
    url = nginx.url("/file.bin")
    out = os.path.join(dl, "file.bin")
    tools = {
        "tarnwick": lambda: timed([exe, url], (out + "\n").encode(), env=tenv, cwd=dl),
        "curl": lambda: timed(["curl", "-sS", "-o", out, url]),
        "wget": lambda: timed(["wget", "-q", "-O", out, url]),
        "aria2c": lambda: timed(["aria2c", "-q", "-x1", "-s1", "--file-allocation=none",
                                 "--allow-overwrite=true", "-d", dl, "-o", "file.bin", url]),
    }
    for name in list(tools):
        if name not in args.tools.split(","):
            del tools[name]
        elif name != "tarnwick" and not shutil.which(name):
            print("skipping %s: not installed (apt-get install %s)" % (name, "aria2" if name == "aria2c" else name))
            del tools[name]

    results = {name: [] for name in tools}
    try:
        for r in range(args.rounds):
            for name, run in tools.items():
                if os.path.exists(out):
                    os.remove(out)
                status, wall, cpu, rss = run()
                got = os.path.getsize(out) if os.path.exists(out) else -1
                if status != 0 or got != size:
                    print("round %d %s: status %d, %d bytes: not counted" % (r + 1, name, status, got))
                    continue
                results[name].append((wall, cpu, rss))
                print("round %d %-8s wall %6.3fs  cpu %6.3fs  peak %6d KiB" % (r + 1, name, wall, cpu, rss),
                      flush=True)
    finally:
        nginx.stop()
        if os.path.exists(out):
            os.remove(out)

    med = {n: tuple(statistics.median(x[i] for x in v) for i in range(3)) for n, v in results.items() if v}
    print()
    print("%d MiB over loopback, %d rounds, medians:" % (args.size_mb, args.rounds))
    print("%-9s %9s %9s %10s %10s %9s %9s %9s" % ("tool", "wall s", "cpu s", "wall/curl", "cpu/curl", "MiB/s",
                                                 "peak KiB", "peak/curl"))
    base = med.get("curl")
    for name, (wall, cpu, rss) in med.items():
        if base:
            ratios = "%10.2f %10.2f" % (wall / base[0], cpu / base[1])
            rss_ratio = "%9.2f" % (rss / base[2])
        else:
            ratios, rss_ratio = "%10s %10s" % ("-", "-"), "%9s" % "-"
        print("%-9s %9.3f %9.3f %s %9.0f %9d %s" % (name, wall, cpu, ratios, args.size_mb / wall, rss, rss_ratio))
    if args.latency_runs > 0:
        times = first_byte_latency(exe, tenv, dl, args.latency_runs)
        print()
        print("tarnwick start to first request byte, %d runs: median %.1f ms, max %.1f ms"
              % (len(times), statistics.median(times), max(times)))
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
