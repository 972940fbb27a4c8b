#!/usr/bin/env python3
"""Serves discussion pages through the proxy with a heap-call counter preloaded and checks that the
serving loop allocates nothing after start-up and that the proxy's peak resident memory stays
within 8 MiB.

Usage: check_alloc.py PROXY_BINARY COUNTER_LIBRARY GEN_PAGES_SCRIPT

A local web server on a free loopback port stands in for the blog. The proxy writes the counts of
heap calls before every accept(); the counts before the first accept (start-up done, the time
zone read) and before the last one must be equal. What each stage allocated is reported.
"""
import http.server
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

REQUESTS = 12
PEAK_LIMIT_KIB = 8 * 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(b"GET " + path.encode() + b" HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n")
        data = b""
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                return data
            data += chunk


def wait_for_port(port, proc, seconds=10.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise SystemExit("proxy exited at start (status %s)" % proc.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("proxy did not listen on port %d" % port)


def main():
    proxy_bin, library, generator = (os.path.abspath(a) for a in sys.argv[1:4])
    with tempfile.TemporaryDirectory(prefix="mivrel-alloc-") as work:
        pages = os.path.join(work, "pages")
        subprocess.run([sys.executable, generator, pages], check=True)

        class quiet_handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *a, **k):
                super().__init__(*a, directory=pages, **k)

            def log_message(self, *a):
                pass

        web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), quiet_handler)
        threading.Thread(target=web.serve_forever, daemon=True).start()
        web_port = web.server_address[1]

        proxy_port = free_port()
        with open(os.path.join(pages, "typical.conf")) as f:
            table = f.read()
        with open(os.path.join(work, "mivrel.conf"), "w") as f:
            f.write("server 127.0.0.1:%d\nhost 127.0.0.1\nport %d\n%s" % (web_port, proxy_port,
                                                                         table))
        log_name = os.path.join(work, "alloc.log")
        env = dict(os.environ, LD_PRELOAD=library, MIVREL_ALLOC_LOG=log_name)
        proxy = subprocess.Popen([proxy_bin], cwd=work, env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            wait_for_port(proxy_port, proxy)  # this probe is the first exchange
            sizes = []
            for i in range(REQUESTS):
                page = ["discussion-50k.html", "discussion-500k.html",
                        "discussion-1500k.html"][i % 3]
                reply = fetch(proxy_port, "/" + page)
                if not reply.startswith(b"HTTP/1.") or b" 200 " not in reply[:20]:
                    raise SystemExit("request %d: %r" % (i, reply[:80]))
                sizes.append(len(reply))
            # the counts are written before an accept: one more connection shows the last exchange
            with socket.create_connection(("127.0.0.1", proxy_port), timeout=10):
                pass
            time.sleep(0.2)
            with open("/proc/%d/status" % proxy.pid) as f:
                peak = [int(l.split()[1]) for l in f if l.startswith("VmHWM:")][0]
        finally:
            proxy.terminate()
            proxy.wait(timeout=10)
            web.shutdown()
        with open(log_name) as f:
            counts = [tuple(int(x) for x in l.split()[1:3]) for l in f if l.startswith("accept")]
        if len(counts) < REQUESTS + 2:
            raise SystemExit("only %d accepts logged" % len(counts))
        # counts[0]: start-up done; counts[1]: after the probe; counts[2]: after the first page
        start, after_first, last = counts[0], counts[2], counts[-1]
        print("heap calls at start-up: %d allocations, %d releases" % start)
        print("during the probe connection: %d allocations, %d releases" % (
            counts[1][0] - start[0], counts[1][1] - start[1]))
        print("during the first page: %d allocations, %d releases" % (
            after_first[0] - counts[1][0], after_first[1] - counts[1][1]))
        print("during the %d pages after it (%d..%d bytes each): %d allocations, %d releases"
              % (len(counts) - 3, min(sizes), max(sizes), last[0] - after_first[0],
                 last[1] - after_first[1]))
        print("peak resident memory: %d KiB (limit %d KiB)" % (peak, PEAK_LIMIT_KIB))
        failed = False
        if last != start:
            print("FAIL: the serving loop allocated after start-up")
            failed = True
        if peak > PEAK_LIMIT_KIB:
            print("FAIL: peak resident memory above the limit")
            failed = True
        sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
