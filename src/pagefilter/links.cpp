// Link rewriting in reply bodies.
#include "pagefilter/links.h"

#include "core/proxy.h"
#include "http/message.h"
#include "pagefilter/body.h"

#include <cstdio>
#include <cstring>

namespace {

// Matches are collected this many at a time and then replaced in one pass over the body.
constexpr int batch_capacity = 8192;
int batch[batch_capacity]; // offsets of matches in the body, in page order

// Replaces the n matches at batch[0, n) in body[0, length] (its NUL included): every byte moves
// once, back to front when the body grows, front to back when it shrinks.
void replace_batch(char *body, int length, int n, int search_length, const char *replacement,
                   int replacement_length) {
    const int delta = replacement_length - search_length;
    const auto r = static_cast<size_t>(replacement_length);
    if (delta > 0) {
        int segment_end = length + 1; // the part after the last match, its NUL included
        for (int i = n - 1; i >= 0; --i) {
            int from = batch[i] + search_length;
            int shift = (i + 1) * delta;
            std::memmove(body + from + shift, body + from, static_cast<size_t>(segment_end - from));
            std::memcpy(body + batch[i] + i * delta, replacement, r);
            segment_end = batch[i];
        }
        return;
    }
    for (int i = 0; i < n; ++i) {
        int from = batch[i] + search_length;
        int to = i + 1 < n ? batch[i + 1] : length + 1;
        int shift = (i + 1) * delta;
        std::memcpy(body + batch[i] + i * delta, replacement, r);
        if (shift != 0) {
            std::memmove(body + from + shift, body + from, static_cast<size_t>(to - from));
        }
    }
}

} // namespace

void rewrite_links() {
    char search[limits::host_name_size + 16];
    char replacement[limits::proxy_address_size + 16];
    int search_length = std::snprintf(search, sizeof search, "=\"http://%s", blog_host);
    int replacement_length = std::snprintf(replacement, sizeof replacement, "=\"http://%s:%d",
                                           proxy_settings.listen_host, proxy_settings.listen_port);
    const search_text link = make_search_text(search, search_length);
    const int delta = replacement_length - search_length;
    char *body = message_info.body_start;
    int length = message_info.body_length;
    int end = static_cast<int>(std::strlen(body));
    // A replacement that would outgrow message_buffer ends the rewriting, with the links after it:
    // with a longer replacement text that is the one after the last that fits.
    long room = message_buffer + limits::message_buffer_size - body - 1 - length;
    long allowed = delta > 0 ? room / delta : static_cast<long>(length) + 1;
    int position = 0;
    while (allowed > 0) {
        int n = 0;
        const char *p = body + position;
        while (n < batch_capacity && n < allowed) {
            const char *found = find_bytes(p, body + end, link);
            if (found == nullptr) {
                break;
            }
            batch[n++] = static_cast<int>(found - body);
            p = found + search_length;
        }
        if (n == 0) {
            break;
        }
        replace_batch(body, length, n, search_length, replacement, replacement_length);
        position = batch[n - 1] + (n - 1) * delta + replacement_length;
        length += n * delta;
        end += n * delta;
        allowed -= n;
        if (n < batch_capacity) {
            break; // the search ran to the end
        }
    }
    message_info.body_length = length;
}
