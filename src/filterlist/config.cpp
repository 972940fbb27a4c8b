// Reading, echoing and extending the kill file.
#include "filterlist/config.h"

#include "core/proxy.h"
#include "core/text.h"
#include "http/message.h"

#include <climits>
#include <cstdio>
#include <cstring>

filter_entry filter_table[limits::filter_table_size];
int filter_count;

static const char config_file_name[] = "mivrel.conf";

namespace {

struct keyword {
    const char *text;
    int value_offset;
};

// Tested in this order; the first that passes prefix_match decides.
constexpr keyword keywords[] = {{"server", 7}, {"host", 5}, {"port", 5}, {"name", 5},
                                {"link", 5},   {"cont", 5}, {"xurl", 5}};

int entries_ignored_full;

bool ends_text(char c) {
    return c == ' ' || c == '\r' || c == '\n' || c == '\0';
}

// Shrinks runs of spaces to one and drops spaces before a line end, a NUL or the end of the text,
// after turning each TAB into a space (a TAB is tested against the byte after it before that byte
// is turned itself). A CR that does not start a CR LF ends a line as LF does. Each byte moves
// once. Returns the new length.
int normalise_white_space(char *text, int length) {
    int w = 0;
    for (int r = 0; r < length; ++r) {
        char c = text[r];
        char next = r + 1 < length ? text[r + 1] : '\0';
        if (c == '\t') {
            c = ' ';
        }
        if (c == '\r' && next != '\n') {
            c = '\n';
        }
        if (c == ' ' && ends_text(next)) {
            continue;
        }
        text[w++] = c;
    }
    text[w] = '\0';
    return w;
}

void warn_line(int number, const char *reason) {
    std::printf("Line %d of %s ignored: %s.\n", number, config_file_name, reason);
}

// Copies a setting's value into its field, refusing a value that does not fit.
void set_host_field(char *field, const char *value, int number) {
    size_t length = std::strlen(value);
    if (length >= static_cast<size_t>(limits::host_name_size)) {
        warn_line(number, "value longer than 255 bytes");
        return;
    }
    std::memcpy(field, value, length + 1);
}

void add_entry_line(char kind, const char *value, int number) {
    int length = static_cast<int>(std::strlen(value));
    if (length > limits::filter_text_max) {
        warn_line(number, "value longer than 64 bytes");
        return;
    }
    if (add_filter_entry(kind, value, length) != 0) {
        ++entries_ignored_full;
    }
}

void apply_line(const char *line, int number) {
    if (line[0] == '#') {
        return;
    }
    for (const keyword &k : keywords) {
        if (!prefix_match(line, k.text)) {
            continue;
        }
        // a line shorter than its value offset has no value
        const char *value =
            std::strlen(line) >= static_cast<size_t>(k.value_offset) ? line + k.value_offset : "";
        if (value[std::strspn(value, " ")] == '\0') {
            warn_line(number, "no value");
        } else if (k.text[0] == 's') {
            set_host_field(proxy_settings.server_name, value, number);
        } else if (k.text[0] == 'h') {
            set_host_field(proxy_settings.listen_host, value, number);
        } else if (k.text[0] == 'p') {
            long long port = read_decimal(value);
            port = port > INT_MAX ? INT_MAX : (port < INT_MIN ? INT_MIN : port);
            proxy_settings.listen_port = static_cast<int>(port);
        } else {
            add_entry_line(line[0], value, number);
        }
        return;
    }
}

} // namespace

void parse_config(char *text, int length) {
    entries_ignored_full = 0;
    length = normalise_white_space(text, length);
    message_info.total_length = length;
    int offset = 0;
    int number = 0;
    while (offset < length) {
        int count = 0;
        int rest = 0;
        split_lines(text + offset, length - offset, header_lines, limits::header_line_capacity,
                    &count, &rest);
        for (int i = 0; i < count; ++i) {
            apply_line(header_lines[i], ++number);
        }
        message_info.line_count = count;
        offset += rest;
    }
    if (entries_ignored_full != 0) {
        std::printf("Filter table full: %d entry lines of %s ignored.\n", entries_ignored_full,
                    config_file_name);
    }
}

void load_config() {
    std::FILE *file = std::fopen(config_file_name, "rb");
    if (file == nullptr) {
        return;
    }
    size_t count = std::fread(message_buffer, 1, sizeof message_buffer, file);
    std::fclose(file);
    if (count == 0 || count == sizeof message_buffer) {
        return;
    }
    parse_config(message_buffer, static_cast<int>(count));
}

void echo_config() {
    std::printf("servername: \"%s\"\n", proxy_settings.server_name);
    std::printf("  hostname: \"%s\"\n", proxy_settings.listen_host);
    std::printf("      port: %d\n", proxy_settings.listen_port);
    for (int i = 0; i < filter_count; ++i) {
        const filter_entry &e = filter_table[i];
        const char *label = e.kind == name_entry      ? "      name"
                            : e.kind == link_entry    ? "      link"
                            : e.kind == content_entry ? "   content"
                                                      : "       url";
        std::printf("%s: \"%s\"\n", label, e.text);
    }
    std::printf("\n");
}

int find_filter_entry(char kind, const char *text, int length) {
    for (int i = 0; i < filter_count; ++i) {
        const filter_entry &e = filter_table[i];
        if (e.kind == kind && e.length == length &&
            std::memcmp(e.text, text, static_cast<size_t>(length)) == 0) {
            return i;
        }
    }
    return -1;
}

int add_filter_entry(char kind, const char *text, int length) {
    if (filter_count >= limits::filter_table_size || length < 0 ||
        length > limits::filter_text_max) {
        return 1;
    }
    filter_entry &e = filter_table[filter_count++];
    e.kind = kind;
    e.length = length;
    std::memcpy(e.text, text, static_cast<size_t>(length));
    e.text[length] = '\0';
    return 0;
}

int append_filter_line(const char *format, const char *text) {
    std::FILE *file = std::fopen(config_file_name, "a+b");
    if (file == nullptr) {
        return 1;
    }
    // a last line without its LF would otherwise run into the new one
    bool ok = true;
    if (std::fseek(file, -1, SEEK_END) == 0 && std::fgetc(file) != '\n') {
        ok = std::fseek(file, 0, SEEK_END) == 0 && std::fputc('\n', file) != EOF;
    }
    ok = ok && std::fseek(file, 0, SEEK_END) == 0 && std::fprintf(file, format, text) > 0;
    return (std::fclose(file) == 0 && ok) ? 0 : 1;
}
