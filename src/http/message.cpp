// Reading whole HTTP messages into message_buffer, and sending byte ranges in bounded pieces.
#include "http/message.h"

#include "core/text.h"

#include <cstdio>
#include <cstring>

char message_buffer[limits::message_buffer_size];
message_record message_info;
char header_copy[limits::header_copy_size];
char *header_lines[limits::header_line_capacity];
char output_buffer[limits::output_buffer_size];

namespace {

enum body_mode { header_pending, counted_body, chunked_body, body_until_close, message_done };

enum step_result { need_more, finished, cut_short };

struct receive_state {
    body_mode mode;
    char *write;          // where the next read puts its bytes
    char *scan;           // chunked: first received byte not yet decoded
    char *data_end;       // chunked: end of the decoded body (nullptr otherwise)
    long long remaining;  // counted: body bytes still expected
    long long chunk_left; // chunked: bytes of the current chunk still expected
};

constexpr char header_end_mark[] = "\r\n\r\n";

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A status that never carries a body: 1xx, 204 and 304.
bool status_without_body(const char *status_line) {
    const char *space = std::strchr(status_line, ' ');
    if (space == nullptr) {
        return false;
    }
    long long status = read_decimal(space + 1);
    return (status >= 100 && status <= 199) || status == 204 || status == 304;
}

// Decides how the body is delimited once the header lines are known.
void choose_body_mode(receive_state *st, message_kind kind) {
    if (kind == reply_to_head || (kind == reply_message && status_without_body(header_lines[0]))) {
        st->mode = message_done;
        return;
    }
    for (int i = 0; i < message_info.line_count; ++i) {
        const char *line = header_lines[i];
        if (prefix_match_nocase(line, "Content-Length: ")) {
            st->remaining = std::strlen(line) >= 16 ? read_decimal(line + 16) : 0;
            st->mode = counted_body;
            return;
        }
        if (prefix_match_nocase(line, "Transfer-Encoding: chunked")) {
            st->mode = chunked_body;
            st->scan = message_info.body_start;
            st->data_end = message_info.body_start;
            st->chunk_left = 0;
            return;
        }
    }
    st->mode = kind == request_message ? message_done : body_until_close;
}

// Looks for the end of the header among the bytes received; the n newest bytes are new.
step_result find_header(receive_state *st, long n, message_kind kind) {
    char *from = st->write - n - 3;
    if (from < message_buffer) {
        from = message_buffer;
    }
    const char *mark = find_text(from, st->write, header_end_mark, 4);
    if (mark == nullptr) {
        return st->write - message_buffer >= limits::header_copy_size ? cut_short : need_more;
    }
    int header_length = static_cast<int>(mark + 4 - message_buffer);
    if (header_length >= limits::header_copy_size) {
        return cut_short;
    }
    std::memcpy(header_copy, message_buffer, static_cast<size_t>(header_length));
    int rest = 0;
    split_lines(header_copy, header_length, header_lines, limits::header_line_capacity,
                &message_info.line_count, &rest);
    if (rest < header_length) {
        return cut_short;
    }
    message_info.header_length = header_length;
    message_info.body_start = message_buffer + header_length;
    choose_body_mode(st, kind);
    return finished;
}

// Reads the chunk-size line at st->scan. 1 with *size and *line_length set; 0 when the line is
// not complete yet; -1 when no size can be read there.
int read_chunk_size(const receive_state *st, long long *size, long *line_length) {
    const char *p = st->scan;
    while (p < st->write && is_space(*p)) {
        ++p;
    }
    if (p == st->write) {
        return 0;
    }
    if (hex_digit_value(*p) < 0) {
        return -1;
    }
    long long value = 0;
    for (; p < st->write && hex_digit_value(*p) >= 0; ++p) {
        if (value <= limits::message_buffer_size) {
            value = value * 16 + hex_digit_value(*p);
        }
    }
    const char *line_end = find_text(p, st->write, "\r\n", 2);
    if (line_end == nullptr) {
        return 0;
    }
    *size = value;
    *line_length = line_end + 2 - st->scan;
    return 1;
}

// Decodes the chunked bytes received so far, moving each data byte once down to data_end.
step_result decode_chunks(receive_state *st) {
    step_result result = need_more;
    while (st->scan < st->write) {
        if (st->chunk_left == 0) {
            long long size = 0;
            long line_length = 0;
            int r = read_chunk_size(st, &size, &line_length);
            if (r == 0) {
                break;
            }
            if (r < 0 || size == 0) {
                st->mode = message_done;
                return finished;
            }
            if (size >= limits::message_buffer_size) {
                return cut_short;
            }
            st->scan += line_length;
            st->chunk_left = size;
            continue;
        }
        long long take = st->write - st->scan;
        if (take > st->chunk_left) {
            take = st->chunk_left;
        }
        std::memmove(st->data_end, st->scan, static_cast<size_t>(take));
        st->data_end += take;
        st->scan += take;
        st->chunk_left -= take;
    }
    // keep an incomplete size line right behind the decoded data; the next read lands after it
    long pending = st->write - st->scan;
    std::memmove(st->data_end, st->scan, static_cast<size_t>(pending));
    st->scan = st->data_end;
    st->write = st->data_end + pending;
    *st->write = '\0';
    return result;
}

// Accounts for n newly received bytes; says whether the message is complete.
step_result account(receive_state *st, long n, message_kind kind) {
    if (st->mode == header_pending) {
        step_result r = find_header(st, n, kind);
        if (r != finished) {
            return r;
        }
        n = st->write - message_info.body_start; // body bytes that came with the header
    }
    switch (st->mode) {
    case counted_body:
        st->remaining -= n;
        if (st->remaining <= 0) {
            st->mode = message_done;
        }
        break;
    case chunked_body:
        return decode_chunks(st) == cut_short ? cut_short
                                              : (st->mode == message_done ? finished : need_more);
    default:
        break;
    }
    return st->mode == message_done ? finished : need_more;
}

void end_message(const char *end) {
    message_info.total_length = static_cast<int>(end - message_buffer);
    message_info.body_length = message_info.total_length - message_info.header_length;
    message_buffer[message_info.total_length] = '\0';
}

void end_cut_short() {
    message_info.total_length = 0;
    message_info.body_length = 0;
}

} // namespace

