// Fuzz target: the reply pipeline (links, embedded objects, comment filter) and the reply header.
//
// Input: a kill-file text, a NUL, then the page. The kill file gives the filter table and may set
// the proxy's host and port (the link texts). When the page's first byte is 0x80 or more, that
// byte is dropped and the page is pushed towards the end of message_buffer by filler bytes, so
// that it ends within 1,016 bytes of the limit where its edits can no longer grow it. The filler
// is CR bytes, which no kill-file entry and no searched text can hold: the edits' cost grows
// with the product of occurrences and page length, and a filler they matched would turn every
// input into a slow one instead of exploring the page.
// After the pipeline the body has to lie inside the buffer with a NUL right after it, its length
// field has to count its bytes, the bytes after the page's first NUL (never examined) have to
// come out unchanged, and the rebuilt header has to carry the final length. Each page is filtered
// twice over the state the first pass left, with the same result.
#include "fuzz_support.h"

#include "http/headers.h"

namespace {

constexpr char reply_header[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n"
                                "Content-Length: 0\r\n\r\n";
constexpr int reply_header_length = sizeof reply_header - 1;

char first_body[limits::message_buffer_size];
char tail[limits::message_buffer_size];

// Lays out the reply in message_buffer; returns the body length.
int place_reply(const uint8_t *page, size_t size) {
    long filler = 0;
    if (size > 0 && page[0] >= 0x80) {
        long margin = (page[0] & 0x7f) * 8;
        ++page;
        --size;
        filler = limits::message_buffer_size - 1 - reply_header_length - static_cast<long>(size) -
                 margin;
        if (filler < 0) {
            filler = 0;
        }
    }
    long room = limits::message_buffer_size - 1 - reply_header_length - filler;
    if (static_cast<long>(size) > room) {
        size = static_cast<size_t>(room);
    }
    std::memcpy(message_buffer, reply_header, reply_header_length);
    char *body = message_buffer + reply_header_length;
    std::memset(body, '\r', static_cast<size_t>(filler));
    std::memcpy(body + filler, page, size);
    install_header(message_buffer, reply_header_length);
    message_info.body_start = body;
    message_info.body_length = static_cast<int>(filler + static_cast<long>(size));
    message_info.total_length = reply_header_length + message_info.body_length;
    return message_info.body_length;
}

void check_body(const char *tail_bytes, long tail_length) {
    const message_record &m = message_info;
    FUZZ_CHECK(m.body_start == message_buffer + reply_header_length);
    FUZZ_CHECK(m.body_length >= 0);
    FUZZ_CHECK(m.body_start + m.body_length < message_buffer + limits::message_buffer_size);
    FUZZ_CHECK(m.body_start[m.body_length] == '\0');
    // the edited text holds no NUL; after it come the unexamined bytes, unchanged
    const long text_length = static_cast<long>(std::strlen(m.body_start));
    FUZZ_CHECK(text_length + tail_length == m.body_length);
    FUZZ_CHECK(
        std::memcmp(m.body_start + text_length, tail_bytes, static_cast<size_t>(tail_length)) == 0);

    const int header_length = rewrite_reply_header();
    FUZZ_CHECK(header_length > 0 && header_length <= limits::output_buffer_size);
    char length_line[64];
    std::snprintf(length_line, sizeof length_line, "\r\nContent-Length: %d\r\n", m.body_length);
    FUZZ_CHECK(find_text(output_buffer, output_buffer + header_length, length_line,
                         static_cast<int>(std::strlen(length_line))) != nullptr);
    FUZZ_CHECK(std::memcmp(output_buffer + header_length - 4, "\r\n\r\n", 4) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quiet_console();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *page = nullptr;
    size_t page_size = 0;
    size_t kill_size = 0;
    split_at_nul(data, size, &page, &page_size, &kill_size);
    reset_settings();
    parse_kill_file(data, kill_size);

    const int length = place_reply(page, page_size);
    const char *first_nul =
        static_cast<const char *>(std::memchr(message_info.body_start, 0, size_t(length)));
    const long tail_length = first_nul ? message_info.body_start + length - first_nul : 0;
    std::memcpy(tail, first_nul ? first_nul : "", static_cast<size_t>(tail_length));

    run_reply_pipeline();
    check_body(tail, tail_length);
    const int first_length = message_info.body_length;
    std::memcpy(first_body, message_info.body_start, static_cast<size_t>(first_length));

    place_reply(page, page_size);
    run_reply_pipeline();
    check_body(tail, tail_length);
    FUZZ_CHECK(message_info.body_length == first_length);
    FUZZ_CHECK(std::memcmp(first_body, message_info.body_start, size_t(first_length)) == 0);
    return 0;
}
