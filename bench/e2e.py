#!/usr/bin/env python3
"""End-to-end benchmark: the same pages fetched through the proxy and directly from nginx.

Writes the pages (gen_pages.py) and an nginx configuration on a free loopback port into a
temporary directory, starts nginx and the proxy (in front of that nginx, with one of the filter
tables), then sends a bounded number of sequential requests, each on a new connection, in
alternating blocks: a block direct, a block through the proxy, and so on. Prints per page the
latency (min / median / max), requests per second, the ratio proxied/direct of the medians and
the spread of that ratio over the block pairs, and the proxy's peak resident memory. Stops both
servers at the end, also after a failure.
"""
import argparse
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PAGES = ["discussion-50k.html", "discussion-500k.html", "discussion-1500k.html"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, proc, what, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit("%s exited at start (status %s)" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("%s did not listen on port %d" % (what, port))


BUFFER = bytearray(8 << 20)


def fetch(port, path):
    """One request on a new connection; returns (seconds, status line, body length)."""
    view = memoryview(BUFFER)
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET /" + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                  b"Connection: close\r\n\r\n" % port)
        n = 0
        while n < len(BUFFER):
            k = s.recv_into(view[n:])
            if k == 0:
                break
            n += k
    elapsed = time.perf_counter() - start
    head_end = BUFFER.find(b"\r\n\r\n", 0, n)
    status = bytes(BUFFER[:BUFFER.find(b"\r\n", 0, n)]).decode("latin-1")
    return elapsed, status, n - head_end - 4 if head_end >= 0 else -1


def peak_rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def describe(values):
    return "%8.0f %8.0f %8.0f" % (min(values) * 1e6, statistics.median(values) * 1e6,
                                  max(values) * 1e6)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--proxy", default=os.path.join(HERE, "..", "build", "mivrel"),
                    help="the proxy binary (default: build/mivrel)")
    ap.add_argument("--table", default="typical", choices=["typical", "full", "empty"])
    ap.add_argument("--requests", type=int, default=200, help="requests per page and side")
    ap.add_argument("--block", type=int, default=10, help="requests per alternating block")
    ap.add_argument("--host", default="reason.com",
                    help="blog host the pages link to (the proxy's MIVREL_BLOG_HOST)")
    ap.add_argument("--nginx", default=shutil.which("nginx") or "/usr/sbin/nginx")
    ap.add_argument("--floor", action="store_true",
                    help="also fetch plain pages of the same sizes, which the proxy relays unedited")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = ap.parse_args()
    if args.requests < 1 or args.requests > 10000 or args.block < 1:
        raise SystemExit("--requests must be 1..10000 and --block at least 1")
    proxy_bin = os.path.abspath(args.proxy)
    if not os.access(proxy_bin, os.X_OK):
        raise SystemExit("no proxy binary at %s (build it first)" % proxy_bin)
    if not os.access(args.nginx, os.X_OK):
        raise SystemExit("no nginx at %s (apt-get install nginx-light)" % args.nginx)

    work = tempfile.mkdtemp(prefix="mivrel-e2e-")
    procs = []
    try:
        root = os.path.join(work, "root")
        subprocess.run([sys.executable, os.path.join(HERE, "gen_pages.py"), root, "--host",
                        args.host], check=True)
        web_port = free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""daemon off;
master_process off;
worker_processes 1;
pid %(w)s/nginx.pid;
error_log %(w)s/nginx-error.log;
events { worker_connections 256; }
http {
    access_log off;
    client_body_temp_path %(w)s/tmp; proxy_temp_path %(w)s/tmp; fastcgi_temp_path %(w)s/tmp;
    uwsgi_temp_path %(w)s/tmp; scgi_temp_path %(w)s/tmp;
    types { text/html html; }
    server { listen 127.0.0.1:%(p)d; root %(r)s; sendfile on; tcp_nopush on; }
}
""" % {"w": work, "p": web_port, "r": root})
        os.mkdir(os.path.join(work, "tmp"))
        nginx = subprocess.Popen([args.nginx, "-p", work, "-c", conf, "-e",
                                  os.path.join(work, "nginx-error.log")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(nginx)
        wait_for_port(web_port, nginx, "nginx")

        proxy_dir = os.path.join(work, "proxy")
        os.mkdir(proxy_dir)
        proxy_port = free_port()
        table = ""
        if args.table != "empty":
            with open(os.path.join(root, args.table + ".conf")) as f:
                table = f.read()
        with open(os.path.join(proxy_dir, "mivrel.conf"), "w") as f:
            f.write("server 127.0.0.1:%d\nhost 127.0.0.1\nport %d\n%s" % (web_port, proxy_port,
                                                                         table))
        log = open(os.path.join(work, "proxy.log"), "w")
        proxy = subprocess.Popen([proxy_bin], cwd=proxy_dir, stdout=log,
                                 stderr=subprocess.STDOUT)
        procs.append(proxy)
        wait_for_port(proxy_port, proxy, "proxy")

        print("proxy %s, table %s, %d requests per page and side in blocks of %d" % (
            proxy_bin, args.table, args.requests, args.block))
        print("%-30s %-26s %-26s %7s %7s %-20s" % (
            "page", "direct us min/med/max", "proxied us min/med/max", "dir r/s", "prx r/s",
            "ratio med (blocks min/med/max)"))
        pages = PAGES + ([p.replace("discussion-", "plain-") for p in PAGES] if args.floor else [])
        for page in pages:
            size = os.path.getsize(os.path.join(root, page))
            for port in (web_port, proxy_port, web_port, proxy_port):  # warm-up
                _, status, _ = fetch(port, page)
                if " 200 " not in status + " ":
                    raise SystemExit("%s on port %d: %s" % (page, port, status))
            times = {web_port: [], proxy_port: []}
            block_ratios = []
            out_length = None
            while len(times[proxy_port]) < args.requests:
                medians = {}
                for port in (web_port, proxy_port):
                    block = []
                    for _ in range(min(args.block, args.requests - len(times[port]))):
                        elapsed, status, length = fetch(port, page)
                        if port == web_port and length != size:
                            raise SystemExit("direct %s: %d bytes, not %d" % (page, length, size))
                        if port == proxy_port:
                            if length <= 0:
                                raise SystemExit("proxied %s: %s" % (page, status))
                            out_length = length
                        block.append(elapsed)
                    times[port] += block
                    medians[port] = statistics.median(block)
                block_ratios.append(medians[proxy_port] / medians[web_port])
            d, p = times[web_port], times[proxy_port]
            ratio = statistics.median(p) / statistics.median(d)
            print("%-30s %s   %s   %7.0f %7.0f %5.2f (%4.2f %4.2f %4.2f)" % (
                "%s (%d->%d)" % (page.replace("discussion-", "").replace(".html", ""), size,
                                 out_length), describe(d), describe(p), len(d) / sum(d),
                len(p) / sum(p), ratio, min(block_ratios), statistics.median(block_ratios),
                max(block_ratios)))
        print("proxy peak resident memory (VmHWM): %d KiB" % peak_rss_kib(proxy.pid))
    finally:
        for proc in reversed(procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