long receive_message(net_socket s, message_kind kind) {
    receive_state st{};
    st.mode = header_pending;
    st.write = message_buffer;
    message_info.total_length = 0;
    char *const buffer_end = message_buffer + limits::message_buffer_size;
    long received = 0;
    for (;;) {
        long room = buffer_end - st.write;
        long n = net_recv(s, st.write, room);
        if (n == 0 && st.mode == body_until_close) {
            end_message(st.write);
            return received;
        }
        if (n <= 0 || n >= room) {
            end_cut_short();
            return received + (n > 0 ? n : 0);
        }
        received += n;
        st.write += n;
        *st.write = '\0';
        step_result r = account(&st, n, kind);
        if (r == cut_short) {
            end_cut_short();
            return received;
        }
        if (r == finished) {
            end_message(st.data_end != nullptr ? st.data_end : st.write);
            return received;
        }
    }
}

int send_all(net_socket s, const char *data, int length, int *sent_out) {
    int sent = 0;
    int result = 0;
    while (length != 0) {
        int piece = length < limits::send_piece_size ? length : limits::send_piece_size;
        long count = net_send(s, data, piece);
        if (count != piece) {
            std::printf("Error while transmitting.\n");
            std::printf("Tried to send %d bytes, sent %d bytes.\n", piece, static_cast<int>(count));
            result = 1;
            break;
        }
        data += piece;
        length -= piece;
        sent += piece;
    }
    if (sent_out) {
        *sent_out = sent;
    }
    return result;
}
