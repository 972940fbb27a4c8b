// Link rewriting in reply bodies.
#include "pagefilter/links.h"

#include "core/proxy.h"
#include "pagefilter/body.h"

#include <cstdio>

// Recorded edits point at the replacement until the body is written back.
static char replacement[limits::proxy_address_size + 16];

void rewrite_links() {
    char search[limits::host_name_size + 16];
    int search_length = std::snprintf(search, sizeof search, "=\"http://%s", blog_host);
    int replacement_length = std::snprintf(replacement, sizeof replacement, "=\"http://%s:%d",
                                           proxy_settings.listen_host, proxy_settings.listen_port);
    const search_text link = make_search_text(search, search_length);
    body_begin();
    int position = 0;
    int end = body_text_end();
    for (;;) {
        // the text after the last replacement is one piece: search it as plain memory
        int available = 0;
        const char *p = body_span(position, &available);
        int found = -1;
        if (available > end - position) {
            const char *f = find_bytes(p, p + (end - position), link);
            found = f != nullptr ? position + static_cast<int>(f - p) : -1;
        } else {
            found = body_find(position, end, link);
        }
        if (found < 0 ||
            body_replace(found, search_length, replacement, replacement_length, 1) != 0) {
            break;
        }
        end += replacement_length - search_length;
        position = found + replacement_length;
    }
    body_finish();
}
