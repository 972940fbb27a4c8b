// Removal of embedded objects and scripts that mention a listed URL fragment.
#include "pagefilter/embedded.h"

#include "core/text.h"
#include "filterlist/config.h"
#include "pagefilter/body.h"

#include <cstdio>

static const char *const embed_tags[] = {"<object ", "</object>", "<embed ",    "</embed>",
                                         "<script ", "</script>", "<noscript>", "</noscript>"};
// The longest tag: is_embed_tag reads no further than this.
constexpr int longest_tag = 11;

int is_embed_tag(const char *point) {
    for (const char *tag : embed_tags) {
        if (prefix_match(point, tag)) {
            return 1;
        }
    }
    return 0;
}

namespace {

// Every tag begins with "<": testing that byte first keeps the scans cheap.
bool tag_at(int at) {
    int available = 0;
    const char *p = body_span(at, &available);
    if (*p != '<') {
        return false;
    }
    if (available > longest_tag) {
        return is_embed_tag(p) != 0;
    }
    char near[longest_tag + 1];
    int n = 0;
    while (n < longest_tag && (near[n] = body_byte(at + n)) != '\0') {
        ++n;
    }
    near[n] = '\0';
    return is_embed_tag(near) != 0;
}

// The occurrences of one fragment are visited in page order and the text between them only
// changes where an element is cut out, so what the scans found is kept: the nearest tag at or
// before `back_high` and the nearest tag at or after `ahead_low`, with the first ">" from it.
// A 2 MiB page of fragments and few tags is then scanned once, not once per occurrence.
struct scan_memory {
    bool back_known;
    int back_high;
    int back_tag; // -1: no tag in [0, back_high]
    bool ahead_known;
    int ahead_low;
    int ahead_tag;       // -1: no tag in [ahead_low, end)
    int ahead_close_end; // the first ">" at or after ahead_tag, -1 when none before end
};

int tag_before(int occurrence, scan_memory *m) {
    int low = 0;
    int known = -1;
    if (m->back_known && occurrence >= m->back_high) {
        low = m->back_high + 1;
        known = m->back_tag;
    }
    int tag = -1;
    for (int q = occurrence; q >= low; --q) {
        q = body_find_byte_back(q, low, '<');
        if (q < 0) {
            break;
        }
        if (tag_at(q)) {
            tag = q;
            break;
        }
    }
    if (tag < 0) {
        tag = known;
    }
    m->back_known = true;
    m->back_high = occurrence;
    m->back_tag = tag;
    return tag;
}

// The nearest tag at or after the occurrence, and in *close_end the first ">" at or after it.
int tag_after(int occurrence, int end, scan_memory *m, int *close_end) {
    if (m->ahead_known && occurrence >= m->ahead_low &&
        (m->ahead_tag < 0 || occurrence <= m->ahead_tag)) {
        *close_end = m->ahead_close_end;
        return m->ahead_tag;
    }
    int tag = -1;
    for (int q = occurrence; q < end; ++q) {
        q = body_find_byte(q, end, '<');
        if (q < 0) {
            break;
        }
        if (tag_at(q)) {
            tag = q;
            break;
        }
    }
    int gt = -1;
    if (tag >= 0) {
        // no ">" lies between the tag found before and its ">"
        if (m->ahead_known && m->ahead_tag >= 0 && tag >= m->ahead_tag &&
            (m->ahead_close_end < 0 || tag <= m->ahead_close_end)) {
            gt = m->ahead_close_end;
        } else {
            gt = body_find_byte(tag, end, '>');
        }
    }
    m->ahead_known = true;
    m->ahead_low = occurrence;
    m->ahead_tag = tag;
    m->ahead_close_end = gt;
    *close_end = gt;
    return tag;
}

// Removes the elements around each occurrence of one fragment; returns how many went.
int remove_around(const filter_entry &entry) {
    int removed = 0;
    int position = 0;
    int end = body_text_end();
    scan_memory memory{};
    const search_text fragment = make_search_text(entry.text, entry.length);
    for (;;) {
        int found = body_find(position, end, fragment);
        if (found < 0) {
            return removed;
        }
        int open = tag_before(found, &memory);
        int close_end = -1;
        int close = tag_after(found, end, &memory, &close_end);
        if (open >= 0 && close >= 0 && close_end >= 0 && body_byte(open + 1) != '/' &&
            body_byte(close + 1) == '/') {
            int length = close_end + 1 - open;
            body_replace(open, length, nullptr, 0, 1);
            end -= length;
            ++removed;
            position = open;
            // tags up to 10 bytes before the cut may read into the joined text
            memory = scan_memory{};
        } else {
            position = found + 1;
        }
    }
}

} // namespace

void remove_embedded_objects() {
    bool any = false;
    for (int i = 0; i < filter_count; ++i) {
        any = any || (filter_table[i].kind == url_entry && filter_table[i].length > 0);
    }
    if (!any) {
        return; // nothing to look for: not even the body's end
    }
    body_begin();
    int removed = 0;
    for (int i = 0; i < filter_count; ++i) {
        if (filter_table[i].kind == url_entry && filter_table[i].length > 0) {
            removed += remove_around(filter_table[i]);
        }
    }
    body_finish();
    if (removed != 0) {
        std::printf("%s %d URLs removed\n", timestamp_text(), removed);
    }
}
