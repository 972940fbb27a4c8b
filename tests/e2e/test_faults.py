"""Faults injected end to end: broken and oversized replies, hostile browsers, odd kill files.

Every case ends with the proxy still serving (a normal exchange after it) or, where a send to the
browser fails, with its failure lines and exit status 1, never a death by signal.
"""
import socket
import struct
import threading
import time
import unittest

from harness import (BLOG_HOST, LOOPBACK, BlogServer, Proxy, ProxyCase, chunked, conf, exchange,
                     free_port, get, http_reply, split_reply)

BUFFER = 2 * 1024 * 1024
HEADER_COPY = 64 * 1024
LINES = 1024


def hold_open(conn, seconds=5.0):
    """Keeps a server connection open until the proxy closes it (or the time is up)."""
    conn.settimeout(seconds)
    try:
        while conn.recv(65536):
            pass
    except OSError:
        pass


def reset(conn):
    """Closes with a reset instead of an orderly close."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def reply_header_of_length(total, body=b"body"):
    """A reply header of exactly `total` bytes, blank line included, announcing `body`."""
    fixed = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nX-Pad: \r\n\r\n" % len(body)
    pad = total - len(fixed)
    assert pad >= 0
    return fixed.replace(b"X-Pad: ", b"X-Pad: " + b"a" * pad)


def reply_header_of_lines(count, body=b"body"):
    """A reply header of `count` lines, its blank last line included."""
    lines = [b"HTTP/1.1 200 OK", b"Content-Length: %d" % len(body)]
    lines += [b"X-%d: v" % i for i in range(count - 3)]
    return b"\r\n".join(lines) + b"\r\n\r\n"


class Scripted(ProxyCase):
    """A blog server that plays one scripted reply per connection, then plain pages."""

    def start_scripted(self, *conf_lines):
        self.script = []
        def respond(request, conn):
            if not self.script:
                return http_reply(b"still serving")
            step = self.script.pop(0)
            if callable(step):
                step(conn)
                return None
            return step
        return self.start(respond, *conf_lines)

    def assert_still_serving(self, proxy):
        self.assertEqual(split_reply(get(proxy.port, "/next"))[2], b"still serving")

    def count_lines(self, proxy, fragment, at_least=0, timeout=5.0):
        """Console lines holding fragment, once there are at_least of them (the log lags)."""
        deadline = time.monotonic() + timeout
        while True:
            count = sum(fragment in line for line in proxy.lines)
            if count >= at_least or time.monotonic() > deadline:
                return count
            time.sleep(0.01)


class ServerFaults(Scripted, unittest.TestCase):
    def test_server_breaking_off_closes_the_browser_connection(self):
        header = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n"
        chunked_header = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        cases = {
            "inside the header": b"HTTP/1.1 200 OK\r\nContent-Le",
            "after the header, no body": header,
            "inside a counted body": header + b"only part",
            "inside a chunk": chunked_header + b"10\r\nabc",
            "inside a chunk-size line": chunked_header + b"5\r\nhello\r\n1",
            "between CR and LF of a size line": chunked_header + b"10\r",
            "inside the last-chunk line": chunked_header + b"5\r\nhello\r\n0",
            "reset inside a counted body":
                lambda conn: (conn.sendall(header + b"part"), time.sleep(0.1), reset(conn)),
            "reset inside a chunk":
                lambda conn: (conn.sendall(chunked_header + b"10\r\nab"), time.sleep(0.1),
                              reset(conn)),
        }
        proxy = self.start_scripted()
        for name, step in cases.items():
            with self.subTest(name):
                note = "Reply from server cut short"
                before = self.count_lines(proxy, note)
                self.script.append(step)
                self.assertEqual(get(proxy.port, "/"), b"")
                self.assert_still_serving(proxy)
                self.assertEqual(self.count_lines(proxy, note, before + 1), before + 1)

    def test_header_limits(self):
        # (reply, relayed whole?) at both sides of the header copy's and the line table's sizes
        cases = {
            "header of 65,535 bytes": (reply_header_of_length(HEADER_COPY - 1) + b"body", True),
            "header of 65,536 bytes": (reply_header_of_length(HEADER_COPY) + b"body", False),
            "70,000 header bytes and no end": (b"HTTP/1.1 200 OK\r\nX: " + b"a" * 70000, False),
            "header of 1,024 lines": (reply_header_of_lines(LINES) + b"body", True),
            "header of 1,025 lines": (reply_header_of_lines(LINES + 1) + b"body", False),
            "header of 5,000 lines": (reply_header_of_lines(5000) + b"body", False),
        }
        proxy = self.start_scripted()
        for name, (reply, whole) in cases.items():
            with self.subTest(name):
                # the server keeps the connection open: only the limit can end the reply early
                self.script.append(lambda conn, reply=reply: (conn.sendall(reply), hold_open(conn)))
                started = time.monotonic()
                got = get(proxy.port, "/")
                self.assertLess(time.monotonic() - started, 3.0)
                if whole:
                    self.assertEqual(got, reply)  # the rebuilt header is the same here
                else:
                    self.assertEqual(got, b"")
                self.assert_still_serving(proxy)

    def test_body_filling_the_buffer(self):
        def reply_of_total(total):
            header_length = len(b"HTTP/1.1 200 OK\r\nContent-Length: 1234567\r\n\r\n")
            return http_reply(b"x" * (total - header_length))
        proxy = self.start_scripted()
        # the message and the NUL after it must fit: one byte less than the buffer is the most
        for total, whole in ((BUFFER - 1, True), (BUFFER, False), (BUFFER + 10, False)):
            with self.subTest(total=total):
                reply = reply_of_total(total)
                self.assertEqual(len(reply), total)
                self.script.append(lambda conn, reply=reply: (conn.sendall(reply), hold_open(conn)))
                got = get(proxy.port, "/", timeout=20)
                self.assertEqual(got, reply if whole else b"")
                self.assert_still_serving(proxy)

    def test_chunk_sizes(self):
        head = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n"
        # (size line that follows a first chunk "hello", body relayed or None when cut short)
        cases = {
            "ffffffffffffffff": (b"ffffffffffffffff\r\nabc", None),
            "twenty hex digits": (b"ffffffffffffffffffff\r\nabc", None),
            "7fffffff": (b"7fffffff\r\nabc", None),
            "the buffer's size": (b"200000\r\nabc", None),
            "not hexadecimal": (b"zz\r\nabc\r\n0\r\n\r\n", b"hello"),
            "a sign": (b"-5\r\nabcde\r\n0\r\n\r\n", b"hello"),
            "0x prefix reads as the last chunk": (b"0x10\r\n0123456789abcdef\r\n0\r\n\r\n",
                                                   b"hello"),
            "upper-case digits and an extension": (b"1A;x=y\r\n" + b"z" * 26 + b"\r\n0\r\n\r\n",
                                                   b"hello" + b"z" * 26),
        }
        proxy = self.start_scripted()
        for name, (rest, body) in cases.items():
            with self.subTest(name):
                self.script.append(lambda conn, r=head + rest: (conn.sendall(r), hold_open(conn)))
                started = time.monotonic()
                got = get(proxy.port, "/")
                self.assertLess(time.monotonic() - started, 3.0)
                if body is None:
                    self.assertEqual(got, b"")
                else:
                    self.assertEqual(got, b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n"
                                     % len(body) + body)
                self.assert_still_serving(proxy)

    def test_reply_one_byte_per_read_is_relayed_like_one_read(self):
        page = (b"<html><body>\n<p><a href=\"http://%s/x\">a link</a></p>\n"
                b"<div class=\"com-blck\">\n<p>Some One | 10:00</p>\n<p>text</p>\n</div>\n"
                b"<div class=\"com-blck\">\n<p><a href=\"http://o.example/\">Other</a> | 10:01</p>"
                b"\n</div>\n</body></html>\n" % BLOG_HOST.encode())
        replies = {
            "chunked": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked(page, 37),
            "counted": http_reply(page, [b"Content-Type: text/html"]),
        }
        def trickle(reply):
            def step(conn):
                conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                for i in range(len(reply)):
                    conn.sendall(reply[i:i + 1])
                    time.sleep(0.001)
            return step
        proxy = self.start_scripted()
        for name, reply in replies.items():
            with self.subTest(name):
                self.script.append(reply)
                whole = get(proxy.port, "/")
                self.script.append(trickle(reply))
                trickled = get(proxy.port, "/", timeout=30)
                self.assertIn(b"/mivrel/filter/", whole)  # the page went through the filter
                self.assertEqual(trickled, whole)


class BrowserFaults(Scripted, unittest.TestCase):
    def test_broken_requests_are_dropped_and_the_proxy_serves_on(self):
        cases = {
            "connects and closes": (b"", False),
            "half a header, then closes": (b"GET /page HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-A", True),
            "2,000 header lines": (b"GET / HTTP/1.1\r\n" + b"X-Line: v\r\n" * 1999 + b"\r\n",
                                   True),
            "a header of 70,000 bytes": (b"GET / HTTP/1.1\r\nX: " + b"a" * 70000 + b"\r\n\r\n",
                                         True),
            "a counted body cut short": (b"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nab", True),
            "a chunked body cut short": (b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                         b"10\r\nab", True),
        }
        proxy = self.start_scripted()
        for name, (request, noted) in cases.items():
            with self.subTest(name):
                contacted = self.blog.connections
                note = "Request from browser cut short"
                before = self.count_lines(proxy, note)
                self.assertEqual(exchange(proxy.port, request, half_close=True), b"")
                self.assert_still_serving(proxy)
                self.assertEqual(self.blog.connections, contacted + 1)  # only the next request
                expected = before + (1 if noted else 0)
                self.assertEqual(self.count_lines(proxy, note, expected), expected)

    def assert_failed_send_to_browser(self, proxy):
        self.assertEqual(proxy.wait_exit(timeout=30), 1)  # an exit status, not a signal
        last = proxy.lines[-3:]
        self.assertEqual(last[0], "Error while transmitting.", proxy.output)
        self.assertRegex(last[1], r"^Tried to send (\d+) bytes, sent -?\d+ bytes\.$")
        self.assertIn(last[2], ("Error while sending body to browser.",
                                "Error while sending header to browser."))
        self.assertEqual(proxy.sanitizer_reports(), [], proxy.stderr_text)
        return last[2]

    def large_reply_after(self, event):
        def step(conn):
            event.wait(10)
            conn.sendall(http_reply(b"y" * (BUFFER - 4096)))
        return step

    def test_browser_that_hangs_up_before_a_large_reply(self):
        # "closes": an orderly close before the reply; "resets": a reset before the reply
        for how in ("closes", "resets"):
            with self.subTest(how):
                ready = threading.Event()
                proxy = self.start_scripted()
                self.script.append(self.large_reply_after(ready))
                browser = socket.create_connection((LOOPBACK, proxy.port), timeout=10)
                browser.sendall(b"GET /big HTTP/1.1\r\nHost: x\r\n\r\n")
                deadline = time.monotonic() + 10
                while not self.blog.requests and time.monotonic() < deadline:
                    time.sleep(0.01)
                if how == "resets":
                    reset(browser)
                else:
                    browser.close()
                time.sleep(0.1)
                ready.set()
                line = self.assert_failed_send_to_browser(proxy)
                if how == "resets":
                    self.assertEqual(line, "Error while sending header to browser.")


class KillFiles(ProxyCase, unittest.TestCase):
    def echo_of(self, proxy):
        """The console lines after the banner up to the echo's closing empty line."""
        lines = proxy.lines
        start = lines.index("") + 1
        return lines[start:lines.index("", start) + 1]

    def run_kill_file(self, text, settings_first=True):
        port = free_port()
        settings = conf(self.blog.port, port).encode()
        content = settings + text if settings_first else text + settings
        proxy = Proxy(content)
        self.addCleanup(self.finish_proxy, proxy)
        self.assertEqual(split_reply(get(proxy.port, "/"))[2], b"served")
        return proxy, port

    def setUp(self):
        self.blog = BlogServer(lambda req, conn: http_reply(b"served"))
        self.addCleanup(self.blog.stop)

    def settings_echo(self, port):
        return ['servername: "%s:%d"' % (LOOPBACK, self.blog.port), '  hostname: "%s"' % LOOPBACK,
                "      port: %d" % port]

    def test_odd_kill_files_give_a_sane_echo_and_the_proxy_serves(self):
        long_name = b"n" * 64
        cases = {
            "NUL bytes": (b"name Al\x00ice\ncont\x00spam\n\x00name Hidden\nxurl ads\x00.example\n",
                          ['      name: "Al"', '       url: "ads"'],
                          ["Line 5 of mivrel.conf ignored: no value."]),
            "overlong lines": (b"name " + long_name + b"\nname " + long_name + b"x\n"
                               b"host " + b"h" * 300 + b"\ncont " + b"w" * 100000 + b"\n",
                               ['      name: "%s"' % long_name.decode()],
                               ["Line 5 of mivrel.conf ignored: value longer than 64 bytes.",
                                "Line 6 of mivrel.conf ignored: value longer than 255 bytes.",
                                "Line 7 of mivrel.conf ignored: value longer than 64 bytes."]),
            "only white space": (b"   \n\t\t\n \r\n\n\t \r\nname  \t \nlink\t\n",
                                 [], ["Line 9 of mivrel.conf ignored: no value.",
                                      "Line 10 of mivrel.conf ignored: no value."]),
            "CR-only line ends": (b"name Carriage Return\rlink http://cr.example/\r\rcont  a  b\r",
                                  ['      name: "Carriage Return"',
                                   '      link: "http://cr.example/"',
                                   '   content: "a b"'], []),
        }
        for name, (text, rows, warnings) in cases.items():
            with self.subTest(name):
                proxy, port = self.run_kill_file(text)
                self.assertEqual(self.echo_of(proxy), warnings + self.settings_echo(port) + rows + [""])

    def test_ten_thousand_lines_with_the_settings_at_the_end(self):
        text = b"".join(b"name Reader %d\n" % i for i in range(10000))
        proxy, port = self.run_kill_file(text, settings_first=False)
        rows = ['      name: "Reader %d"' % i for i in range(128)]
        self.assertEqual(self.echo_of(proxy),
                         ["Filter table full: 9872 entry lines of mivrel.conf ignored."] +
                         self.settings_echo(port) + rows + [""])

    def test_file_of_only_white_space_keeps_the_defaults(self):
        proxy = Proxy(b" \t \r\n\n   \n\t", wait=False)
        try:
            proxy.wait_for_line("resolve")  # whether the default server resolves or not
            self.assertEqual(self.echo_of(proxy)[0], 'servername: "%s"' % BLOG_HOST)
            self.assertEqual(self.echo_of(proxy)[2:], ["      port: 4004", ""])
        finally:
            proxy.stop()
        self.assertEqual(proxy.sanitizer_reports(), [], proxy.stderr_text)


if __name__ == "__main__":
    unittest.main()
