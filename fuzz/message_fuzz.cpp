// Fuzz target: receive_message over a script of reads (scripted_net.h), for every kind of message.
//
// Input: byte 0 chooses the kind (request, reply, reply to HEAD), the rest is the read script.
// After each message the target checks message_info against the bytes that were delivered: the
// header is the first bytes received and ends at their first blank line, the line table stays in
// the header copy, a NUL follows the message, and the body is what its framing says; a chunked
// body is compared with a plain decoding of the delivered bytes. Each input is received twice, the
// second time over what the first left behind, with the same outcome.
#include "fuzz_support.h"
#include "scripted_net.h"

namespace {

enum framing { header_only, until_close, counted, chunked };

struct outcome {
    long received;
    int total_length;
    int header_length;
    int body_length;
    int line_count;
};

char first_message[limits::message_buffer_size];
char decoded[limits::message_buffer_size];

bool status_without_body(const char *status_line) {
    const char *space = std::strchr(status_line, ' ');
    if (space == nullptr) {
        return false;
    }
    long long status = read_decimal(space + 1);
    return (status >= 100 && status <= 199) || status == 204 || status == 304;
}

// The framing the header announces; *length_line receives the "Content-Length: " line.
framing framing_of(message_kind kind, const char **length_line) {
    if (kind == reply_to_head || (kind == reply_message && status_without_body(header_lines[0]))) {
        return header_only;
    }
    for (int i = 0; i < message_info.line_count; ++i) {
        if (prefix_match_nocase(header_lines[i], "Content-Length: ")) {
            *length_line = header_lines[i];
            return counted;
        }
        if (prefix_match_nocase(header_lines[i], "Transfer-Encoding: chunked")) {
            return chunked;
        }
    }
    return kind == request_message ? header_only : until_close;
}

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decodes the chunked body in stream[from, to) into `decoded`. true when the body ended (the last
// chunk, or a size that is no number); false when the bytes ran out or a size was too large.
bool decode_reference(const char *stream, long from, long to, long *length) {
    long p = from;
    *length = 0;
    for (;;) {
        while (p < to && is_space(stream[p])) {
            ++p;
        }
        if (p == to) {
            return false;
        }
        if (hex_digit_value(stream[p]) < 0) {
            return true;
        }
        long long size = 0;
        for (; p < to && hex_digit_value(stream[p]) >= 0; ++p) {
            if (size <= limits::message_buffer_size) {
                size = size * 16 + hex_digit_value(stream[p]);
            }
        }
        const char *line_end = find_text(stream + p, stream + to, "\r\n", 2);
        if (line_end == nullptr) {
            return false;
        }
        if (size == 0) {
            return true;
        }
        if (size >= limits::message_buffer_size) {
            return false;
        }
        p = line_end + 2 - stream;
        if (to - p < size || *length + size >= limits::message_buffer_size) {
            return false;
        }
        std::memcpy(decoded + *length, stream + p, static_cast<size_t>(size));
        *length += static_cast<long>(size);
        p += static_cast<long>(size);
    }
}

void check_message(message_kind kind, long received) {
    long delivered = 0;
    const char *stream = script_stream(&delivered);
    FUZZ_CHECK(script_read_count() > 0); // the scripted layer is the one linked in
    if (stream != nullptr) {
        FUZZ_CHECK(received == delivered);
    }
    const message_record &m = message_info;
    if (m.total_length == 0) {
        return; // cut short: the other fields describe no message
    }
    FUZZ_CHECK(m.total_length > 0 && m.total_length < limits::message_buffer_size);
    FUZZ_CHECK(m.header_length >= 4 && m.header_length <= m.total_length);
    FUZZ_CHECK(m.header_length < limits::header_copy_size);
    FUZZ_CHECK(m.body_start == message_buffer + m.header_length);
    FUZZ_CHECK(m.body_length == m.total_length - m.header_length);
    FUZZ_CHECK(message_buffer[m.total_length] == '\0');
    FUZZ_CHECK(std::memcmp(message_buffer + m.header_length - 4, "\r\n\r\n", 4) == 0);

    FUZZ_CHECK(m.line_count >= 1 && m.line_count <= limits::header_line_capacity);
    const char *copy_end = header_copy + m.header_length;
    for (int i = 0; i < m.line_count; ++i) {
        const char *line = header_lines[i];
        FUZZ_CHECK(line >= header_copy && line <= copy_end);
        FUZZ_CHECK(std::memchr(line, 0, static_cast<size_t>(copy_end - line) + 1) != nullptr);
    }
    FUZZ_CHECK(header_lines[m.line_count - 1][0] == '\0'); // the blank line

    if (stream == nullptr) {
        return;
    }
    // the header is the first bytes received, up to their first blank line
    FUZZ_CHECK(std::memcmp(message_buffer, stream, static_cast<size_t>(m.header_length)) == 0);
    FUZZ_CHECK(find_text(stream, stream + m.header_length, "\r\n\r\n", 4) ==
               stream + m.header_length - 4);

    const char *length_line = nullptr;
    switch (framing_of(kind, &length_line)) {
    case counted: {
        long long announced = std::strlen(length_line) >= 16 ? read_decimal(length_line + 16) : 0;
        FUZZ_CHECK(m.body_length >= announced);
        [[fallthrough]];
    }
    case header_only:
    case until_close:
        // unframed: every byte received is kept as it came, and nothing is read after the end
        FUZZ_CHECK(m.total_length == delivered);
        FUZZ_CHECK(std::memcmp(message_buffer, stream, static_cast<size_t>(delivered)) == 0);
        break;
    case chunked: {
        long length = 0;
        FUZZ_CHECK(decode_reference(stream, m.header_length, delivered, &length));
        FUZZ_CHECK(m.body_length == length);
        FUZZ_CHECK(std::memcmp(m.body_start, decoded, static_cast<size_t>(length)) == 0);
        break;
    }
    }
}

outcome receive_once(message_kind kind, const uint8_t *script, size_t size) {
    script_reads(script, size);
    long received = receive_message(net_no_socket, kind);
    check_message(kind, received);
    return outcome{received, message_info.total_length, message_info.header_length,
                   message_info.body_length, message_info.line_count};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const message_kind kinds[] = {request_message, reply_message, reply_to_head};
    const message_kind kind = kinds[data[0] % 3];
    outcome first = receive_once(kind, data + 1, size - 1);
    if (first.total_length > 0) {
        std::memcpy(first_message, message_buffer, static_cast<size_t>(first.total_length));
    }
    outcome second = receive_once(kind, data + 1, size - 1);
    FUZZ_CHECK(second.received == first.received);
    FUZZ_CHECK(second.total_length == first.total_length);
    if (first.total_length > 0) {
        FUZZ_CHECK(second.header_length == first.header_length);
        FUZZ_CHECK(second.body_length == first.body_length);
        FUZZ_CHECK(second.line_count == first.line_count);
        FUZZ_CHECK(std::memcmp(first_message, message_buffer,
                               static_cast<size_t>(first.total_length)) == 0);
    }
    return 0;
}
