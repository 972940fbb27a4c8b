// Filtering the comment blocks of discussion pages.
#include "pagefilter/comments.h"

#include "core/limits.h"
#include "core/proxy.h"
#include "core/text.h"
#include "filterlist/config.h"
#include "http/message.h"
#include "pagefilter/body.h"

#include <cstdio>
#include <cstring>

static char hex_text[limits::hex_text_size];
static char filter_link[limits::filter_link_size];

namespace {

constexpr char block_marker[] = "com-blck\"";
constexpr int block_marker_length = sizeof block_marker - 1;

struct comment_block {
    char *start;       // the "<" that opens the block's tag
    char *class_value; // after the first double quote from the start
    char *end;         // right after the first "</div>" from the start
    char *name;        // author_name: [name, name_end)
    char *name_end;
    char *link; // author_link: [link, link_end), empty for a plain author
    char *link_end;
};

// Finds the block whose marker is the first at or after `from`. false when there is none or its
// structure breaks off; a block whose "</div>" does not lie after its marker counts as broken,
// since the walk would otherwise find the same marker again.
bool find_block(char *from, const char *end, comment_block *b) {
    char *marker = find_text(from, end, block_marker, block_marker_length);
    if (marker == nullptr) {
        return false;
    }
    char *start = marker;
    while (start > message_info.body_start && *start != '<') {
        --start;
    }
    char *quote = find_byte(start, end, '"');
    char *close = find_text(start, end, "</div>", 6);
    char *paragraph = find_text(start, end, "<p>", 3);
    if (*start != '<' || quote == nullptr || close == nullptr || close < marker ||
        paragraph == nullptr) {
        return false;
    }
    b->start = start;
    b->class_value = quote + 1;
    b->end = close + 6;
    char *line = paragraph + 3;
    if (prefix_match(line, "<a href=\"")) {
        if (end - line < 9) {
            return false;
        }
        b->link = line + 9;
        b->link_end = find_byte(b->link, end, '"');
        char *tag_end = find_byte(line, end, '>');
        b->name = tag_end ? tag_end + 1 : nullptr;
        b->name_end = tag_end ? find_text(b->name, end, "</a>", 4) : nullptr;
        return b->link_end != nullptr && b->name_end != nullptr;
    }
    b->link = b->link_end = line;
    b->name = line;
    b->name_end = find_text(line, end, " |", 2);
    return b->name_end != nullptr;
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char fold_letter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The row's text as a whole word anywhere in the block, letters compared without regard to case.
bool contains_word(const filter_entry &e, const comment_block &b) {
    const int n = e.length;
    if (b.end - b.start < n) {
        return false;
    }
    for (const char *s = b.start; s <= b.end - n; ++s) {
        if (s > message_info.body_start && is_letter(s[-1])) {
            continue;
        }
        int i = 0;
        while (i < n && fold_letter(s[i]) == fold_letter(e.text[i])) {
            ++i;
        }
        if (i == n && !is_letter(s[n])) {
            return true;
        }
    }
    return false;
}

bool same_text(const filter_entry &e, const char *from, const char *to) {
    return e.length == to - from && std::memcmp(e.text, from, static_cast<size_t>(e.length)) == 0;
}

bool block_is_listed(const comment_block &b) {
    for (int i = 0; i < filter_count; ++i) {
        const filter_entry &e = filter_table[i];
        if ((e.kind == name_entry && same_text(e, b.name, b.name_end)) ||
            (e.kind == link_entry && same_text(e, b.link, b.link_end)) ||
            (e.kind == content_entry && e.length > 0 && contains_word(e, b))) {
            return true;
        }
    }
    return false;
}

void append_hex_pairs(write_cursor *out, const char *from, const char *to) {
    static const char digits[] = "0123456789abcdef";
    for (const char *p = from; p < to; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const char pair[2] = {digits[byte >> 4], digits[byte & 15]};
        append_bytes(out, pair, 2);
    }
}

// Builds the block's "X" link; its length, or 0 when it does not fit its fields.
int build_filter_link(const comment_block &b) {
    write_cursor hex = make_cursor(hex_text, limits::hex_text_size - 1);
    append_hex_pairs(&hex, b.name, b.name_end);
    append_text(&hex, "00");
    append_hex_pairs(&hex, b.link, b.link_end);
    append_text(&hex, "00");
    if (hex.overflow) {
        return 0;
    }
    *hex.position = '\0';
    int n = std::snprintf(filter_link, sizeof filter_link, " (<a href=\"http://%s:%d%s%s/\">X</a>)",
                          proxy_settings.listen_host, proxy_settings.listen_port, filter_path,
                          hex_text);
    return (n > 0 && n < limits::filter_link_size) ? n : 0;
}

} // namespace

void filter_comments() {
    int tested = 0;
    int removed = 0;
    int stripe_state = 0;
    char *position = message_info.body_start;
    char *end = body_text_end();
    comment_block b{};
    while (find_block(position, end, &b)) {
        ++tested;
        if (block_is_listed(b)) {
            int length = static_cast<int>(b.end - b.start);
            splice_body(b.start, length, nullptr, 0);
            end -= length;
            ++removed;
            continue;
        }
        char *insert_at = b.link != b.link_end ? find_text(b.name, end, " |", 2) : b.name_end;
        if (insert_at == nullptr) {
            --tested; // broken structure: the walk ends before this block
            break;
        }
        // The "X" link and "white-" are left out where the body would outgrow message_buffer or
        // the author's texts do not fit the link's fields; the block itself stays intact.
        int link_length = build_filter_link(b);
        if (link_length == 0 || splice_body(insert_at, 0, filter_link, link_length) != 0) {
            link_length = 0;
        }
        end += link_length;
        if (insert_at <= b.class_value) {
            b.class_value += link_length;
        }
        bool white = prefix_match(b.class_value, "white-") != 0;
        if (white && stripe_state == 0) {
            splice_body(b.class_value, 6, nullptr, 0);
            b.end -= 6;
            end -= 6;
        } else if (!white && stripe_state == 1 && splice_body(b.class_value, 0, "white-", 6) == 0) {
            b.end += 6;
            end += 6;
        }
        stripe_state = 1 - stripe_state;
        position = b.end + link_length;
    }
    if (tested != 0) {
        std::printf("%s %d posts tested, %d removed, %.1f%%\n", timestamp_text(), tested, removed,
                    removed * 100.0 / tested);
    }
}
