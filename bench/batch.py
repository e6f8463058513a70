#!/usr/bin/env python3
"""Many small downloads: a list of URLs fetched by each tool in turn, every file compared
byte for byte with the served one.

  list    --files (1000) files of --file-kb (64) KiB from a loopback nginx, as a list:
          `tarnwick -q -i`, `wget -i`, `aria2c -i`, `curl --parallel`.
  relay   --relay-files (200) of them through a relay that adds --delay-ms (25) each way
          (a distant server): the same four.
  memory  --running (100) downloads running at once (nginx sends each at 64 KiB/s): the
          summed peak memory of every tarnwick process (goal: under 150 MiB).
  long    lists of --long-files (1000,10000) tiny files of --tiny-bytes (512) from the
          loopback nginx, tarnwick alone: the time per file of each list and its ratio to the
          first's (goal: at most 1.2 for the longest).

Each tool runs with its own default number of downloads at once unless --jobs N is given
(tarnwick -j, aria2c -j, curl --parallel-max; wget fetches one at a time).

  bench/batch.py [--exe build/tarnwick] [--rounds 3] [--parts list,relay,memory,long] [--jobs N]
"""

import hashlib
import os
import shutil
import socket
import statistics
import threading
import time
import heapq

from common import work_folders, arg_parser, executable, installed, terminal_home, timed
from servers import Nginx, Store  # on the path once common is imported

TOOLS = ("tarnwick", "wget", "aria2c", "curl")


class DelayRelay:
    """Relays each connection to `upstream`, every chunk held back `delay` seconds in each
    direction (the order kept), as a distant server's round trip would."""

    def __init__(self, upstream, delay):
        self.upstream, self.delay = upstream, delay
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(512)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._connect, args=(client,), daemon=True).start()

    def _connect(self, client):
        time.sleep(self.delay)  # the SYN's way there
        server = socket.create_connection(self.upstream)
        for a, b in ((client, server), (server, client)):
            threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    def _pump(self, src, dst):
        held, cond, done = [], threading.Condition(), []

        def sender():
            while True:
                with cond:
                    while not held and not done:
                        cond.wait()
                    if not held:
                        break
                    due, _, data = held[0]
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                with cond:
                    heapq.heappop(held)
                try:
                    if data is None:
                        dst.shutdown(socket.SHUT_WR)
                        return
                    dst.sendall(data)
                except OSError:
                    return

        threading.Thread(target=sender, daemon=True).start()
        n = 0
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            n += 1
            with cond:
                heapq.heappush(held, (time.monotonic() + self.delay, n, data or None))
                cond.notify()
            if not data:
                with cond:
                    done.append(1)
                    cond.notify()
                return

    def stop(self):
        self.listener.close()


def serve_files(www, count, size):
    names, digests = [], {}
    block = os.urandom(size * 2)
    for i in range(count):
        name = "f%d-%05d.bin" % (size >> 10, i)
        path = os.path.join(www, name)
        if not os.path.exists(path) or os.path.getsize(path) != size:
            with open(path, "wb") as f:
                f.write(block[i % size:i % size + size])
        names.append(name)
    for name in names:
        with open(os.path.join(www, name), "rb") as f:
            digests[name] = hashlib.sha256(f.read()).hexdigest()
    return names, digests


def tool_runs(exe, tenv, listfile, urls, dl, jobs):
    j = [] if jobs is None else [str(jobs)]
    runs = {
        "tarnwick": [exe, "-q"] + (["-j"] + j if j else []) + ["-i", listfile],
        "wget": ["wget", "-q", "-i", listfile],
        "aria2c": ["aria2c", "-q", "--file-allocation=none", "--allow-overwrite=true", "-i", listfile]
                  + (["-j"] + j if j else []),
        "curl": ["curl", "-sS", "--parallel", "--remote-name-all"] + (["--parallel-max"] + j if j else []) + urls,
    }
    return {n: argv for n, argv in runs.items() if n == "tarnwick" or installed(n)}


_runs = [0]


def fetch_all(name, argv, dl, tenv, names, digests, timeout):
    # A new folder for each run, the old ones removed only at the end: files deleted just
    # before make the file system slow to create the next ones (ext4 passes over recently
    # freed inodes), by an amount that grows from run to run and falls on whoever comes next.
    _runs[0] += 1
    dl = os.path.join(dl, "%s-%d" % (name, _runs[0]))
    os.makedirs(dl)
    status, wall, cpu, rss = timed(argv, env=tenv if name == "tarnwick" else None, cwd=dl, timeout=timeout)
    wrong = 0
    for n in names:
        p = os.path.join(dl, n)
        if not os.path.exists(p):
            wrong += 1
            continue
        with open(p, "rb") as f:
            wrong += hashlib.sha256(f.read()).hexdigest() != digests[n]
    return status, wall, cpu, rss, wrong


def compare(title, exe, tenv, home, base_url, www, dl, count, size, rounds, jobs, timeout):
    names, digests = serve_files(www, count, size)
    urls = ["%s/%s" % (base_url.rstrip("/"), n) for n in names]
    listfile = os.path.join(home, "list-%d.txt" % count)
    with open(listfile, "w") as f:
        f.write("\n".join(urls) + "\n")
    runs = tool_runs(exe, tenv, listfile, urls, dl, jobs)
    walls = {n: [] for n in runs}
    for r in range(rounds):
        for name, argv in runs.items():
            status, wall, cpu, rss, wrong = fetch_all(name, argv, dl, tenv, names, digests, timeout)
            ok = status == 0 and wrong == 0
            print("round %d %-8s wall %7.3fs  cpu %6.3fs  peak %7d KiB  %s" %
                  (r + 1, name, wall, cpu, rss, "all right" if ok else "status %d, %d files wrong" % (status, wrong)),
                  flush=True)
            if ok:
                walls[name].append(wall)
    shutil.rmtree(dl, ignore_errors=True)
    os.makedirs(dl)
    print("\n%s, medians:" % title)
    med = {n: statistics.median(w) for n, w in walls.items() if w}
    fastest_peer = min((w for n, w in med.items() if n != "tarnwick"), default=None)
    for n, w in med.items():
        print("  %-8s %7.3f s%s" % (n, w, "  (%.2fx the fastest peer)" % (w / fastest_peer) if fastest_peer else ""))
    return med


