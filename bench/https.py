#!/usr/bin/env python3
"""HTTPS download benchmark: one file served by a local nginx over TLS (one cipher suite
for every tool, a certificate from a test authority that every tool trusts through
SSL_CERT_FILE), fetched in interleaved rounds by tarnwick and by curl, wget and aria2c.
Prints the median wall and CPU time of each tool and its ratios to curl's, and whether
the kernel offers kernel TLS (which the client then uses for its records).

  bench/https.py [--exe build/tarnwick] [--rounds 5] [--size-mb 1024] [--dir /tmp/...]
      [--cipher TLS_AES_128_GCM_SHA256]
"""

import os
import shutil
import subprocess

from common import TOOLS, arg_parser, run_benchmark, terminal_home
from servers import Nginx, Pki, free_port  # on the path once common is imported


def kernel_tls():
    try:
        with open("/proc/sys/net/ipv4/tcp_available_ulp") as f:
            return "tls" in f.read().split()
    except OSError:
        return False


SERVED_DIR = "www"
GREETING = b""


def serve(args, work, www, home):
    """The running server, the URL of its file and tarnwick's environment. The test
    authority is trusted by each tool the way it reads a trust store: OpenSSL's default
    paths (tarnwick), curl's bundle variable, a wgetrc (wget may be on GnuTLS)."""
    pki = Pki(os.path.join(work, "pki"))
    cert, key = pki.server("nginx")
    os.environ["SSL_CERT_FILE"] = os.environ["CURL_CA_BUNDLE"] = pki.ca
    wgetrc = os.path.join(work, "wgetrc")
    with open(wgetrc, "w") as f:
        f.write("ca_certificate = %s\n" % pki.ca)
    os.environ["WGETRC"] = wgetrc
    tenv = terminal_home(home, "Proxy")
    port = free_port()
    extra = f"""
    listen 127.0.0.1:{port} ssl;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.3;
    ssl_conf_command Ciphersuites {args.cipher};
"""
    nginx = Nginx(os.path.join(work, "nginx"), www, extra).start()
    url = "https://127.0.0.1:%d/file.bin" % port
    probe = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{ssl_verify_result}", url],
                           capture_output=True, text=True)
    print("cipher %s, kernel TLS %s, curl verify result %s" %
          (args.cipher, "offered" if kernel_tls() else "not offered by this kernel", probe.stdout or probe.stderr))
    return nginx, url, tenv


def add_options(ap):
    ap.add_argument("--cipher", default="TLS_AES_128_GCM_SHA256", help="the TLS 1.3 cipher suite nginx offers")


def main():
    ap = arg_parser()
    ap.add_argument("--tools", default=",".join(TOOLS), help="comma-separated subset to run")
    add_options(ap)
    args = ap.parse_args()
    work = run_benchmark(args, "https", SERVED_DIR, serve, "loopback TLS", args.tools.split(","))[4]
    if not args.dir:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
