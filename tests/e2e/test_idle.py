"""Idle and slow peers with the real binary and its real timeouts (10 s browser, 60 s server).

One connection is served at a time, so a silent peer holds up every browser behind it: the
timeouts bound that wait, and they bound silence, not the time a whole message may take.
"""
import socket
import time
import unittest

from harness import LOOPBACK, ProxyCase, get, http_reply, split_reply

BROWSER_IDLE = 10.0
SERVER_IDLE = 60.0


def wait_for_close(sock, timeout):
    """Seconds until the peer closes sock (b"" or a reset), reading whatever comes first."""
    started = time.monotonic()
    sock.settimeout(timeout)
    received = b""
    try:
        while True:
            piece = sock.recv(65536)
            if not piece:
                break
            received += piece
    except ConnectionResetError:
        pass
    return time.monotonic() - started, received


class IdleBrowser(ProxyCase, unittest.TestCase):
    def test_silent_browsers_do_not_hold_the_next_one_longer_than_the_timeout(self):
        proxy = self.start(lambda req, conn: http_reply(b"served"))
        started = time.monotonic()
        # one opens a connection ahead of use and stays silent, one stops inside its header
        silent = socket.create_connection((LOOPBACK, proxy.port), timeout=5)
        halted = socket.create_connection((LOOPBACK, proxy.port), timeout=5)
        halted.sendall(b"GET /page HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Ag")
        waiting = socket.create_connection((LOOPBACK, proxy.port), timeout=5)
        waiting.sendall(b"GET /page HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")

        silent_closed, silent_got = wait_for_close(silent, 3 * BROWSER_IDLE)
        halted_closed, halted_got = wait_for_close(halted, 3 * BROWSER_IDLE)
        waited, reply = wait_for_close(waiting, 3 * BROWSER_IDLE)
        for s in (silent, halted, waiting):
            s.close()
        elapsed = [silent_closed, silent_closed + halted_closed,
                   silent_closed + halted_closed + waited]
        self.assertEqual((silent_got, halted_got), (b"", b""))
        self.assertGreater(elapsed[0], BROWSER_IDLE - 0.5)
        self.assertLess(elapsed[0], BROWSER_IDLE + 2.5)
        self.assertGreater(elapsed[1], 2 * BROWSER_IDLE - 0.5)
        self.assertLess(elapsed[1], 2 * BROWSER_IDLE + 3.0)
        # the waiting browser is served at once when its turn comes
        self.assertLess(elapsed[2] - elapsed[1], 2.0)
        self.assertLess(time.monotonic() - started, 2 * BROWSER_IDLE + 5.0)
        self.assertEqual(split_reply(reply)[2], b"served")
        # only the one that sent bytes is worth a console line
        self.assertEqual(sum("Request from browser cut short" in l for l in proxy.lines), 1)

    def test_slow_but_steady_request_and_reply_get_through(self):
        body = b"<html>" + b"steady " * 2000 + b"</html>"
        reply = http_reply(body)
        def respond(request, conn):
            # the reply in three parts, 2 s apart
            for i in range(3):
                conn.sendall(reply[i * len(reply) // 3:(i + 1) * len(reply) // 3])
                time.sleep(2.0)
        proxy = self.start(respond)
        request = b"GET /slow HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: slow\r\n\r\n"
        started = time.monotonic()
        with socket.create_connection((LOOPBACK, proxy.port), timeout=30) as s:
            # four parts 4 s apart: 12 s in all, longer than the idle timeout, never idle that long
            for i in range(4):
                s.sendall(request[i * len(request) // 4:(i + 1) * len(request) // 4])
                if i < 3:
                    time.sleep(4.0)
            _, got = wait_for_close(s, 30)
        self.assertGreater(time.monotonic() - started, BROWSER_IDLE + 2)
        self.assertEqual(split_reply(got)[2], body)
        self.assertEqual(len(self.blog.requests), 1)
        self.assertTrue(self.blog.requests[0].startswith(b"GET /slow HTTP/1.1\r\n"))


class IdleServer(ProxyCase, unittest.TestCase):
    def test_silent_server_ends_like_a_cut_short_reply(self):
        def respond(request, conn):
            if b"/silent" in request:
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part")
                conn.settimeout(SERVER_IDLE + 20)
                try:
                    conn.recv(1)  # silent until the proxy gives up and closes
                except OSError:
                    pass
                return None
            return http_reply(b"served")
        proxy = self.start(respond)
        with socket.create_connection((LOOPBACK, proxy.port), timeout=5) as s:
            s.sendall(b"GET /silent HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            waited, got = wait_for_close(s, SERVER_IDLE + 20)
        self.assertEqual(got, b"")  # nothing stale or half-done reaches the browser
        self.assertGreater(waited, SERVER_IDLE - 1)
        self.assertLess(waited, SERVER_IDLE + 5)
        self.assertEqual(split_reply(get(proxy.port, "/next"))[2], b"served")
        self.assertEqual(sum("Reply from server cut short" in l for l in proxy.lines), 1)


if __name__ == "__main__":
    unittest.main()
