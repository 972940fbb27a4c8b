"""End-to-end harness: the real proxy binary against a scripted blog server, driven by a raw client.

Everything runs on loopback addresses with free ports chosen at run time; every wait is bounded.
"""
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time

BINARY = os.environ.get("MIVREL_BINARY", os.path.join(os.path.dirname(__file__), "../../build/mivrel"))
BLOG_HOST = os.environ.get("MIVREL_BLOG_HOST", "reason.com")
LOOPBACK = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def read_http_message(sock, timeout=5.0):
    """Reads one request (header and counted body) from sock; returns the bytes (b"" on close)."""
    sock.settimeout(timeout)
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"(?im)^content-length:\s*(\d+)", head)
    want = int(m.group(1)) if m else 0
    while len(body) < want:
        piece = sock.recv(65536)
        if not piece:
            break
        body += piece
    return head + b"\r\n\r\n" + body


class BlogServer:
    """A scripted blog server. `respond(request_bytes, conn)` answers one connection: it returns
    bytes to send (then the connection closes), or None after handling conn itself."""

    def __init__(self, respond):
        self.respond = respond
        self.requests = []
        self.connections = 0
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(0.2)
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except (socket.timeout, OSError):
                continue
            self.connections += 1
            try:
                request = read_http_message(conn)
                self.requests.append(request)
                reply = self.respond(request, conn)
                if reply is not None:
                    conn.sendall(reply)
            except OSError:
                pass
            finally:
                conn.close()

    def stop(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.listener.close()


class Proxy:
    """The real binary in a temporary working directory with the given mivrel.conf text."""

    def __init__(self, conf_text=None, workdir=None, wait=True):
        self.workdir = workdir or tempfile.mkdtemp(prefix="mivrel-e2e-")
        if conf_text is not None:
            with open(self.conf_path, "wb") as f:
                f.write(conf_text.encode() if isinstance(conf_text, str) else conf_text)
        self.lines = []
        self.stderr_text = ""
        self.process = subprocess.Popen([BINARY], cwd=self.workdir, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._out = threading.Thread(target=self._read_stdout, daemon=True)
        self._err = threading.Thread(target=self._read_stderr, daemon=True)
        self._out.start()
        self._err.start()
        if wait:
            self.wait_for_line("Hostname ")
            self.wait_listening()

    @property
    def conf_path(self):
        return os.path.join(self.workdir, "mivrel.conf")

    def _read_stdout(self):
        for raw in self.process.stdout:
            self.lines.append(raw.decode("latin-1").rstrip("\n"))

    def _read_stderr(self):
        self.stderr_text = self.process.stderr.read().decode("latin-1")

    @property
    def output(self):
        return "\n".join(self.lines)

    def wait_for_line(self, fragment, timeout=10.0, start=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.lines[start:]:
                if fragment in line:
                    return line
            if self.process.poll() is not None and not self._out.is_alive():
                break
            time.sleep(0.01)
        raise AssertionError("no console line with %r; console was:\n%s" % (fragment, self.output))

    def wait_for_count(self, fragment, count, timeout=10.0):
        """Waits until `count` console lines hold fragment (the console arrives through a pipe, a
        little after the browser side has seen the exchange end)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = sum(fragment in line for line in self.lines)
            if found >= count:
                return found
            time.sleep(0.01)
        return sum(fragment in line for line in self.lines)

    def wait_listening(self, timeout=10.0):
        port = self.port
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("proxy ended early:\n" + self.output)
            try:
                # a connection with no request is closed by the proxy without a console line
                socket.create_connection((LOOPBACK, port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.02)
        raise AssertionError("proxy not listening on %d" % port)

    @property
    def port(self):
        with open(self.conf_path) as f:
            ports = re.findall(r"(?m)^port\s+(\d+)", f.read())
        return int(ports[-1])

    def wait_exit(self, timeout=10.0):
        code = self.process.wait(timeout=timeout)
        self._close_pipes()
        return code

    def _close_pipes(self):
        self._out.join(timeout=5)
        self._err.join(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self._close_pipes()

    def sanitizer_reports(self):
        # "==PID== " starts the lines of valgrind, which run with --quiet only writes about errors
        markers = ("AddressSanitizer", "UndefinedBehaviorSanitizer", "runtime error:",
                   "LeakSanitizer")
        return [line for line in self.stderr_text.splitlines()
                if any(m in line for m in markers) or re.match(r"==\d+== ", line)]


def conf(server_port, proxy_port, *extra):
    lines = ["server %s:%d" % (LOOPBACK, server_port), "host " + LOOPBACK, "port %d" % proxy_port]
    return "\n".join(lines + list(extra)) + "\n"


def exchange(port, data, timeout=10.0, half_close=False):
    """Sends raw bytes to the proxy and returns everything it answers until it closes."""
    with socket.create_connection((LOOPBACK, port), timeout=timeout) as s:
        s.sendall(data)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        reply = b""
        while True:
            try:
                piece = s.recv(65536)
            except ConnectionResetError:
                break
            if not piece:
                break
            reply += piece
        return reply


def get(port, path, extra_headers=b"", timeout=10.0):
    request = (b"GET " + path.encode() + b" HTTP/1.1\r\nHost: " + LOOPBACK.encode() +
               b":%d\r\n" % port + extra_headers + b"\r\n")
    return exchange(port, request, timeout)


def split_reply(reply):
    head, sep, body = reply.partition(b"\r\n\r\n")
    assert sep, "reply without a complete header: %r" % reply[:200]
    lines = head.split(b"\r\n")
    return lines[0], lines[1:], body


def http_reply(body, headers=(), status=b"HTTP/1.1 200 OK"):
    head = [status] + list(headers) + [b"Content-Length: %d" % len(body)]
    return b"\r\n".join(head) + b"\r\n\r\n" + body


def chunked(body, size):
    out = b""
    for i in range(0, len(body), size):
        piece = body[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


class ProxyCase:
    """Mixin for unittest cases: one blog server and one proxy per test, both stopped after it."""

    def start(self, respond, *conf_lines, proxy_port=None):
        self.blog = BlogServer(respond)
        self.addCleanup(self.blog.stop)
        self.proxy = Proxy(conf(self.blog.port, proxy_port or free_port(), *conf_lines))
        self.addCleanup(self.finish_proxy, self.proxy)
        return self.proxy

    def finish_proxy(self, proxy):
        proxy.stop()
        self.assertEqual(proxy.sanitizer_reports(), [], proxy.stderr_text)
