"""What the download benchmarks share: the command line, the work folder with its served
file, tarnwick's configuration home, the competing tools, timed runs in interleaved
rounds and the table of medians."""

import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from servers import Store, terminal_env  # noqa: E402

TIME = shutil.which("time") or "/usr/bin/time"
TOOLS = ("tarnwick", "curl", "wget", "aria2c")


def arg_parser():
    """The options every benchmark takes; each adds its own."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", default=os.environ.get("TARNWICK_EXE", os.path.join(HERE, "..", "build", "tarnwick")))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--size-mb", type=int, default=1024)
    ap.add_argument("--dir", default=None, help="work folder (default: a new temporary one)")
    return ap


def executable(args):
    exe = os.path.abspath(args.exe)
    if not os.access(exe, os.X_OK):
        sys.exit("no executable at %s (build first, or pass --exe)" % exe)
    return exe


def make_file(path, size):
    block = os.urandom(16 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            f.write(block[:min(left, len(block))])
            left -= len(block)
        # On disk before any round: its writeback would otherwise fall into one, by chance.
        f.flush()
        os.fsync(f.fileno())
    # A server that drops privileges must still read it.
    os.chmod(path, 0o644)


def work_folders(args, kind, served_dir="www"):
    """The work folder (--dir, else a new temporary one) with the served folder, the
    download folder and the configuration home in it; returns (work, served, dl, home)."""
    work = args.dir or tempfile.mkdtemp(prefix="tarnwick-bench-%s-" % kind)
    folders = [os.path.join(work, d) for d in (served_dir, "dl", "home")]
    for d in folders:
        os.makedirs(d, exist_ok=True)
    return (work, *folders)


def prepare_work(args, kind, served_dir):
    """The work folder with the served file (kept from an earlier run in --dir when its
    size is right), the download folder and the configuration home; returns
    (work, served_dir, download_dir, home, size)."""
    work, root, dl, home = work_folders(args, kind, served_dir)
    size = args.size_mb << 20
    served = os.path.join(root, "file.bin")
    if not os.path.exists(served) or os.path.getsize(served) != size:
        print("creating a %d MiB file..." % args.size_mb, flush=True)
        make_file(served, size)
    return work, root, dl, home, size


def terminal_home(home, proxy_setting):
    """Configures `home` to exit when done, silently and with no proxy; returns the
    environment of a terminal-mode session."""
    store = Store(home)
    for name, value in (("Exit", 1), ("DoneBeep", 0), ("ErrorBeep", 0), (proxy_setting, "")):
        store.set("Config", name, value)
    return terminal_env(home)


def timed(argv, stdin_data=None, env=None, cwd=None, timeout=None):
    """Runs argv to its end; returns (status, wall seconds, user+sys CPU seconds, peak KiB).
    The child starts from /usr/bin/time for its peak: a child forked from this Python
    process would report Python's own resident size. The CPU time comes from wait4, to
    the microsecond (time's own share is well under a millisecond), not from time's
    report, which rounds to ten. After `timeout` seconds the client and everything it
    started are killed (status -9)."""
    report = os.path.join(tempfile.gettempdir(), "tarnwick-bench-time.%d" % os.getpid())
    use_time = os.access(TIME, os.X_OK)
    if use_time:
        argv = [TIME, "-f", "%M", "-o", report] + argv
    t0 = time.monotonic()
    proc = start_client(argv, stdin_data, env, cwd, own_group=timeout is not None)
    killer = None
    if timeout is not None:
        killer = threading.Timer(timeout, _kill_group, (proc.pid,))
        killer.start()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - t0
    if killer:
        killer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    rss = 0
    if use_time and os.path.exists(report):
        with open(report) as f:
            words = f.read().split()  # nothing when time itself was killed
        rss = int(words[-1]) if words else 0
        os.remove(report)
    return proc.returncode, wall, usage.ru_utime + usage.ru_stime, rss


def _kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass  # ended meanwhile


def download_tools(exe, url, out, dl, tenv, wanted=TOOLS):
    """name -> a timed download of `url` to `out`, for the tools in `wanted` that are
    installed."""
    tools = {
        "tarnwick": lambda: timed([exe, url], (out + "\n").encode(), env=tenv, cwd=dl),
        "curl": lambda: timed(["curl", "-sS", "-o", out, url]),
        "wget": lambda: timed(["wget", "-q", "-O", out, url]),
        "aria2c": lambda: timed(["aria2c", "-q", "-x1", "-s1", "--file-allocation=none",
                                 "--allow-overwrite=true", "-d", dl, "-o", os.path.basename(out), url]),
    }
    for name in list(tools):
        if name not in wanted or (name != "tarnwick" and not installed(name)):
            del tools[name]
    return tools


def installed(tool):
    """Whether a peer tool is on the path; says how to get it when it is not."""
    if shutil.which(tool):
        return True
    print("skipping %s: not installed (apt-get install %s)" % (tool, "aria2" if tool == "aria2c" else tool))
    return False


def run_rounds(tools, rounds, out, size, server, peak):
    """Each round runs every tool once, so that a slow phase of the machine weighs on all
    alike; a run that fails or falls short is not counted. Stops `server` at the end.
    Returns name -> [(wall, cpu, peak KiB)]."""
    results = {name: [] for name in tools}
    try:
        for r in range(rounds):
            for name, run in tools.items():
                if os.path.exists(out):
                    os.remove(out)
                status, wall, cpu, rss = run()
                got = os.path.getsize(out) if os.path.exists(out) else -1
                if status != 0 or got != size:
                    print("round %d %s: status %d, %d bytes: not counted" % (r + 1, name, status, got))
                    continue
                results[name].append((wall, cpu, rss))
                line = "round %d %-8s wall %6.3fs  cpu %6.3fs" % (r + 1, name, wall, cpu)
                if peak:
                    line += "  peak %6d KiB" % rss
                print(line, flush=True)
    finally:
        server.stop()
        if os.path.exists(out):
            os.remove(out)
    return results


def medians(results):
    """name -> (wall, cpu, peak KiB) medians, for the tools that had a counted run."""
    return {n: tuple(statistics.median(x[i] for x in v) for i in range(3)) for n, v in results.items() if v}


def first_request_byte(start, runs, greeting=b"", after=None):
    """Milliseconds from starting a client to the first byte it sends, per run. A bare
    loopback listener takes the connection, sends `greeting` (an FTP client waits for
    one), reads one byte and closes; the client is then killed and `after()` runs.
    start(port) starts the client against that port and returns its process."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    srv.settimeout(10)
    port = srv.getsockname()[1]
    times = []
    try:
        for _ in range(runs):
            t0 = time.monotonic()
            proc = start(port)
            try:
                conn, _ = srv.accept()
                conn.settimeout(10)
                if greeting:
                    conn.sendall(greeting)
                conn.recv(1)
                times.append((time.monotonic() - t0) * 1000)
                conn.close()
            finally:
                proc.kill()
                proc.wait(timeout=10)
            if after:
                after()
    finally:
        srv.close()
    return times


def start_client(argv, stdin_data=None, env=None, cwd=None, own_group=False):
    """A client started with its output discarded. Its answers wait in standard input
    before it starts: a client that reads them is not kept waiting for this process to be
    scheduled again, which on a loaded machine can take longer than the client's start.
    own_group: in a process group of its own, to be killed with what it started."""
    stdin = subprocess.DEVNULL
    if stdin_data is not None:
        stdin, w = os.pipe()
        os.write(w, stdin_data)
        os.close(w)
    try:
        return subprocess.Popen(argv, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=env, cwd=cwd, start_new_session=own_group)
    finally:
        if stdin_data is not None:
            os.close(stdin)


def print_medians(results, where, size_mb, rounds, peak):
    """The median of each measure per tool, with its ratio to curl's where curl ran."""
    med = medians(results)
    print()
    print("%d MiB over %s, %d rounds, medians:" % (size_mb, where, rounds))
    header = "%-9s %9s %9s %10s %10s %9s" % ("tool", "wall s", "cpu s", "wall/curl", "cpu/curl", "MiB/s")
    if peak:
        header += " %9s %9s" % ("peak KiB", "peak/curl")
    print(header)
    base = med.get("curl")
    for name, (wall, cpu, rss) in med.items():
        ratios = ("%10.2f %10.2f" % (wall / base[0], cpu / base[1])) if base else "%10s %10s" % ("-", "-")
        line = "%-9s %9.3f %9.3f %s %9.0f" % (name, wall, cpu, ratios, size_mb / wall)
        if peak:
            line += " %9d %s" % (rss, ("%9.2f" % (rss / base[2])) if base else "%9s" % "-")
        print(line)


def run_benchmark(args, kind, served_dir, serve, where, wanted=TOOLS):
    """The rounds of one protocol's benchmark and their table: prepares the work folder,
    starts the server with serve(args, work, served, home), times every tool. Returns
    (exe, tenv, home, dl, work) for measures that follow; the caller removes work."""
    exe = executable(args)
    work, served, dl, home, size = prepare_work(args, kind, served_dir)
    server, url, tenv = serve(args, work, served, home)
    out = os.path.join(dl, "file.bin")
    tools = download_tools(exe, url, out, dl, tenv, wanted)
    results = run_rounds(tools, args.rounds, out, size, server, peak=True)
    print_medians(results, where, args.size_mb, args.rounds, peak=True)
    return exe, tenv, home, dl, work
