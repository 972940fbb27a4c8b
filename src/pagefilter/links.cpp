// Link rewriting in reply bodies.
#include "pagefilter/links.h"

#include "core/proxy.h"
#include "core/text.h"
#include "http/message.h"
#include "pagefilter/body.h"

#include <cstdio>
#include <cstring>

void rewrite_links() {
    char search[limits::host_name_size + 16];
    char replacement[limits::proxy_address_size + 16];
    int search_length = std::snprintf(search, sizeof search, "=\"http://%s", blog_host);
    int replacement_length = std::snprintf(replacement, sizeof replacement, "=\"http://%s:%d",
                                           proxy_settings.listen_host, proxy_settings.listen_port);
    char *position = message_info.body_start;
    char *end = body_text_end();
    for (;;) {
        char *found = find_text(position, end, search, search_length);
        if (found == nullptr ||
            splice_body(found, search_length, replacement, replacement_length) != 0) {
            return;
        }
        end += replacement_length - search_length;
        position = found + replacement_length;
    }
}
