// The filter command page.
#include "filterlist/command.h"

#include "core/limits.h"
#include "core/text.h"
#include "filterlist/config.h"
#include "http/message.h"
#include "pagefilter/comments.h"

#include <cstring>
#include <initializer_list>

static char decoded_name[limits::decoded_text_size];
static char decoded_link[limits::decoded_text_size];

namespace {

constexpr int filter_path_length = sizeof filter_path - 1;

const char title_line[] = "Mivrel: A proxy filter for the Reason Hit &amp; Run blog\r\n";

struct decoded_text {
    char *text; // a field of decoded_text_size bytes
    int length; // bytes decoded, also those that did not fit the field
};

// Decodes pairs of hex digits from `at` up to a "00" pair, a position that holds no pair, or `end`.
// Returns where the decoding stopped. At most 255 bytes are stored; the count goes on.
const char *decode_hex_text(const char *at, const char *end, decoded_text *out) {
    out->length = 0;
    for (; end - at >= 2; at += 2) {
        int high = hex_digit_value(at[0]);
        int low = hex_digit_value(at[1]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) {
            break;
        }
        if (out->length < limits::decoded_text_size - 1) {
            out->text[out->length] = static_cast<char>(high * 16 + low);
        }
        ++out->length;
    }
    int stored =
        out->length < limits::decoded_text_size - 1 ? out->length : limits::decoded_text_size - 1;
    out->text[stored] = '\0';
    return at;
}

// Writes text with <, > and the double quote as entities; & stays, since the texts are the blog
// page's own HTML.
void append_escaped(write_cursor *out, const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        const char *entity = *p == '<'   ? "&lt;"
                             : *p == '>' ? "&gt;"
                             : *p == '"' ? "&quot;"
                                         : nullptr;
        if (entity) {
            append_text(out, entity);
        } else {
            append_bytes(out, p, 1);
        }
    }
}

// Why a text cannot become a kill-file line that reads back the same, or nullptr when it can.
const char *refusal_reason(const decoded_text &t) {
    if (t.length > limits::filter_text_max) {
        return "is longer than 64 bytes and cannot be listed";
    }
    for (int i = 0; i < t.length; ++i) {
        if (static_cast<unsigned char>(t.text[i]) < 0x20) {
            return "holds a control character and cannot be listed";
        }
    }
    if (t.text[0] == ' ' || t.text[t.length - 1] == ' ' || std::strstr(t.text, "  ")) {
        return "begins or ends with a space or holds two in a row, which <code>mivrel.conf</code> "
               "would not keep, and cannot be listed";
    }
    return nullptr;
}

// One paragraph about listing a name ('n') or a link ('l').
void list_text(write_cursor *out, char kind, const decoded_text &t) {
    const char *label = kind == name_entry ? "Name" : "Link";
    append_text(out, "<p>\r\n");
    append_text(out, label);
    append_text(out, " \"");
    const char *reason = refusal_reason(t);
    append_escaped(out, t.text);
    append_text(out, "\" ");
    if (reason) {
        append_text(out, reason);
    } else if (find_filter_entry(kind, t.text, t.length) >= 0) {
        append_text(out, "is already listed in <code>mivrel.conf</code>");
    } else {
        bool written =
            append_filter_line(kind == name_entry ? "name %s\n" : "link %s\n", t.text) == 0;
        bool active = add_filter_entry(kind, t.text, t.length) == 0;
        if (written && active) {
            append_text(out, "has been added to <code>mivrel.conf</code>");
        } else if (written) {
            append_text(out, "has been added to <code>mivrel.conf</code>, but the filter table is "
                             "full, so it is not in effect");
        } else if (active) {
            append_text(out, "is filtered until the proxy stops, but could not be written to "
                             "<code>mivrel.conf</code>");
        } else {
            append_text(out, "could not be written to <code>mivrel.conf</code>, and the filter "
                             "table is full");
        }
    }
    append_text(out, ".\r\n");
}

void build_page(const decoded_text &name, const decoded_text &link) {
    write_cursor out = make_cursor(message_buffer, limits::message_buffer_size - 1);
    for (const char *line : {"<html>\r\n", "<head>\r\n", "<title>\r\n", title_line, "</title>\r\n",
                             "</head>\r\n", "<body>\r\n", "<h1>\r\n", title_line, "</h1>\r\n"}) {
        append_text(&out, line);
    }
    if (name.length != 0) {
        list_text(&out, name_entry, name);
    }
    if (link.length != 0) {
        list_text(&out, link_entry, link);
    }
    for (const char *line :
         {"<p>\r\n", "Press the [Back] button to return to Hit &amp; Run.\r\n", "<p>\r\n",
          "Then press the [Refresh] button to reload the discussion.\r\n", "</body>\r\n",
          "</html>\r\n"}) {
        append_text(&out, line);
    }
    *out.position = '\0';
    message_info.body_start = message_buffer;
    message_info.body_length = static_cast<int>(out.position - message_buffer);
}

} // namespace

bool is_filter_command(const char *request_line) {
    const char *path = std::strstr(request_line, filter_path);
    return path != nullptr && std::strchr(path + filter_path_length, '/') != nullptr;
}

int serve_filter_command() {
    char *line = header_lines[0];
    char *segment = std::strstr(line, filter_path) + filter_path_length;
    char *segment_end = std::strchr(segment, '/');
    *segment_end = '\0';
    // the protocol version starts two bytes after the closing "/", if the line goes on that far
    const char *version = segment_end[1] != '\0' ? segment_end + 2 : "";
    if (*version == '\0') {
        version = "HTTP/1.0";
    }

    decoded_text name{decoded_name, 0};
    decoded_text link{decoded_link, 0};
    const char *stop = decode_hex_text(segment, segment_end, &name);
    decode_hex_text(segment_end - stop >= 2 ? stop + 2 : segment_end, segment_end, &link);
    build_page(name, link);

    write_cursor out = make_cursor(output_buffer, limits::output_buffer_size);
    append_text(&out, version);
    append_text(&out, " 200 OK\r\n");
    append_text(&out, "Content-type: text/html\r\n");
    append_format(&out, "Content-length: %d\r\n", message_info.body_length);
    append_text(&out, "\r\n");
    return out.overflow ? -1 : static_cast<int>(out.position - output_buffer);
}
