// Fuzz target: the filter command page, serve_filter_command, in a scratch working directory.
//
// Input: a kill-file text, a NUL, then the request's header bytes; only a request line that asks
// for a filter command is served. The kill file is written to mivrel.conf and parsed into the
// table. After the command the page lies at the buffer's start with its length counted, every
// "<" in it opens one of the page's own tags (the decoded texts are escaped), the header carries
// the page's length and a status line taken from inside the request line, and every line the
// command appended to mivrel.conf is one "name" or "link" line that reads back as the row that
// was added. The same request is then served again: whatever the first one listed is now
// already listed, and nothing more is appended.
#include "fuzz_support.h"

#include "filterlist/command.h"

#include <string>

namespace {

scratch_directory scratch;

char request_line[limits::header_copy_size];
filter_entry saved_rows[limits::filter_table_size];

std::string read_file(const char *name) {
    std::string text;
    std::FILE *f = std::fopen(name, "rb");
    if (f == nullptr) {
        return text;
    }
    char piece[4096];
    size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) {
        text.append(piece, n);
    }
    std::fclose(f);
    return text;
}

void write_file(const char *name, const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen(name, "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void check_page() {
    static const char *const tags[] = {"<html>",   "</html>", "<head>",  "</head>", "<title>",
                                       "</title>", "<body>",  "</body>", "<h1>",    "</h1>",
                                       "<p>",      "<code>",  "</code>"};
    FUZZ_CHECK(message_info.body_start == message_buffer);
    FUZZ_CHECK(message_info.body_length > 0 &&
               message_info.body_length < limits::message_buffer_size);
    FUZZ_CHECK(std::strlen(message_buffer) == static_cast<size_t>(message_info.body_length));
    for (const char *p = std::strchr(message_buffer, '<'); p; p = std::strchr(p + 1, '<')) {
        bool known = false;
        for (const char *tag : tags) {
            known = known || starts_with(p, tag);
        }
        FUZZ_CHECK(known);
    }
}

void check_header(int header_length) {
    if (header_length < 0) {
        // only a status line that cannot fit output_buffer makes the header fail
        FUZZ_CHECK(std::strlen(request_line) > limits::output_buffer_size - 64);
        return;
    }
    FUZZ_CHECK(header_length <= limits::output_buffer_size);
    const char *end = output_buffer + header_length;
    FUZZ_CHECK(header_length >= 4 && std::memcmp(end - 4, "\r\n\r\n", 4) == 0);
    const char *status_end = find_text(output_buffer, end, " 200 OK\r\n", 9);
    FUZZ_CHECK(status_end != nullptr);
    // the version is text of the request line that follows the segment, or the default one
    const std::string version(static_cast<const char *>(output_buffer), status_end);
    const std::string line(request_line);
    const bool from_line = !version.empty() && line.size() >= version.size() &&
                           line.compare(line.size() - version.size(), version.size(), version) == 0;
    FUZZ_CHECK(from_line || version == "HTTP/1.0");
    char length_line[64];
    std::snprintf(length_line, sizeof length_line, "\r\nContent-length: %d\r\n\r\n",
                  message_info.body_length);
    const size_t n = std::strlen(length_line);
    FUZZ_CHECK(static_cast<size_t>(header_length) >= n &&
               std::memcmp(end - n, length_line, n) == 0);
}

// Checks the lines appended by one command and that they read back as the rows it added.
// Returns the number of lines.
int check_appended(const std::string &before, const std::string &after, int rows_before) {
    FUZZ_CHECK(after.size() >= before.size() && after.compare(0, before.size(), before) == 0);
    std::string added = after.substr(before.size());
    if (!added.empty() && !before.empty() && before.back() != '\n') {
        FUZZ_CHECK(added[0] == '\n'); // the old last line is ended first
        added.erase(0, 1);
    }
    int lines = 0;
    for (size_t at = 0; at < added.size(); ++lines) {
        const size_t lf = added.find('\n', at);
        FUZZ_CHECK(lf != std::string::npos);
        const std::string line = added.substr(at, lf - at);
        FUZZ_CHECK(line.compare(0, 5, "name ") == 0 || line.compare(0, 5, "link ") == 0);
        const std::string value = line.substr(5);
        FUZZ_CHECK(!value.empty() && value.size() <= limits::filter_text_max);
        for (unsigned char c : value) {
            FUZZ_CHECK(c >= 0x20);
        }
        at = lf + 1;
    }
    FUZZ_CHECK(lines <= 2);

    // read back the way the next start-up would: the same rows, in the same order
    const int rows_after = filter_count;
    std::memcpy(saved_rows, filter_table, sizeof saved_rows);
    filter_count = 0;
    std::string text = added;
    parse_kill_file(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    FUZZ_CHECK(filter_count == lines);
    const int added_rows = rows_after - rows_before;
    FUZZ_CHECK(added_rows == lines ||
               (added_rows < lines && rows_after == limits::filter_table_size));
    for (int i = 0; i < added_rows; ++i) {
        const filter_entry &row = saved_rows[rows_before + i];
        const filter_entry &read_back = filter_table[i];
        FUZZ_CHECK(row.kind == read_back.kind && row.length == read_back.length &&
                   std::memcmp(row.text, read_back.text, size_t(row.length)) == 0);
    }
    std::memcpy(filter_table, saved_rows, sizeof saved_rows);
    filter_count = rows_after;
    return lines;
}

// Serves the command held in the request; returns the number of lines it appended.
int serve_once(const uint8_t *request, size_t size, int *rows_added) {
    install_header(reinterpret_cast<const char *>(request), static_cast<int>(size));
    std::snprintf(request_line, sizeof request_line, "%s", header_lines[0]);
    const std::string before = read_file("mivrel.conf");
    const int rows_before = filter_count;
    const int header_length = serve_filter_command();
    check_page();
    check_header(header_length);
    *rows_added = filter_count - rows_before;
    return check_appended(before, read_file("mivrel.conf"), rows_before);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quiet_console();
    make_scratch(&scratch, "command");
    return 0;
}

static int run_input(const uint8_t *data, size_t size) {
    const uint8_t *request = nullptr;
    size_t request_size = 0;
    size_t kill_size = 0;
    split_at_nul(data, size, &request, &request_size, &kill_size);
    if (request_size == 0 || request_size >= static_cast<size_t>(limits::header_copy_size)) {
        return 0;
    }
    reset_settings();
    write_file("mivrel.conf", data, kill_size);
    parse_kill_file(data, kill_size);
    install_header(reinterpret_cast<const char *>(request), static_cast<int>(request_size));
    if (message_info.line_count == 0 || !is_filter_command(header_lines[0])) {
        return 0;
    }
    int rows_added = 0;
    const int lines = serve_once(request, request_size, &rows_added);
    int again_rows = 0;
    const int again = serve_once(request, request_size, &again_rows);
    if (rows_added == lines) {
        FUZZ_CHECK(again == 0 && again_rows == 0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_scratch(scratch);
    const int result = run_input(data, size);
    leave_scratch(scratch);
    return result;
}
