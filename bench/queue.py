#!/usr/bin/env python3
"""Queue benchmark: /RESUME of a full queue against a local nginx.

  all at once   100 entries, ResumeSerial off: every entry gets its own process at once.
                Reports the wall time until the last process has ended and the sum of the
                processes' peak resident sizes.
  one at a time 100 small entries, ResumeSerial on: each finished process starts the next.
                Reports the time per hand-off (the wall time over the entries, each with its
                small download).

The processes are detached, so this process makes itself their subreaper to wait for
every one of them and read its peak from the kernel's accounting.

  bench/queue.py [--exe build/tarnwick] [--entries 100] [--entry-kb 1024] [--serial-kb 16]
"""

import ctypes
import os
import shutil
import subprocess
import time

from common import work_folders, executable, arg_parser, make_file, terminal_home
from servers import Nginx, Store  # on the path once common is imported

PR_SET_CHILD_SUBREAPER = 36


def become_subreaper():
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def fill_queue(store, nginx, www, dl, entries, size, tag):
    """One queue entry per slot, each for a file of its own; returns the local paths."""
    paths = []
    for i in range(entries):
        slot = "%02d" % i
        name = "%s-%s.bin" % (tag, slot)
        served = os.path.join(www, name)
        if not os.path.exists(served) or os.path.getsize(served) != size:
            make_file(served, size)
        local = os.path.join(dl, name)
        if os.path.exists(local):
            os.remove(local)
        store.set("FileQueue", "Get" + slot, nginx.url("/" + name))
        store.set("FileQueue", "Local" + slot, local)
        store.set("FileQueue", "Start" + slot, 0)
        paths.append(local)
    return paths


def children(keep):
    """This process's children, less those in keep."""
    me = os.getpid()
    with open("/proc/%d/task/%d/children" % (me, me)) as f:
        return [int(p) for p in f.read().split() if int(p) not in keep]


def resume_all(exe, tenv, dl, timeout, keep):
    """Runs /RESUME and waits for it and every process it led to (the servers in keep go
    on); returns (wall seconds, [peak KiB of each process])."""
    t0 = time.monotonic()
    subprocess.Popen([exe, "/RESUME"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=tenv, cwd=dl)
    peaks = []
    deadline = t0 + timeout
    while True:
        pid, _, usage = os.wait4(-1, os.WNOHANG)
        if pid != 0:
            peaks.append(usage.ru_maxrss)
            continue
        # Each process starts the next before it ends, so none is missed here.
        if not children(keep):
            break
        if time.monotonic() > deadline:
            raise TimeoutError("processes still running after %d s" % timeout)
        time.sleep(0.002)
    return time.monotonic() - t0, peaks


def check(paths, size, store):
    short = [p for p in paths if not os.path.exists(p) or os.path.getsize(p) != size]
    left = [k for k in store.section("FileQueue") if k.startswith("Get")]
    return short, left


def main():
    ap = arg_parser()
    ap.add_argument("--entries", type=int, default=100)
    ap.add_argument("--entry-kb", type=int, default=1024, help="file size of each entry, all at once")
    ap.add_argument("--serial-kb", type=int, default=16, help="file size of each entry, one at a time")
    ap.add_argument("--timeout", type=int, default=300)
    args = ap.parse_args()
    exe = executable(args)
    become_subreaper()
    work, www, dl, home = work_folders(args, "queue")
    nginx = Nginx(os.path.join(work, "nginx"), www).start()
    try:
        for serial, kb in ((0, args.entry_kb), (1, args.serial_kb)):
            tenv = terminal_home(home, "Proxy")
            store = Store(home)
            store.set("Config", "ResumeSerial", serial)
            paths = fill_queue(store, nginx, www, dl, args.entries, kb << 10, "serial%d" % serial)
            wall, peaks = resume_all(exe, tenv, dl, args.timeout, {nginx.proc.pid})
            short, left = check(paths, kb << 10, store)
            print()
            if serial == 0:
                print("/RESUME, %d entries of %d KiB, ResumeSerial off: %d processes" % (args.entries, kb, len(peaks)))
                print("  wall %.3f s, sum of peak memory %.1f MiB (median process %d KiB)"
                      % (wall, sum(peaks) / 1024, sorted(peaks)[len(peaks) // 2]))
            else:
                print("/RESUME, %d entries of %d KiB, ResumeSerial on: %d processes" % (args.entries, kb, len(peaks)))
                print("  wall %.3f s, %.1f ms per hand-off (each with its download)"
                      % (wall, wall * 1000 / args.entries))
            if short or left:
                print("  NOT COMPLETE: %d files short, %d entries left in the queue" % (len(short), len(left)))
            for p in paths:
                if os.path.exists(p):
                    os.remove(p)
    finally:
        nginx.stop()
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
