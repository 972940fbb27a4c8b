"""The reason the proxy exists, end to end: a discussion filtered, an "X" clicked, the author gone."""
import re
import socket
import time
import unittest

from harness import (BLOG_HOST, LOOPBACK, BlogServer, Proxy, ProxyCase, chunked, conf, exchange,
                     free_port, get, split_reply)


def block(cls, author, text, link=None):
    who = '<a href="%s">%s</a>' % (link, author) if link else author
    return '<div class="%scom-blck"><p>%s | %s</p><p>%s</p></div>\n' % (cls, who, "12:00", text)


DISCUSSION = ("<html><head><script type=\"text/javascript\" src=\"http://ads.example/a.js\"></script>"
              "</head><body><a href=\"http://%s/threads\">threads</a>\n" % BLOG_HOST +
              block("", "Ann Example", "First.") +
              block("white-", "Rex Troll", "Buy now", link="http://rex.example/") +
              block("", "Cy Cynic", "A SPAMMY word is fine, spam is not") +
              block("white-", "Rex Troll", "Again", link="http://rex.example/") +
              block("", "Dot", "Plain words.") +
              block("white-", "Eve Listed", "hidden by name") +
              "</body></html>\n").encode()


def kept_blocks(page):
    """(class prefix, author, "X" address) of every block that carries its "X" link."""
    found = re.findall(r'<div class="([a-z-]*)com-blck"><p>([^<(]+?|<a [^>]+>[^<]+</a>) '
                       r'\(<a href="([^"]+)">X</a>\) \|', page.decode())
    return [(cls, re.sub(r"<[^>]+>", "", who), x) for cls, who, x in found]


class FilterRoundTrip(ProxyCase, unittest.TestCase):
    def test_click_x_lists_the_author_and_reload_hides_every_block(self):
        reply = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n"
        proxy = self.start(lambda req, conn: reply + chunked(DISCUSSION, 500),
                           "name Eve Listed", "cont spam", "xurl ads.example")
        port = proxy.port
        address = "%s:%d" % (LOOPBACK, port)

        status, headers, page = split_reply(get(port, "/threads/1"))
        text = page.decode()
        self.assertEqual(headers, [b"Content-Type: text/html", b"Content-Length: %d" % len(page)])
        self.assertNotIn("ads.example", text)
        self.assertIn('href="http://%s/threads"' % address, text)
        self.assertNotIn("Eve Listed", text)
        self.assertNotIn("spam is not", text)
        kept = kept_blocks(page)
        self.assertEqual([(cls, who) for cls, who, _ in kept],
                         [("", "Ann Example"), ("white-", "Rex Troll"), ("", "Rex Troll"),
                          ("white-", "Dot")])
        self.assertEqual(text.count("com-blck"), 4)  # every kept block has its "X"
        self.assertRegex(proxy.wait_for_line("posts tested"),
                         r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d 6 posts tested, 2 removed, 33\.3%$")
        self.assertRegex(proxy.wait_for_line("URLs removed"), r" 1 URLs removed$")

        # the browser follows Rex's "X" link: the proxy answers without asking the blog
        x_url = kept[1][2]
        prefix = "http://%s" % address
        self.assertTrue(x_url.startswith(prefix + "/mivrel/filter/"), x_url)
        asked = self.blog.connections
        confirm = get(port, x_url[len(prefix):])
        self.assertEqual(self.blog.connections, asked)
        status, headers, page = split_reply(confirm)
        self.assertEqual(status, b"HTTP/1.1 200 OK")
        self.assertEqual(headers, [b"Content-type: text/html", b"Content-length: %d" % len(page)])
        self.assertIn(b'Name "Rex Troll" has been added to <code>mivrel.conf</code>.', page)
        self.assertIn(b'Link "http://rex.example/" has been added to <code>mivrel.conf</code>.', page)
        with open(proxy.conf_path) as f:
            self.assertTrue(f.read().endswith("xurl ads.example\nname Rex Troll\nlink http://rex.example/\n"))

        page = split_reply(get(port, x_url[len(prefix):]))[2]
        self.assertIn(b'Name "Rex Troll" is already listed in <code>mivrel.conf</code>.', page)
        with open(proxy.conf_path) as f:
            self.assertEqual(f.read().count("Rex Troll"), 1)

        def kept_authors(page):
            return [(cls, who) for cls, who, _ in kept_blocks(page)]

        expected = [("", "Ann Example"), ("white-", "Dot")]
        self.assertEqual(kept_authors(split_reply(get(port, "/threads/1"))[2]), expected)

        proxy.stop()
        again = Proxy(workdir=proxy.workdir)
        self.addCleanup(self.finish_proxy, again)
        self.assertIn('      name: "Rex Troll"', again.lines)
        self.assertEqual(kept_authors(split_reply(get(port, "/threads/1"))[2]), expected)

    def test_port_above_65535_binds_its_low_bits_and_links_show_it_as_configured(self):
        page = block("", "Ann", "hello").encode()
        self.blog = BlogServer(lambda req, conn: b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(page) + page)
        self.addCleanup(self.blog.stop)
        low = free_port()
        proxy = Proxy(conf(self.blog.port, 65536 + low), wait=False)
        self.addCleanup(self.finish_proxy, proxy)
        proxy.wait_for_line("Hostname ")
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection((LOOPBACK, low), timeout=1).close()
                break
            except OSError:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.02)
        self.assertIn("      port: %d" % (65536 + low), proxy.lines)
        [(_, who, x_url)] = kept_blocks(split_reply(get(low, "/"))[2])
        self.assertTrue(x_url.startswith("http://%s:%d/mivrel/filter/" % (LOOPBACK, 65536 + low)))

    def test_refused_texts_append_nothing(self):
        proxy = self.start(lambda req, conn: b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        with open(proxy.conf_path) as f:
            before = f.read()
        for name in (b"evil\nserver attacker.example", b" padded", b"x" * 65):
            segment = name.hex() + "0000"
            page = split_reply(get(proxy.port, "/mivrel/filter/%s/" % segment))[2]
            self.assertIn(b"cannot be listed", page)
        page = split_reply(get(proxy.port, "/mivrel/filter/%s00%s00/" % (
            b"<script>".hex(), b'"onload="x'.hex())))[2]
        self.assertIn(b'Name "&lt;script&gt;"', page)
        self.assertIn(b'Link "&quot;onload=&quot;x"', page)
        self.assertNotIn(b"<script>", page)
        with open(proxy.conf_path) as f:
            self.assertEqual(f.read(), before + 'name <script>\nlink "onload="x\n')
        self.assertEqual(self.blog.connections, 0)
        # without a protocol version the status line still names one
        reply = exchange(proxy.port, b"GET /mivrel/filter/0000/\r\n\r\n")
        self.assertTrue(reply.startswith(b"HTTP/1.0 200 OK\r\n"), reply[:40])


if __name__ == "__main__":
    unittest.main()
