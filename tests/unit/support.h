// Helpers shared by the unit tests: a body in message_buffer, a filter table, the settings.
#pragma once

#include "core/proxy.h"
#include "core/text.h"
#include "filterlist/config.h"
#include "http/message.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// Places `page` as the body of a message whose header is `header`.
inline void load_body(const std::string &page,
                      const std::string &header = "HTTP/1.1 200 OK\r\n\r\n") {
    std::memcpy(message_buffer, header.data(), header.size());
    std::memcpy(message_buffer + header.size(), page.data(), page.size());
    message_info.header_length = static_cast<int>(header.size());
    message_info.body_start = message_buffer + header.size();
    message_info.body_length = static_cast<int>(page.size());
    message_info.total_length = static_cast<int>(header.size() + page.size());
    message_info.body_start[page.size()] = '\0';
}

inline std::string body() {
    return std::string(message_info.body_start, static_cast<size_t>(message_info.body_length));
}

inline void set_table(const std::vector<std::pair<char, std::string>> &rows) {
    filter_count = 0;
    for (const auto &[kind, text] : rows) {
        add_filter_entry(kind, text.data(), static_cast<int>(text.size()));
    }
}

inline void set_proxy(const char *host = "127.0.0.1", int port = 4004,
                      const char *server = "reason.com") {
    std::snprintf(proxy_settings.listen_host, sizeof proxy_settings.listen_host, "%s", host);
    std::snprintf(proxy_settings.server_name, sizeof proxy_settings.server_name, "%s", server);
    proxy_settings.listen_port = port;
}

// Two lowercase hex digits per byte, as filter links encode author texts.
inline std::string hex(const std::string &text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Splits a header text into header_lines as the receiver does.
inline void load_header_lines(const std::string &header) {
    std::memcpy(header_copy, header.data(), header.size());
    split_lines(header_copy, static_cast<int>(header.size()), header_lines,
                limits::header_line_capacity, &message_info.line_count);
}
