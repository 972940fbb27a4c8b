#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: a few realistic inputs per target.

Run it after changing the inputs below; the files it writes are kept in the repository.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# Kinds of message for the message target (its input's first byte).
REQUEST, REPLY, REPLY_TO_HEAD = 0, 1, 2


def data(piece):
    """One read of the script: the piece's bytes, as scripted_net.h encodes them."""
    out = b""
    while piece:
        part, piece = piece[:16384], piece[16384:]
        n = len(part) - 1
        out += (bytes([n]) if n < 0x80 else bytes([0x80 | n >> 8, n & 0xff])) + part
    return out


def filler(count, byte):
    n = count - 1
    return bytes([0xc0 | n >> 16, (n >> 8) & 0xff, n & 0xff, byte])


FAILED_READ = b"\xe0"


def pieces(message, cuts):
    """The message delivered in reads that end at the given offsets."""
    out, start = b"", 0
    for cut in list(cuts) + [len(message)]:
        if cut > start:
            out += data(message[start:cut])
            start = cut
    return out


def block(name, text, link=None, white=False):
    author = (b'<a href="%s">%s</a>' % (link, name)) if link else name
    cls = b"white-com-blck" if white else b"com-blck"
    return (b'<div class="%s" id="c%d">\n<p>%s | <span class="when">2008-10-28 09:%02d</span></p>\n'
            b"<p>%s</p>\n</div>\n" % (cls, len(name), author, len(text) % 60, text))


DISCUSSION = (b"<html><head><title>A discussion</title>\n"
              b'<script src="http://ads.example.net/banner.js" type="text/javascript"></script>\n'
              b"</head><body>\n"
              b'<p><a href="http://reason.com/blog/2008/10/28/">Back to the post</a></p>\n' +
              block(b"Quiet Reader", b"A calm remark about the budget.") +
              block(b"Loud Poster", b"SPAM spam and more spam!", link=b"http://loud.example.org/",
                    white=True) +
              block(b"T &amp; Q", b"Ampersands stay as they are.") +
              block(b"Third Voice", b"A reply to the first comment.", link=b"mailto:third@example.org",
                    white=True) +
              b"<noscript><img src=\"http://ads.example.net/pixel.gif\"></noscript>\n"
              b"</body></html>\n")

KILL_FILE = (b"# kill file of a regular reader\n"
             b"server 127.0.0.1:8080\n"
             b"host 127.0.0.1\n"
             b"port 4004\n"
             b"name Loud Poster\n"
             b"link http://loud.example.org/\n"
             b"cont spam\n"
             b"xurl ads.example.net\n")


def chunked(body, size):
    out = b""
    for i in range(0, len(body), size):
        part = body[i:i + size]
        out += b"%x\r\n" % len(part) + part + b"\r\n"
    return out + b"0\r\n\r\n"


def reply_header(*lines):
    return b"\r\n".join([b"HTTP/1.1 200 OK"] + list(lines)) + b"\r\n\r\n"


def segment(name, link=b""):
    return name.hex().encode() + b"00" + link.hex().encode() + b"00"


