#!/usr/bin/env python3
"""Overview benchmark: what publishing the live state costs a download, and what reading
every download costs with a full queue.

  publish       the same download over loopback (nginx, unthrottled) with this build and,
                given --base-exe, with a build without publishing (interleaved rounds):
                median wall and CPU time; then a paced one (--paced-mb at 2 MiB/s, so that
                it publishes once a second for its whole length): median CPU time.
  list          --entries queue entries (the queue's limit is 100), --running of them
                downloading from a throttled nginx: the median and worst wall time of
                `tarnwick --list` and `--list --json` (--list-runs each).
  window        with the same queue, `tarnwick /LIST` in the desktop view under Xvfb (when
                Xvfb is installed) and in the terminal view under tmux: the CPU time it takes
                over --seconds, as a share of one core.

  bench/overview.py [--exe build/tarnwick] [--base-exe OTHER] [--rounds 5] [--size-mb 512]
                    [--paced-mb 40] [--entries 100] [--running 20] [--list-runs 30] [--seconds 20]
"""

import json
import os
import shutil
import statistics
import subprocess
import time

from common import arg_parser, executable, make_file, prepare_work, terminal_home, timed
from servers import Nginx, Store, kill_and_reap  # on the path once common is imported


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def publish(args, exe, base, work, root, dl, home, size):
    paced = os.path.join(root, "paced.bin")
    if not os.path.exists(paced) or os.path.getsize(paced) != args.paced_mb << 20:
        make_file(paced, args.paced_mb << 20)
    nginx = Nginx(os.path.join(work, "nginx-fast"), root, "location = /paced.bin { limit_rate 2m; }").start()
    env = terminal_home(home, "HTTPProxy")
    try:
        for path, want, rounds, what in (("/file.bin", size, args.rounds, "%d MiB over loopback" % args.size_mb),
                                         ("/paced.bin", args.paced_mb << 20, max(1, args.rounds // 2),
                                          "%d MiB at 2 MiB/s" % args.paced_mb)):
            results = {}
            for _ in range(rounds):
                for name, program in (("this build", exe), ("base", base)):
                    if not program:
                        continue
                    out = os.path.join(dl, "publish.bin")
                    status, wall, cpu, _ = timed([program, "-q", "-o", out, nginx.url(path)], env=env, cwd=home)
                    assert status == 0 and os.path.getsize(out) == want, (name, status)
                    os.remove(out)
                    results.setdefault(name, []).append((wall, cpu))
            print("publish: %s, median of %d rounds" % (what, rounds))
            for name, runs in results.items():
                print("  %-10s  wall %.3f s  cpu %.3f s" % (name, statistics.median(w for w, _ in runs),
                                                           statistics.median(c for _, c in runs)))
    finally:
        nginx.stop()


def full_queue(args, exe, work, root, dl, home):
    """Seeds the queued entries and starts the running ones; returns their processes."""
    store = Store(home)
    for i in range(args.entries - args.running):
        slot = "%02d" % (args.entries - 1 - i)
        store.set("FileQueue", "Get" + slot, "http://127.0.0.1:9/queued-%s.iso" % slot)
        store.set("FileQueue", "Local" + slot, os.path.join(dl, "queued-%s.iso" % slot))
        store.set("FileQueue", "Start" + slot, 1 << 20)
    env = terminal_home(home, "HTTPProxy")
    nginx = Nginx(os.path.join(work, "nginx-slow"), root, "limit_rate 100k;").start()
    procs = [subprocess.Popen([exe, "-q", "-o", os.path.join(dl, "run-%d.bin" % i), nginx.url("/file.bin")],
                              env=env, cwd=home, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) for i in range(args.running)]
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        rows = json.loads(subprocess.run([exe, "--list", "--json"], env=env, capture_output=True).stdout)
        if sum(r["state"] == "receiving" for r in rows) == args.running:
            break
        time.sleep(0.5)
    return nginx, procs, env


def listing(args, exe, env):
    for argv in ([exe, "--list"], [exe, "--list", "--json"]):
        walls = []
        for _ in range(args.list_runs):
            status, wall, _, _ = timed(argv, env=env)
            assert status == 0
            walls.append(wall)
        print("  %-22s median %.1f ms  worst %.1f ms" % (" ".join(argv[1:]), 1000 * statistics.median(walls),
                                                          1000 * max(walls)))


def window(args, exe, env, work):
    shares = []
    if shutil.which("Xvfb"):
        xvfb = subprocess.Popen(["Xvfb", ":57", "-screen", "0", "1280x800x24"], stderr=subprocess.DEVNULL)
        time.sleep(1)
        shares.append(("desktop", dict(env, DISPLAY=":57"), None, xvfb))
    if shutil.which("tmux"):
        shares.append(("terminal", env, "tmux", None))
    for name, wenv, how, server in shares:
        if how == "tmux":
            sock = os.path.join(work, "tmux.sock")
            envs = " ".join("%s=%s" % (k, wenv[k]) for k in ("XDG_CONFIG_HOME",) if k in wenv)
            subprocess.run(["tmux", "-S", sock, "new-session", "-d", "-x", "200", "-y", "120",
                            "env -u DISPLAY %s %s /LIST" % (envs, exe)], check=True)
            time.sleep(3)
            pane = int(subprocess.run(["tmux", "-S", sock, "list-panes", "-F", "#{pane_pid}"],
                                      capture_output=True, text=True).stdout.strip())
            # The pane runs env, which execs the program: the pane's process is the window.
            pid = pane
        else:
            proc = subprocess.Popen([exe, "/LIST"], env=wenv, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            pid = proc.pid
            time.sleep(3)
        c0, t0 = cpu_seconds(pid), time.monotonic()
        time.sleep(args.seconds)
        share = (cpu_seconds(pid) - c0) / (time.monotonic() - t0)
        print("  /LIST %-8s %.2f%% of one core over %d s" % (name, 100 * share, args.seconds))
        if how == "tmux":
            subprocess.run(["tmux", "-S", sock, "kill-server"])
        else:
            proc.terminate()
            proc.wait(timeout=10)
        if server:
            server.terminate()
            server.wait()


def main():
    ap = arg_parser()
    ap.set_defaults(size_mb=512)
    ap.add_argument("--base-exe", default=None, help="a build to compare the download with")
    ap.add_argument("--paced-mb", type=int, default=40)
    ap.add_argument("--entries", type=int, default=100)
    ap.add_argument("--running", type=int, default=20)
    ap.add_argument("--list-runs", type=int, default=30)
    ap.add_argument("--seconds", type=int, default=20)
    args = ap.parse_args()
    exe = executable(args)
    base = os.path.abspath(args.base_exe) if args.base_exe else None
    work, root, dl, home, size = prepare_work(args, "overview", "www")
    publish(args, exe, base, work, root, dl, home, size)
    nginx, procs, env = full_queue(args, exe, work, root, dl, home)
    try:
        print("full queue: %d entries, %d running" % (args.entries, args.running))
        listing(args, exe, env)
        window(args, exe, env, work)
    finally:
        for p in procs:
            kill_and_reap(p)
        nginx.stop()
        if not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
