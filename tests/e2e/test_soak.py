"""Soak: 20,000 sequential exchanges through the real binary against a minimal local server.

The mix per 20 exchanges: 8 plain pages, 4 discussion pages, 4 chunked replies, 2 filter
commands, 1 reply cut short, 1 page of 100 KiB. Every reply is compared with the bytes expected;
afterwards the proxy's resident memory has grown by at most 1 MiB since exchange 1,000, it holds
as many descriptors as at the start, and mivrel.conf holds exactly the lines the commands added.
"""
import os
import socket
import struct
import threading
import time
import unittest

from harness import BLOG_HOST, LOOPBACK, Proxy, conf, free_port

EXCHANGES = int(os.environ.get("MIVREL_SOAK_EXCHANGES", "20000"))
WARM_UP = 1000
AUTHORS = 84  # distinct authors listed by the commands; with the file's rows they fit the table

KILL_LINES = ["name Loud Poster", "cont spam"]
TITLE = b"Mivrel: A proxy filter for the Reason Hit &amp; Run blog\r\n"


def counted(body, content_type=b"text/html"):
    return (b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
            % (content_type, len(body)) + body)


def chunked(body, size, content_type=b"text/plain"):
    framed = b""
    for i in range(0, len(body), size):
        piece = body[i:i + size]
        framed += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return (b"HTTP/1.1 200 OK\r\nContent-Type: %s\r\nTransfer-Encoding: chunked\r\n\r\n"
            % content_type + framed + b"0\r\n\r\n")


class Discussion:
    """A discussion page and the page the proxy must make of it with the soak's kill file."""

    def __init__(self, proxy_port):
        self.port = proxy_port
        self.page = (b"<html><head><title>Soak thread</title></head><body>\n"
                     b'<p><a href="http://%s/blog/">Back to the post</a></p>\n' % BLOG_HOST.encode())
        self.expected = (b"<html><head><title>Soak thread</title></head><body>\n"
                         b'<p><a href="http://%s:%d/blog/">Back to the post</a></p>\n'
                         % (LOOPBACK.encode(), proxy_port))
        self.stripe = 0
        for name, link, text, white, kept in (
                (b"Quiet Reader", None, b"A calm remark.", False, True),
                (b"Loud Poster", b"http://loud.example/", b"Shouting.", True, False),
                (b"Spammy", None, b"Buy SPAM, now!", False, False),
                (b"Third Voice", b"mailto:third@example.org", b"A reply.", False, True),
                (b"Fourth", None, b"Spamming is a word of its own.", True, True)):
            self.add(name, link, text, white, kept)
        self.page += b"</body></html>\n"
        self.expected += b"</body></html>\n"

    def add(self, name, link, text, white, kept):
        author = b'<a href="%s">%s</a>' % (link, name) if link else name
        block = b'<div class="%scom-blck">\n<p>%s | 2008-10-28</p>\n<p>%s</p>\n</div>'
        self.page += block % (b"white-" if white else b"", author, text) + b"\n"
        if kept:
            segment = name.hex().encode() + b"00" + (link or b"").hex().encode() + b"00"
            x_link = (b' (<a href="http://%s:%d/mivrel/filter/%s/">X</a>)'
                      % (LOOPBACK.encode(), self.port, segment))
            white_now = b"white-" if self.stripe else b""
            self.expected += block % (white_now, author + x_link, text)
            self.stripe = 1 - self.stripe
        self.expected += b"\n"


def command_page(name, link, added):
    page = (b"<html>\r\n<head>\r\n<title>\r\n" + TITLE + b"</title>\r\n</head>\r\n<body>\r\n"
            b"<h1>\r\n" + TITLE + b"</h1>\r\n")
    for label, text in ((b"Name", name), (b"Link", link)):
        if text:
            page += b"<p>\r\n" + label + b' "' + text + b'" ' + (
                b"has been added to" if added else b"is already listed in") + \
                b" <code>mivrel.conf</code>.\r\n"
    page += (b"<p>\r\nPress the [Back] button to return to Hit &amp; Run.\r\n<p>\r\n"
             b"Then press the [Refresh] button to reload the discussion.\r\n</body>\r\n</html>\r\n")
    return (b"HTTP/1.1 200 OK\r\nContent-type: text/html\r\nContent-length: %d\r\n\r\n"
            % len(page) + page)