def summed_peak(exe, tenv, home, www, dl, nginx_url, running, timeout):
    """Peak resident memory of tarnwick with `running` downloads given at once as one list
    (as many run together as the limit allows, 50 at most; the rest wait for their turn)."""
    names, digests = serve_files(www, running, 256 << 10)
    listfile = os.path.join(home, "slow-list.txt")
    with open(listfile, "w") as f:
        f.write("".join("%s/slow/%s\n" % (nginx_url, n) for n in names))
    jobs = min(running, 50)
    status, wall, cpu, rss, wrong = fetch_all("tarnwick", [exe, "-q", "-j", str(jobs), "-i", listfile], dl, tenv,
                                              names, digests, timeout)
    print("\n%d downloads, %d at once: peak %.1f MiB, wall %.1f s, status %d, %d files wrong (goal under 150 MiB)" %
          (running, jobs, rss / 1024, wall, status, wrong))


def per_file(exe, tenv, home, base_url, www, dl, counts, size, rounds, jobs, timeout):
    """Time per file of lists of each length in counts, tarnwick alone, interleaved rounds."""
    lists = {}
    for count in counts:
        names, digests = serve_files(www, count, size)
        listfile = os.path.join(home, "tiny-%d.txt" % count)
        with open(listfile, "w") as f:
            f.write("".join("%s/%s\n" % (base_url.rstrip("/"), n) for n in names))
        lists[count] = (names, digests, listfile)
    walls = {c: [] for c in counts}
    for r in range(rounds):
        for count, (names, digests, listfile) in lists.items():
            argv = [exe, "-q"] + (["-j", str(jobs)] if jobs else []) + ["-i", listfile]
            status, wall, cpu, rss, wrong = fetch_all("tarnwick", argv, dl, tenv, names, digests, timeout)
            ok = status == 0 and wrong == 0
            print("round %d %6d files wall %7.3fs  cpu %6.3fs  %6.3f ms a file  peak %7d KiB  %s" %
                  (r + 1, count, wall, cpu, wall * 1000 / count, rss,
                   "all right" if ok else "status %d, %d files wrong" % (status, wrong)), flush=True)
            if ok:
                walls[count].append(wall)
    shutil.rmtree(dl, ignore_errors=True)
    os.makedirs(dl)
    print("\nlists of tiny files (%d bytes), medians:" % size)
    first = None
    for count in counts:
        if not walls[count]:
            continue
        each = statistics.median(walls[count]) / count
        first = first or each
        print("  %6d files %7.3f ms a file  (%.2fx the first list's)" % (count, each * 1000, each / first))


def main():
    ap = arg_parser()
    ap.set_defaults(rounds=3)
    ap.add_argument("--parts", default="list,relay,memory")
    ap.add_argument("--files", type=int, default=1000)
    ap.add_argument("--relay-files", type=int, default=200)
    ap.add_argument("--file-kb", type=int, default=64)
    ap.add_argument("--delay-ms", type=int, default=25)
    ap.add_argument("--running", type=int, default=100)
    ap.add_argument("--jobs", type=int, default=None)
    ap.add_argument("--long-files", default="1000,10000")
    ap.add_argument("--tiny-bytes", type=int, default=512)
    ap.add_argument("--timeout", type=int, default=600)
    args = ap.parse_args()
    exe = executable(args)
    work, www, dl, home = work_folders(args, "batch")
    tenv = terminal_home(home, "Proxy")
    store = Store(home)
    if args.jobs:
        store.set("Config", "MaxActive", args.jobs)
    nginx = Nginx(os.path.join(work, "nginx"), www,
                  extra="    location /slow/ { alias %s/; limit_rate 64k; }" % www).start()
    parts = args.parts.split(",")
    try:
        if "list" in parts:
            compare("%d files of %d KiB from a loopback nginx" % (args.files, args.file_kb), exe, tenv, home,
                    nginx.url(""), www, dl, args.files, args.file_kb << 10, args.rounds, args.jobs, args.timeout)
        if "relay" in parts:
            relay = DelayRelay(("127.0.0.1", nginx.port), args.delay_ms / 1000)
            try:
                compare("%d files of %d KiB through a relay adding %d ms each way" %
                        (args.relay_files, args.file_kb, args.delay_ms), exe, tenv, home,
                        "http://127.0.0.1:%d" % relay.port, www, dl, args.relay_files, args.file_kb << 10,
                        args.rounds, args.jobs, args.timeout)
            finally:
                relay.stop()
        if "long" in parts:
            per_file(exe, tenv, home, nginx.url(""), www, dl, [int(n) for n in args.long_files.split(",")],
                     args.tiny_bytes, args.rounds, args.jobs, args.timeout)
        if "memory" in parts:
            summed_peak(exe, tenv, home, www, dl, nginx.url("").rstrip("/"), args.running, args.timeout)
    finally:
        nginx.stop()
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