def message_seeds():
    chunked_reply = reply_header(b"Content-Type: text/html", b"Transfer-Encoding: chunked") + \
        chunked(DISCUSSION[:300], 0x6b) + b"\r\n"
    header_end = chunked_reply.index(b"\r\n\r\n") + 4
    counted = reply_header(b"Content-Length: %d" % len(DISCUSSION)) + DISCUSSION
    request = (b"POST /blog/comment HTTP/1.1\r\nHost: 127.0.0.1:4004\r\n"
               b"content-length: 11\r\n\r\nname=A&x=10")
    return {
        # split inside the header's end, inside a size line, between its CR and LF, in data
        "chunked_reply_split": bytes([REPLY]) + pieces(
            chunked_reply, [header_end - 2, header_end + 1, header_end + 3, header_end + 40,
                            header_end + 0x6b + 6, header_end + 0x6b + 7]),
        "chunked_reply_one_read": bytes([REPLY]) + data(chunked_reply),
        "chunked_with_extensions": bytes([REPLY]) + data(
            reply_header(b"transfer-encoding: chunked") +
            b"1a;name=value\r\nabcdefghijklmnopqrstuvwxyz\r\n10\r\n0123456789abcdef\r\n0\r\n"
            b"Trailer: x\r\n\r\n"),
        "counted_reply": bytes([REPLY]) + pieces(counted, [17, 60, 200]),
        "reply_until_close": bytes([REPLY]) + data(
            b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nfirst ") + data(b"second"),
        "reply_to_head": bytes([REPLY_TO_HEAD]) + data(reply_header(b"Content-Length: 50")),
        "not_modified": bytes([REPLY]) + data(
            b"HTTP/1.1 304 Not Modified\r\nContent-Length: 50\r\n\r\n"),
        "request_with_body": bytes([REQUEST]) + pieces(request, [len(request) - 9,
                                                                 len(request) - 6]),
        "request_header_only": bytes([REQUEST]) + data(
            b"GET /blog/2008/10/28/ HTTP/1.1\r\nHost: 127.0.0.1:4004\r\n"
            b"Connection: keep-alive\r\n\r\n"),
        "reply_fills_buffer": bytes([REPLY]) + data(
            reply_header(b"Content-Length: 2097100")) + filler(2097100, ord("x")),
        "reset_mid_body": bytes([REPLY]) + data(
            reply_header(b"Content-Length: 100") + b"only part") + FAILED_READ,
        # a header of 65,535 bytes (the largest that fits the copy), then its blank line
        "header_at_limit": bytes([REPLY]) + data(b"HTTP/1.1 200 OK\r\nX-Pad: ") +
                           filler(65535 - 26 - 4, ord("a")) + data(b"\r\n\r\nbody"),
        # 1,024 header lines, the blank one included: the most the line table holds
        "lines_at_limit": bytes([REQUEST]) + data(b"GET / HTTP/1.1\r\n" + b"a\r\n" * 1022 +
                                                  b"\r\n"),
        "huge_chunk_size": bytes([REPLY]) + data(
            reply_header(b"Transfer-Encoding: chunked") + b"ffffffffffffffff\r\nabc"),
    }


def config_seeds():
    return {
        "kill_file": KILL_FILE,
        "white_space_and_crlf": b"port\t\t4005 \r\nname  Two  Spaces \r\n\tname Indented\r\n"
                                b"cont   \r\nnam\r\nxurl" + b"x" * 70 + b"\r\n",
        "cr_only": b"host 127.0.0.1\rname Carriage Return\rlink http://cr.example.org/\r",
        "nul_inside": b"name Before\x00After\nserver 127.0.0.1\x00:80\nport 99999999999\n",
    }


def pipeline_seeds():
    return {
        "discussion_page": KILL_FILE + b"\x00" + DISCUSSION,
        "discussion_empty_table": b"host 127.0.0.1\nport 4004\n\x00" + DISCUSSION,
        "long_host_near_limit": b"host " + b"h" * 200 + b"\nport 2147483647\n\x00" + b"\x81" +
                                DISCUSSION,
        "broken_blocks": b"name A\x00" + b'<div class="com-blck"><p>A |</div>'
                         b'<div class="com-blck">\n<p><a href="x>B</a></p>'
                         b'</div> text com-blck"<p>C |</div>',
    }


def command_seeds():
    request = b"GET /mivrel/filter/%s/ HTTP/1.1\r\nHost: 127.0.0.1:4004\r\n\r\n"
    return {
        "filter_request_linked": KILL_FILE + b"\x00" + request % segment(b"Third Voice",
                                                                        b"mailto:third@example.org"),
        "filter_request_plain": b"name Someone Else\x00" + request % segment(b"Quiet Reader"),
        "already_listed": KILL_FILE + b"\x00" + request % segment(b"Loud Poster",
                                                                  b"http://loud.example.org/"),
        "refused_texts": b"port 4004\x00" + request % segment(b"Line\nserver evil", b"<script>"),
        "no_version": b"\x00GET /mivrel/filter/" + segment(b"A") + b"/",
    }


def main():
    for target, seeds in (("message", message_seeds()), ("config", config_seeds()),
                          ("pipeline", pipeline_seeds()), ("command", command_seeds())):
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, content in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(content)


if __name__ == "__main__":
    main()
