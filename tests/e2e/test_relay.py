"""The relay end to end: start-up console, requests and replies rebuilt, failures."""
import os
import socket
import time
import unittest

from harness import (BLOG_HOST, LOOPBACK, Proxy, ProxyCase, chunked, conf, exchange, free_port,
                     get, http_reply, split_reply)


class StartUp(ProxyCase, unittest.TestCase):
    def test_console_shows_banner_settings_and_resolutions(self):
        proxy = self.start(lambda req, conn: http_reply(b""), "name Some One", "cont spam")
        port = proxy.port
        expected = [
            "Mivrel v1.4 2008-10-28", "",
            'servername: "%s:%d"' % (LOOPBACK, self.blog.port),
            '  hostname: "%s"' % LOOPBACK,
            "      port: %d" % port,
            '      name: "Some One"',
            '   content: "spam"', "",
            'Server "%s:%d" resolves to "%s"' % (LOOPBACK, self.blog.port, LOOPBACK), "",
            'Hostname "%s" resolves to "%s"' % (LOOPBACK, LOOPBACK), "",
        ]
        self.assertEqual(proxy.lines[:len(expected)], expected)

    def test_unresolvable_server_ends_with_status_1(self):
        for value in ("127.0.0.1:99999", "127.0.0.1:", "127.0.0.1:8x"):
            proxy = Proxy("server %s\nhost 127.0.0.1\nport %d\n" % (value, free_port()), wait=False)
            self.assertEqual(proxy.wait_exit(), 1)
            self.assertRegex(proxy.lines[-1], r'^Unable to resolve server "%s": rc = -?\d+\.$' % value)
            self.assertEqual(proxy.sanitizer_reports(), [])

    def test_restart_binds_again_at_once(self):
        proxy = self.start(lambda req, conn: http_reply(b"hello"))
        port = proxy.port
        for _ in range(3):
            get(port, "/")  # leaves connections in TIME_WAIT on the proxy's port
        proxy.stop()
        again = Proxy(workdir=proxy.workdir)
        self.addCleanup(self.finish_proxy, again)
        self.assertIn(b"hello", get(port, "/"))


