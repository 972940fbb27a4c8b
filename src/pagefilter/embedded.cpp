// Removal of embedded objects and scripts that mention a listed URL fragment.
#include "pagefilter/embedded.h"

#include "core/text.h"
#include "filterlist/config.h"
#include "http/message.h"
#include "pagefilter/body.h"

#include <cstdio>

static const char *const embed_tags[] = {"<object ", "</object>", "<embed ",    "</embed>",
                                         "<script ", "</script>", "<noscript>", "</noscript>"};

int is_embed_tag(const char *point) {
    for (const char *tag : embed_tags) {
        if (prefix_match(point, tag)) {
            return 1;
        }
    }
    return 0;
}

// Every tag begins with "<": testing that byte first keeps the scans cheap.
static bool tag_at(const char *point) {
    return *point == '<' && is_embed_tag(point);
}

static char *tag_before(char *occurrence) {
    for (char *q = occurrence;; --q) {
        if (tag_at(q)) {
            return q;
        }
        if (q == message_info.body_start) {
            return nullptr;
        }
    }
}

static char *tag_after(char *occurrence, const char *end) {
    for (char *q = occurrence; q < end; ++q) {
        if (tag_at(q)) {
            return q;
        }
    }
    return nullptr;
}

// Removes the elements around each occurrence of one fragment; returns how many went.
static int remove_around(const filter_entry &entry) {
    int removed = 0;
    char *position = message_info.body_start;
    char *end = body_text_end();
    for (;;) {
        char *found = find_text(position, end, entry.text, entry.length);
        if (found == nullptr) {
            return removed;
        }
        char *open = tag_before(found);
        char *close = tag_after(found, end);
        char *close_end = close ? find_byte(close, end, '>') : nullptr;
        if (open && close_end && open[1] != '/' && close[1] == '/') {
            int length = static_cast<int>(close_end + 1 - open);
            splice_body(open, length, nullptr, 0);
            end -= length;
            ++removed;
            position = open;
        } else {
            position = found + 1;
        }
    }
}

void remove_embedded_objects() {
    int removed = 0;
    for (int i = 0; i < filter_count; ++i) {
        if (filter_table[i].kind == url_entry && filter_table[i].length > 0) {
            removed += remove_around(filter_table[i]);
        }
    }
    if (removed != 0) {
        std::printf("%s %d URLs removed\n", timestamp_text(), removed);
    }
}