class MinimalServer:
    """Answers each connection by its path from a fixed table; "/cut" breaks off its reply."""

    def __init__(self, replies):
        self.replies = replies
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((LOOPBACK, 0))
        self.listener.listen(64)
        self.listener.settimeout(0.5)
        self.port = self.listener.getsockname()[1]
        self.served = 0
        self.stopping = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            with conn:
                conn.settimeout(5)
                try:
                    request = b""
                    while b"\r\n\r\n" not in request:
                        piece = conn.recv(65536)
                        if not piece:
                            break
                        request += piece
                    path = request.split(b" ", 2)[1] if request.count(b" ") >= 2 else b""
                    conn.sendall(self.replies.get(path, b"HTTP/1.1 404 Not Found\r\n\r\n"))
                    self.served += 1
                except OSError:
                    pass

    def stop(self):
        self.stopping = True
        self.thread.join(timeout=5)
        self.listener.close()


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def fetch(port, request):
    with socket.create_connection((LOOPBACK, port), timeout=10) as s:
        s.sendall(request)
        reply = b""
        while True:
            piece = s.recv(262144)
            if not piece:
                break
            reply += piece
        # a reset instead of a close: no connection of the soak lingers in TIME_WAIT
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return reply


class Soak(unittest.TestCase):
    def test_twenty_thousand_exchanges(self):
        proxy_port = free_port()
        discussion = Discussion(proxy_port)
        plain = b"<html><body><p>" + b"A plain page with nothing to edit. " * 30 + b"</p></body></html>\n"
        large = b"<html><body>" + b"0123456789abcdef" * 6400 + b"</body></html>\n"
        text = bytes(range(32, 127)) * 50
        replies = {
            b"/plain": counted(plain), b"/large": counted(large),
            b"/discussion": chunked(discussion.page, 700, b"text/html"),
            b"/chunked": chunked(text, 1000),
            b"/cut": b"HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\nonly the beginning",
        }
        expected = {
            b"/plain": counted(plain), b"/large": counted(large),
            b"/discussion": counted(discussion.expected),
            b"/chunked": counted(text, b"text/plain"),
            b"/cut": b"",
        }
        server = MinimalServer(replies)
        self.addCleanup(server.stop)
        kill_text = conf(server.port, proxy_port, *KILL_LINES)
        proxy = Proxy(kill_text)
        self.addCleanup(proxy.stop)
        pid = proxy.process.pid

        mix = [b"/plain"] * 8 + [b"/discussion"] * 4 + [b"/chunked"] * 4 + [None] * 2 + \
              [b"/cut", b"/large"]
        listed = set()
        appended = []
        commands = 0
        cuts = 0
        started = time.monotonic()
        fds_before = fd_count(pid)
        rss_warm = None
        for i in range(EXCHANGES):
            path = mix[i % len(mix)]
            if path is None:
                k = commands % AUTHORS
                commands += 1
                name = b"Soak Reader %d" % k
                link = b"http://soak.example/%d" % k if k % 4 == 3 else b""
                segment = name.hex().encode() + b"00" + link.hex().encode() + b"00"
                request = b"GET /mivrel/filter/%s/ HTTP/1.1\r\nHost: x\r\n\r\n" % segment
                want = command_page(name, link, k not in listed)
                if k not in listed:
                    listed.add(k)
                    appended.append(b"name " + name + b"\n")
                    if link:
                        appended.append(b"link " + link + b"\n")
            else:
                request = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n" % path
                want = expected[path]
                cuts += path == b"/cut"
            got = fetch(proxy_port, request)
            if got != want:
                self.fail("exchange %d (%s): got %r..., expected %r..." % (i, path, got[:300],
                                                                           want[:300]))
            if i + 1 == WARM_UP:
                rss_warm = rss_kib(pid)
        duration = time.monotonic() - started
        rss_end = rss_kib(pid)
        fds_after = fd_count(pid)
        print("\nsoak: %d exchanges in %.1f s (%.0f/s); VmRSS %d kB after %d, %d kB at the end; "
              "descriptors %d before, %d after; %d lines appended"
              % (EXCHANGES, duration, EXCHANGES / duration, rss_warm or 0, WARM_UP, rss_end,
                 fds_before, fds_after, len(appended)))
        self.assertIsNone(proxy.process.poll(), proxy.output[-2000:])
        self.assertEqual(fds_after, fds_before)
        if rss_warm is not None:
            self.assertLessEqual(rss_end - rss_warm, 1024)
        with open(proxy.conf_path, "rb") as f:
            self.assertEqual(f.read(), kill_text.encode() + b"".join(appended))
        self.assertEqual(sum("Reply from server cut short" in l for l in proxy.lines),
                         cuts)
        proxy.stop()
        self.assertEqual(proxy.sanitizer_reports(), [], proxy.stderr_text)


if __name__ == "__main__":
    unittest.main()