class Relay(ProxyCase, unittest.TestCase):
    def test_counted_reply_relayed_with_rebuilt_header(self):
        body = b"<html>plain page, nothing to edit</html>\n"
        reply = http_reply(body, [b"Server: scripted", b"Location: http://%s/next?x=1" % BLOG_HOST.encode(),
                                  b"X-Other: %s:%s" % (b"a", BLOG_HOST.encode())])
        proxy = self.start(lambda req, conn: reply)
        got = get(proxy.port, "/page")
        address = b"%s:%d" % (LOOPBACK.encode(), proxy.port)
        self.assertEqual(got, b"HTTP/1.1 200 OK\r\nServer: scripted\r\n"
                              b"Location: http://" + address + b"/next?x=1\r\n"
                              b"X-Other: a:" + address + b"\r\n"
                              b"Content-Length: %d\r\n\r\n" % len(body) + body)

    def test_chunked_reply_arrives_dechunked_with_length(self):
        body = bytes(range(32, 127)) * 40
        framed = chunked(body, 333)
        reply = b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + framed
        proxy = self.start(lambda req, conn: reply)
        status, headers, got = split_reply(get(proxy.port, "/c"))
        self.assertEqual(headers, [b"Content-Length: %d" % len(body)])
        self.assertEqual(got, body)

    def test_length_line_in_any_letter_case(self):
        body = b"x" * 100000
        def respond(req, conn):
            conn.sendall(b"HTTP/1.1 200 OK\r\ncontent-length: %d\r\n\r\n" % len(body) + body[:10])
            time.sleep(0.2)  # the rest comes in a later read
            conn.sendall(body[10:])
        proxy = self.start(respond)
        status, headers, got = split_reply(get(proxy.port, "/"))
        self.assertEqual(headers, [b"Content-Length: 100000"])
        self.assertEqual(got, body)

    def test_reply_without_length_is_read_until_the_server_closes(self):
        def respond(req, conn):
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfirst ")
            time.sleep(0.2)
            conn.sendall(b"second")
        proxy = self.start(respond)
        status, headers, got = split_reply(get(proxy.port, "/"))
        self.assertEqual(got, b"first second")
        self.assertNotIn(b"Content-Length", b"".join(headers))

    def test_replies_that_never_carry_a_body_end_with_their_header(self):
        replies = {b"HEAD": b"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n",
                   b"GET": b"HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n"}
        def respond(req, conn):
            conn.sendall(replies[req.split(b" ")[0]])
            conn.settimeout(3)  # holds the connection open until the proxy closes it
            conn.recv(1)
        proxy = self.start(respond)
        for method in (b"HEAD", b"GET"):
            started = time.monotonic()
            got = exchange(proxy.port, method + b" / HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertLess(time.monotonic() - started, 2.5)
            self.assertTrue(got.endswith(b"Content-Length: 0\r\n\r\n"), got)

    def test_request_header_rebuilt_for_the_blog_server(self):
        proxy = self.start(lambda req, conn: http_reply(b"ok"))
        request = (b"GET /a/b?c HTTP/1.1\r\n"
                   b"Host: 127.0.0.1:%d\r\n"
                   b"Connection: keep-alive\r\n"
                   b"Keep-Alive: 300\r\n"
                   b"Proxy-Connection: keep-alive\r\n"
                   b"Accept-Encoding: gzip, br\r\n"
                   b"If-Modified-Since: Sat, 1 Jan 2000 00:00:00 GMT\r\n"
                   b"If-None-Match: \"abc\"\r\n"
                   b"Referer: http://127.0.0.1:%d/threads/42?p=1\r\n"
                   b"User-Agent: test\r\n\r\n") % (proxy.port, proxy.port)
        exchange(proxy.port, request)
        server = "%s:%d" % (LOOPBACK, self.blog.port)
        self.assertEqual(self.blog.requests, [
            b"GET /a/b?c HTTP/1.1\r\n"
            b"Host: " + server.encode() + b"\r\n"
            b"Proxy-Connection: keep-alive\r\n"
            b"Referer: http://" + server.encode() + b"/threads/42?p=1\r\n"
            b"User-Agent: test\r\n"
            b"Connection: close\r\n\r\n"])

    def test_referer_without_path_and_request_bodies(self):
        proxy = self.start(lambda req, conn: http_reply(b"ok"))
        exchange(proxy.port, b"POST /form HTTP/1.1\r\nReferer: http://elsewhere\r\n"
                             b"Content-Length: 5\r\n\r\nab=cd")
        exchange(proxy.port, b"POST /form HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                             b"3\r\nab=\r\n2;ext=1\r\ncd\r\n0\r\n\r\n")
        self.assertEqual(self.blog.requests, [
            b"POST /form HTTP/1.1\r\nReferer: http://elsewhere\r\nContent-Length: 5\r\n"
            b"Connection: close\r\n\r\nab=cd",
            b"POST /form HTTP/1.1\r\nContent-Length: 5\r\nConnection: close\r\n\r\nab=cd"])

    def test_cut_short_reply_closes_and_the_next_exchange_works(self):
        replies = [b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly part",
                   b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc",
                   b"HTTP/1.1 200 OK\r\nContent-Le"]
        pending = list(replies)
        def respond(req, conn):
            return pending.pop(0) if pending else http_reply(b"whole")
        proxy = self.start(respond)
        for _ in replies:
            self.assertEqual(get(proxy.port, "/"), b"")
        self.assertEqual(split_reply(get(proxy.port, "/"))[2], b"whole")
        self.assertEqual(proxy.wait_for_count("Reply from server cut short", 3), 3)

    def test_refused_server_stops_the_proxy(self):
        dead_port = free_port()  # nothing listens there
        proxy = Proxy(conf(dead_port, free_port()))
        self.assertEqual(get(proxy.port, "/"), b"")
        self.assertEqual(proxy.wait_exit(), 1)
        self.assertRegex(proxy.lines[-1], r"^Unable to connect to web server: rc = \d+\.$")
        self.assertEqual(proxy.sanitizer_reports(), [])


if __name__ == "__main__":
    unittest.main()
