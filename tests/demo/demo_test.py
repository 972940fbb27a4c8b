#!/usr/bin/env python3
"""The demo script: it serves filtered pages, stops on Ctrl-C leaving nothing running, and refuses
to start on a taken port.

demo_test.py --script demo/run-demo.sh --build BUILD_DIR
"""
import argparse
import os
import queue
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

START_SECONDS = 20
STOP_SECONDS = 10


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False


class Demo:
    """The demo script in a session of its own, so that a signal to its group is a Ctrl-C."""

    def __init__(self, script, build, work, proxy_port, blog_port):
        env = dict(os.environ, DEMO_DIR=work, DEMO_PORT=str(proxy_port),
                   DEMO_BLOG_PORT=str(blog_port))
        self.proc = subprocess.Popen(["bash", script, build], env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True,
                                     start_new_session=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for_line(self, pattern, seconds):
        until = time.monotonic() + seconds
        while time.monotonic() < until:
            try:
                line = self.lines.get(timeout=max(0.01, until - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.seen.append(line)
            if re.search(pattern, line):
                return line
        raise AssertionError(f"no line matching {pattern!r}; output:\n" + "\n".join(self.seen))

    def rest_of_output(self):
        rest = []
        while True:
            line = self.lines.get(timeout=STOP_SECONDS)
            if line is None:
                return rest
            rest.append(line)

    def kill_group(self):
        if group_alive(self.proc.pid):
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()


def check_run_and_ctrl_c(script, build, work):
    proxy_port, blog_port = free_port(), free_port()
    demo = Demo(script, build, work, proxy_port, blog_port)
    try:
        demo.wait_for_line(rf"demo: open http://127\.0\.0\.1:{proxy_port}/ ", START_SECONDS)

        conf = open(os.path.join(work, "mivrel.conf"), encoding="utf-8").read().splitlines()
        for keyword in ("server", "host", "port", "name", "link", "cont", "xurl"):
            at = [i for i, line in enumerate(conf) if line.startswith(keyword + " ")]
            assert at, f"mivrel.conf has a {keyword} line"
            assert all(i > 0 and conf[i - 1].startswith("#") for i in at), \
                f"every {keyword} line has its comment line above it"
        assert f"server 127.0.0.1:{blog_port}" in conf and f"port {proxy_port}" in conf

        url = f"http://127.0.0.1:{proxy_port}/discussion/lighthouse-auction"
        with urllib.request.urlopen(url, timeout=10) as reply:
            page = reply.read().decode("utf-8")
        assert "Grumbleweed" not in page, "a listed author's comments are hidden"
        assert f'(<a href="http://127.0.0.1:{proxy_port}/mivrel/filter/' in page, "X links"
        assert f'href="http://127.0.0.1:{proxy_port}/about"' in page, "links rewritten"
        demo.wait_for_line(r" 13 posts tested, 5 removed, 38\.5%$", START_SECONDS)

        os.killpg(demo.proc.pid, signal.SIGINT)  # what Ctrl-C in a terminal does
        assert demo.proc.wait(timeout=STOP_SECONDS) == 0, "Ctrl-C ends the demo with status 0"
        rest = demo.rest_of_output()
        assert "demo: stopped the proxy and the sample blog." in rest, rest
        until = time.monotonic() + STOP_SECONDS
        while group_alive(demo.proc.pid) and time.monotonic() < until:
            time.sleep(0.05)
        assert not group_alive(demo.proc.pid), "nothing of the demo is left running"
        assert not accepts(proxy_port) and not accepts(blog_port), "both ports are free again"
    finally:
        demo.kill_group()
    print("ok: the demo serves filtered pages and Ctrl-C stops everything it started")


def check_taken_port(script, build, work):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        demo = Demo(script, build, work, port, free_port())
        try:
            assert demo.proc.wait(timeout=STOP_SECONDS) == 1, "a taken port stops the demo"
            output = "\n".join(demo.rest_of_output())
            assert f"port {port} on 127.0.0.1 is taken" in output, output
        finally:
            demo.kill_group()
    print("ok: a taken port is reported and nothing is started")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--build", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="mivrel-demo-") as work:
        check_run_and_ctrl_c(args.script, args.build, work)
        check_taken_port(args.script, args.build, work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
