// The demo's sample blog: a small HTTP/1.1 server on 127.0.0.1 serving the pages of pages.h.
//
// Usage: sample_blog PORT. One connection at a time, one request per connection: every reply
// carries "Connection: close" and a Content-Length, except the discussion marked chunked, which
// is sent with Transfer-Encoding: chunked in pieces of varying size. Each request is logged on
// standard output. It runs until it is stopped by a signal.
#include "pages.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr int request_size = 16 * 1024;
constexpr int reply_size = 64 * 1024;
constexpr int receive_seconds = 5;

char request[request_size];
char reply_body[reply_size];
char reply_header[1024];

int send_bytes(int s, const char *data, long length) {
    while (length > 0) {
        ssize_t n = send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 1;
        }
        data += n;
        length -= n;
    }
    return 0;
}

// Reads until the end of the request header; its length, or 0 when none arrived in time.
int read_request(int s) {
    int length = 0;
    while (length < request_size - 1) {
        ssize_t n = recv(s, request + length, static_cast<size_t>(request_size - 1 - length), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        length += static_cast<int>(n);
        request[length] = '\0';
        if (std::strstr(request, "\r\n\r\n") != nullptr) {
            return length;
        }
    }
    return 0;
}

const blog_page *find_page(const char *path) {
    for (const blog_page &p : blog_pages) {
        if (std::strcmp(p.path, path) == 0) {
            return &p;
        }
    }
    return nullptr;
}

int send_header(int s, const char *status, const char *type, long length) {
    int n;
    if (length < 0) {
        n = std::snprintf(reply_header, sizeof reply_header,
                          "HTTP/1.1 %s\r\nContent-Type: %s\r\nTransfer-Encoding: chunked\r\n"
                          "Cache-Control: no-cache\r\nConnection: close\r\n\r\n",
                          status, type);
    } else {
        n = std::snprintf(reply_header, sizeof reply_header,
                          "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %ld\r\n"
                          "Cache-Control: no-cache\r\nConnection: close\r\n\r\n",
                          status, type, length);
    }
    return send_bytes(s, reply_header, n);
}

// Sends the body in chunks whose sizes cycle through a few values, so that chunk boundaries
// fall inside tags and comment blocks.
int send_chunked(int s, const char *body, long length) {
    static const long sizes[] = {700, 13, 2048, 1, 333};
    long offset = 0;
    for (int i = 0; offset < length; ++i) {
        long size = sizes[i % 5];
        if (size > length - offset) {
            size = length - offset;
        }
        char line[32];
        int n = std::snprintf(line, sizeof line, "%lx\r\n", size);
        if (send_bytes(s, line, n) != 0 || send_bytes(s, body + offset, size) != 0 ||
            send_bytes(s, "\r\n", 2) != 0) {
            return 1;
        }
        offset += size;
    }
    return send_bytes(s, "0\r\n\r\n", 5);
}

void serve(int s) {
    if (read_request(s) == 0) {
        return;
    }
    char method[16] = "";
    char path[1024] = "";
    if (std::sscanf(request, "%15s %1023s", method, path) != 2) {
        return;
    }
    const bool head = std::strcmp(method, "HEAD") == 0;
    char *query = std::strchr(path, '?');
    if (query != nullptr) {
        *query = '\0';
    }
    const char *status = "200 OK";
    const char *type = "text/html; charset=utf-8";
    const char *body = reply_body;
    long length = 0;
    bool chunked = false;
    const blog_page *page = find_page(path);
    if (!head && std::strcmp(method, "GET") != 0) {
        status = "501 Not Implemented";
        length = std::snprintf(reply_body, sizeof reply_body, "<p>Only GET and HEAD.</p>\n");
    } else if (std::strcmp(path, "/style.css") == 0) {
        type = "text/css";
        body = style_sheet;
        length = static_cast<long>(sizeof style_sheet - 1);
    } else if (page != nullptr) {
        int n = std::snprintf(reply_body, sizeof reply_body, page_top, page->title, page->title);
        n += std::snprintf(reply_body + n, sizeof reply_body - static_cast<size_t>(n), "%s%s",
                           page->body, page_bottom);
        length = n < reply_size ? n : reply_size - 1;
        chunked = page->chunked;
    } else {
        status = "404 Not Found";
        length = std::snprintf(reply_body, sizeof reply_body,
                               "<html><body><p>No such page.</p></body></html>\n");
    }
    std::printf("sample blog: %s %s %.3s%s\n", method, path, status, chunked ? " (chunked)" : "");
    if (send_header(s, status, type, chunked ? -1 : length) != 0 || head) {
        return;
    }
    if (chunked) {
        send_chunked(s, body, length);
    } else {
        send_bytes(s, body, length);
    }
}

int parse_port(const char *text) {
    char *end = nullptr;
    long port = std::strtol(text, &end, 10);
    return (end != text && *end == '\0' && port > 0 && port < 65536) ? static_cast<int>(port) : 0;
}

} // namespace

int main(int argc, char **argv) {
    int port = argc == 2 ? parse_port(argv[1]) : 0;
    if (port == 0) {
        std::fprintf(stderr, "usage: sample_blog PORT\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        std::fprintf(stderr, "sample blog: cannot listen on 127.0.0.1:%d: %s\n", port,
                     std::strerror(errno));
        return 1;
    }
    std::printf("sample blog: serving http://127.0.0.1:%d/ (its pages link to http://%s)\n", port,
                MIVREL_BLOG_HOST);
    for (;;) {
        int c = accept(listener, nullptr, nullptr);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            std::fprintf(stderr, "sample blog: accept failed: %s\n", std::strerror(errno));
            return 1;
        }
        timeval limit{};
        limit.tv_sec = receive_seconds;
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        serve(c);
        close(c);
    }
}
