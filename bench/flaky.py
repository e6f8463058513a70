#!/usr/bin/env python3
"""A server that resets connections: a relay on a loopback port in front of a local nginx
resets every client connection (SO_LINGER 0, then close) once it has passed a random 1 to
8 MiB of response bytes. One file is fetched in interleaved rounds with one command each by
tarnwick (its defaults, terminal mode, standard input /dev/null), `aria2c --max-tries=0
--retry-wait=1` and `wget --tries=0 --waitretry=1`; every file is compared byte for byte
with the served one. Within a round every tool meets the same cut points (from --seed,
printed). Prints the median wall time of the rounds that brought the whole file, whether
every round was byte-identical, the exit statuses and the connections each tool needed.

  bench/flaky.py [--exe build/tarnwick] [--rounds 3] [--size-mb 128] [--seed N]
      [--tools tarnwick,aria2c,wget] [--timeout 600] [--dir /tmp/...]
"""

import errno
import fcntl
import os
import random
import shutil
import socket
import statistics
import struct
import termios
import threading
import time

from common import arg_parser, executable, installed, prepare_work, terminal_home, timed
from servers import Nginx, Store  # on the path once common is imported

MIB = 1 << 20
TOOLS = ("tarnwick", "aria2c", "wget")


class ResetRelay:
    """Relays each client connection to the server at `upstream` and resets it after a
    random number of response bytes between `low` and `high`. reseed() starts the sequence
    of cut points again, so that each tool of a round meets the same ones."""

    def __init__(self, upstream, low, high):
        self.upstream, self.low, self.high = upstream, low, high
        self.lock = threading.Lock()
        self.rng = random.Random(0)
        self.connections = 0
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def reseed(self, seed):
        with self.lock:
            self.rng = random.Random(seed)
            self.connections = 0

    def stop(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # stopped
            with self.lock:
                self.connections += 1
                cut = self.rng.randint(self.low, self.high)
            threading.Thread(target=self._relay, args=(client, cut), daemon=True).start()

    def _relay(self, client, cut):
        try:
            upstream = socket.create_connection(self.upstream)
        except OSError:
            client.close()
            return
        threading.Thread(target=self._requests, args=(client, upstream), daemon=True).start()
        sent = 0
        try:
            while sent < cut:
                data = upstream.recv(min(1 << 18, cut - sent))
                if not data:
                    break
                client.sendall(data)
                sent += len(data)
            if sent >= cut:
                self._reset(client)
            else:
                client.shutdown(socket.SHUT_WR)  # the server ended the reply: an orderly close
        except OSError:
            pass  # the client went first
        finally:
            upstream.close()
            client.close()

    @staticmethod
    def _requests(client, upstream):
        try:
            while True:
                data = client.recv(65536)
                if not data:
                    break
                upstream.sendall(data)
            upstream.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    @staticmethod
    def _reset(client):
        # A reset throws away what the kernel has not delivered yet: the client is given the
        # bytes counted (a few seconds at most), then the connection is cut.
        deadline = time.monotonic() + 5
        buf = bytearray(4)
        while time.monotonic() < deadline:
            fcntl.ioctl(client.fileno(), termios.TIOCOUTQ, buf)
            if struct.unpack("i", buf)[0] == 0:
                break
            time.sleep(0.001)
        client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        try:
            client.shutdown(socket.SHUT_RD)  # wakes the request side; sends nothing
        except OSError as e:
            if e.errno != errno.ENOTCONN:
                raise
        client.close()


def fetch_once(command, out, served, cwd, timeout):
    """Runs one download into a fresh out: (status, wall, cpu, what differs or None)."""
    if os.path.exists(out):
        os.remove(out)
    argv, env = command()
    status, wall, cpu, _ = timed(argv, env=env, cwd=cwd, timeout=timeout)
    return status, wall, cpu, first_difference(out, served)


def first_difference(path, served):
    """None when the file at path holds exactly the served bytes, else what differs."""
    if not os.path.exists(path):
        return "no file"
    got, size = os.path.getsize(path), os.path.getsize(served)
    with open(path, "rb") as a, open(served, "rb") as b:
        offset = 0
        while True:
            x, y = a.read(MIB), b.read(MIB)
            if x != y:
                n = min(len(x), len(y))
                at = offset + next((i for i in range(n) if x[i] != y[i]), n)
                if at == got and got < size:
                    return "incomplete: %.1f of %.1f MiB" % (got / MIB, size / MIB)
                return "differs at byte %d (%d of %d bytes)" % (at, got, size)
            if not x:
                return None
            offset += len(x)


def commands(exe, url, out, home):
    """name -> a function running one download of url to out, with the retry options under
    test: tarnwick with its defaults, the others told to retry for ever, a second apart."""
    tenv = terminal_home(home, "Proxy")
    store = Store(home)

    def tarnwick():
        # Each run starts afresh: an entry kept by an earlier run is no resume point for this one.
        for name in store.section("FileQueue"):
            store.delete("FileQueue", name)
        return [exe, "-q", "-o", out, url], tenv

    return {
        "tarnwick": tarnwick,
        "aria2c": lambda: (["aria2c", "-q", "--max-tries=0", "--retry-wait=1", "--file-allocation=none",
                            "--allow-overwrite=true", "-d", os.path.dirname(out), "-o", os.path.basename(out),
                            url], None),
        "wget": lambda: (["wget", "-q", "--tries=0", "--waitretry=1", "-O", out, url], None),
    }


def main():
    ap = arg_parser()
    ap.set_defaults(rounds=3, size_mb=128)
    ap.add_argument("--seed", type=int, default=None, help="of the cut points (default: a new one, printed)")
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset to run")
    ap.add_argument("--timeout", type=float, default=600, help="seconds before a run is killed")
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 31)
    wanted = args.tools.split(",")
    exe = executable(args) if "tarnwick" in wanted else None
    work, www, dl, home, size = prepare_work(args, "flaky", "www")
    served = os.path.join(www, "file.bin")
    out = os.path.join(dl, "file.bin")
    nginx = Nginx(os.path.join(work, "nginx"), www).start()
    relay = ResetRelay(("127.0.0.1", nginx.port), 1 * MIB, 8 * MIB)
    url = "http://127.0.0.1:%d/file.bin" % relay.port
    tools = {name: run for name, run in commands(exe, url, out, home).items()
             if name in wanted and (name == "tarnwick" or installed(name))}
    print("seed %d: every connection through 127.0.0.1:%d is reset after 1 to 8 MiB" % (seed, relay.port),
          flush=True)
    runs = {name: [] for name in tools}
    try:
        for r in range(args.rounds):
            for name, command in tools.items():
                relay.reseed("%d/%d" % (seed, r))
                status, wall, _, fault = fetch_once(command, out, served, dl, args.timeout)
                runs[name].append((wall, status, fault is None, relay.connections))
                print("round %d %-8s wall %7.2fs  exit %3d  %3d connections  %s"
                      % (r + 1, name, wall, status, relay.connections,
                         "killed after %gs, " % args.timeout if status == -9 else "") + (fault or "byte-identical"),
                      flush=True)
    finally:
        relay.stop()
        nginx.stop()
        if os.path.exists(out):
            os.remove(out)
    print()
    print("%d MiB through a relay resetting each connection after 1 to 8 MiB (seed %d), %d rounds:"
          % (args.size_mb, seed, args.rounds))
    print("%-9s %14s %15s %12s %12s" % ("tool", "median wall s", "byte-identical", "exit status", "connections"))
    for name, results in runs.items():
        whole = [wall for wall, _, ok, _ in results if ok]
        every = all(ok for _, _, ok, _ in results)
        wall = "%.2f" % statistics.median(whole) if whole else "-"
        statuses = ",".join(str(s) for s in sorted({s for _, s, _, _ in results}))
        conns = statistics.median(c for _, _, _, c in results)
        print("%-9s %14s %15s %12s %12g" % (name, wall, "yes" if every else "no (%d of %d)" % (len(whole), len(results)),
                                             statuses, conns))
    if any(not ok for results in runs.values() for _, _, ok, _ in results):
        print("(median wall time of the rounds that brought the whole file; '-': none did)")
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
