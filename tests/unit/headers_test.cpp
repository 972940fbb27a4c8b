// Header rewriting: request lines for the blog server, reply lines for the browser.
#include "http/headers.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string rebuilt(int length) {
    return length < 0 ? "<does not fit>" : std::string(output_buffer, static_cast<size_t>(length));
}

std::string request(const std::string &header, int body_length = 0) {
    load_header_lines(header);
    message_info.body_length = body_length;
    return rebuilt(rewrite_request_header());
}

std::string reply(const std::string &header, int body_length) {
    load_header_lines(header);
    message_info.body_length = body_length;
    return rebuilt(rewrite_reply_header());
}

} // namespace

TEST(RequestHeader, LinesForTheBlogServer) {
    set_proxy("proxy.local", 4004, "blog.example:8080");
    struct row {
        std::string line, expected; // expected "" when the line is dropped
    } rows[] = {
        {"Host: proxy.local:4004", "Host: blog.example:8080\r\n"},
        {"Connection: keep-alive", ""},
        {"Keep-Alive: 115", ""},
        {"Conn", ""}, // a short prefix of a keyword counts as the keyword
        {"Proxy-Connection: keep-alive", "Proxy-Connection: keep-alive\r\n"},
        {"Accept-Encoding: gzip", ""},
        {"If-Modified-Since: Sat, 1 Jan 2000 00:00:00 GMT", ""},
        {"If-None-Match: \"x\"", ""},
        {"connection: keep-alive", "connection: keep-alive\r\n"}, // exact case for these
        {"Referer: http://proxy.local:4004/a/b?c=d",
         "Referer: http://blog.example:8080/a/b?c=d\r\n"},
        {"Referer: http://proxy.local:4004", "Referer: http://proxy.local:4004\r\n"},
        {"Referer: none", "Referer: none\r\n"},
        {"Transfer-Encoding: chunked", "Content-Length: 42\r\n"},
        {"User-Agent: test", "User-Agent: test\r\n"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(request("GET /x HTTP/1.1\r\n" + r.line + "\r\n\r\n", 42),
                  "GET /x HTTP/1.1\r\n" + r.expected + "Connection: close\r\n\r\n")
            << r.line;
    }
}

TEST(ReplyHeader, LinesForTheBrowser) {
    set_proxy("127.0.0.1", 4004);
    const std::string host = blog_host;
    struct row {
        std::string line, expected;
    } rows[] = {
        {"Content-Length: 999", "Content-Length: 17\r\n"},
        {"content-length: 999", "Content-Length: 17\r\n"},
        {"Transfer-Encoding: chunked", "Content-Length: 17\r\n"},
        {"Location: http://" + host + "/a?" + host,
         "Location: http://127.0.0.1:4004/a?" + host + "\r\n"},
        {"Location: http://elsewhere.example/a", "Location: http://elsewhere.example/a\r\n"},
        {"Set-Cookie: a=b", "Set-Cookie: a=b\r\n"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(reply("HTTP/1.1 200 OK\r\n" + r.line + "\r\n\r\n", 17),
                  "HTTP/1.1 200 OK\r\n" + r.expected + "\r\n")
            << r.line;
    }
    // both length lines give two lines with the same number; neither gives none
    EXPECT_EQ(
        reply("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 3),
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(reply("HTTP/1.0 200 OK\r\n\r\n", 3), "HTTP/1.0 200 OK\r\n\r\n");
}

TEST(ReplyHeader, LongLinesAreKeptWholeAndOverflowIsReported) {
    set_proxy("127.0.0.1", 4004);
    std::string cookie = "Set-Cookie: " + std::string(5000, 'c');
    EXPECT_EQ(reply("HTTP/1.1 200 OK\r\n" + cookie + "\r\n\r\n", 0),
              "HTTP/1.1 200 OK\r\n" + cookie + "\r\n\r\n");
    // a header that grows beyond output_buffer when rebuilt is refused, never sent half-built
    set_proxy("a-rather-long-proxy-host-name.example", 4004);
    std::string one = std::string("X: ") + blog_host;
    one += std::string(62 - one.size(), 'a') + "\r\n";
    std::string grows = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 1000; ++i) {
        grows += one;
    }
    load_header_lines(grows + "\r\n");
    ASSERT_EQ(message_info.line_count, 1002);
    EXPECT_EQ(rewrite_reply_header(), -1);
    // fits header_copy, but not output_buffer once "Connection: close" is added
    std::string long_request =
        "GET /" + std::string(limits::output_buffer_size - 30, 'p') + " HTTP/1.1\r\n\r\n";
    load_header_lines(long_request);
    EXPECT_EQ(rewrite_request_header(), -1);
}
