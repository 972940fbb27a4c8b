// Rebuilding request headers for the blog server and reply headers for the browser.
#include "http/headers.h"

#include "core/proxy.h"
#include "core/text.h"
#include "http/message.h"

#include <cstring>

static int finish_header(const write_cursor *out) {
    return out->overflow ? -1 : static_cast<int>(out->position - output_buffer);
}

// Request lines the blog server must not see: persistent-connection lines (the proxy makes one
// request per connection), compression (bodies are edited as text) and conditional requests
// (the reply depends on the filter list, so a "304 Not Modified" could show a stale page).
static bool is_dropped_request_line(const char *line) {
    static const char *const dropped[] = {"Keep-Alive: ", "Connection: ", "Accept-Encoding: ",
                                          "If-Modified-Since: ", "If-None-Match: "};
    for (const char *name : dropped) {
        if (prefix_match(line, name)) {
            return true;
        }
    }
    return false;
}

static void write_referer(write_cursor *out, const char *line) {
    const char *scheme_end = std::strstr(line, "//");
    const char *path = scheme_end ? std::strchr(scheme_end + 2, '/') : nullptr;
    if (path == nullptr) {
        append_text(out, line);
        return;
    }
    append_text(out, "Referer: http://");
    append_text(out, proxy_settings.server_name);
    append_text(out, path);
}

int rewrite_request_header() {
    write_cursor out = make_cursor(output_buffer, limits::output_buffer_size);
    for (int i = 0; i < message_info.line_count; ++i) {
        const char *line = header_lines[i];
        if (i == message_info.line_count - 1) {
            append_text(&out, "Connection: close\r\n");
        }
        if (is_dropped_request_line(line)) {
            continue;
        }
        if (prefix_match_nocase(line, "Transfer-Encoding: chunked")) {
            // the body is forwarded de-chunked
            append_format(&out, "Content-Length: %d", message_info.body_length);
        } else if (prefix_match(line, "Host: ")) {
            append_text(&out, "Host: ");
            append_text(&out, proxy_settings.server_name);
        } else if (prefix_match(line, "Referer: ")) {
            write_referer(&out, line);
        } else {
            append_text(&out, line);
        }
        append_text(&out, "\r\n");
    }
    return finish_header(&out);
}

int rewrite_reply_header() {
    char proxy_address[limits::proxy_address_size];
    format_proxy_address(proxy_address);
    const int host_length = static_cast<int>(std::strlen(blog_host));
    write_cursor out = make_cursor(output_buffer, limits::output_buffer_size);
    for (int i = 0; i < message_info.line_count; ++i) {
        const char *line = header_lines[i];
        if (prefix_match_nocase(line, "Content-Length: ") ||
            prefix_match_nocase(line, "Transfer-Encoding: chunked")) {
            append_format(&out, "Content-Length: %d\r\n", message_info.body_length);
            continue;
        }
        const char *host = find_text(line, line + std::strlen(line), blog_host, host_length);
        if (host != nullptr) {
            append_bytes(&out, line, static_cast<int>(host - line));
            append_text(&out, proxy_address);
            append_text(&out, host + host_length);
        } else {
            append_text(&out, line);
        }
        append_text(&out, "\r\n");
    }
    return finish_header(&out);
}
