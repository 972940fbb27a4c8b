// The reply body as a list of pieces: recorded edits, searches across them, and the final move.
#include "pagefilter/body.h"
#include "pagefilter/vectors.h"

#include "core/limits.h"
#include "core/text.h"
#include "http/message.h"

#include <cstring>

namespace {

// A 1.5 MB page with a few thousand links or kept comments needs some 12,000 pieces; more edits
// than fit move the text once in between (flush) and go on.
constexpr int piece_capacity = 16384;
// Inserted texts that the caller does not keep (the comments' "X" links).
constexpr int side_capacity = 256 * 1024;

const char *piece_data[piece_capacity];
int piece_length[piece_capacity];
int piece_start[piece_capacity]; // offset of the piece's first byte in the text
int piece_count;
int last_piece; // where the last lookup ended: lookups mostly stay close to it
char side_text[side_capacity];
int side_used;
int total_length; // bytes of the text, its final NUL included
int text_end;

bool in_message_buffer(const char *p) {
    return p >= message_buffer && p < message_buffer + limits::message_buffer_size;
}

// The piece holding offset `at` (0 <= at < total_length).
int locate(int at) {
    int i = last_piece;
    if (piece_start[i] <= at && at - piece_start[i] < piece_length[i]) {
        return i;
    }
    if (i + 1 < piece_count && piece_start[i + 1] <= at &&
        at - piece_start[i + 1] < piece_length[i + 1]) {
        return last_piece = i + 1;
    }
    // a block's class value lies a piece or two before its "X" link
    for (int k = i - 1; k >= 0 && k >= i - 2; --k) {
        if (piece_start[k] <= at && at - piece_start[k] < piece_length[k]) {
            return last_piece = k;
        }
    }
    int low = 0;
    int high = piece_count - 1;
    while (low < high) {
        int middle = (low + high + 1) / 2;
        if (piece_start[middle] <= at) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    return last_piece = low;
}

void reset_to_one_piece() {
    piece_count = 1;
    piece_data[0] = message_info.body_start;
    piece_length[0] = total_length;
    piece_start[0] = 0;
    last_piece = 0;
    side_used = 0;
}

// Moves every piece to its place after the body start. Pieces of message_buffer keep their
// order, so those that go down can move front to back and those that go up back to front without
// overwriting a piece not yet moved; the inserted texts, stored elsewhere, are copied last.
void flush() {
    char *base = message_info.body_start;
    if (piece_count == 1 && piece_data[0] == base) {
        return;
    }
    int out = 0;
    for (int i = 0; i < piece_count; ++i) {
        const char *data = piece_data[i];
        if (in_message_buffer(data) && base + out < data) {
            std::memmove(base + out, data, static_cast<size_t>(piece_length[i]));
        }
        out += piece_length[i];
    }
    for (int i = piece_count - 1; i >= 0; --i) {
        out -= piece_length[i];
        const char *data = piece_data[i];
        if (in_message_buffer(data) && base + out > data) {
            std::memmove(base + out, data, static_cast<size_t>(piece_length[i]));
        }
    }
    for (int i = 0; i < piece_count; ++i) {
        if (!in_message_buffer(piece_data[i])) {
            std::memcpy(base + out, piece_data[i], static_cast<size_t>(piece_length[i]));
        }
        out += piece_length[i];
    }
    reset_to_one_piece();
}

// Opens `count` empty slots at index i.
void open_slots(int i, int count) {
    int tail = piece_count - i;
    piece_count += count;
    if (tail == 0) {
        return;
    }
    std::memmove(piece_data + i + count, piece_data + i, sizeof piece_data[0] * tail);
    std::memmove(piece_length + i + count, piece_length + i, sizeof piece_length[0] * tail);
    std::memmove(piece_start + i + count, piece_start + i, sizeof piece_start[0] * tail);
}

void close_slots(int i, int count) {
    int tail = piece_count - i - count;
    std::memmove(piece_data + i, piece_data + i + count, sizeof piece_data[0] * tail);
    std::memmove(piece_length + i, piece_length + i + count, sizeof piece_length[0] * tail);
    std::memmove(piece_start + i, piece_start + i + count, sizeof piece_start[0] * tail);
    piece_count -= count;
}

// How common a byte is in HTML and English text: the rarest byte of a needle is the one to scan
// for. Bytes of rare_rank or lower (":", digits, upper case letters, most punctuation) are rare.
unsigned char byte_rank[256];
constexpr int rare_rank = 12;

struct rank_setup {
    rank_setup() {
        static const char common[] = " etaoinsrhldcu\"<>=/mfpg.wybv,-k\n:0123456789";
        int n = static_cast<int>(sizeof common - 1);
        for (int i = 0; i < n; ++i) {
            byte_rank[static_cast<unsigned char>(common[i])] =
                static_cast<unsigned char>(n + 1 - i);
        }
    }
} rank_setup_instance;

} // namespace

search_text make_search_text(const char *text, int length) {
    search_text t{text, length, 0, 0, 0};
    for (int i = 1; i < length; ++i) {
        if (byte_rank[static_cast<unsigned char>(text[i])] <
            byte_rank[static_cast<unsigned char>(text[t.rare])]) {
            t.rare = i;
        }
    }
    t.other = t.rare == 0 && length > 1 ? 1 : 0;
    for (int i = 0; i < length; ++i) {
        if (i != t.rare && byte_rank[static_cast<unsigned char>(text[i])] <
                               byte_rank[static_cast<unsigned char>(text[t.other])]) {
            t.other = i;
        }
    }
    // a long text is found mostly in the page's other long words: a third byte sorts them out
    t.third = t.other;
    for (int i = 0; i < length && length >= 8; ++i) {
        if (i != t.rare && i != t.other &&
            (t.third == t.other || byte_rank[static_cast<unsigned char>(text[i])] <
                                       byte_rank[static_cast<unsigned char>(text[t.third])])) {
            t.third = i;
        }
    }
    return t;
}

// memcmp for the short texts searched for: a call costs more than the comparison.
inline bool same_bytes(const char *a, const char *b, int n) {
    for (int i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

#if defined(MIVREL_WIDE_VECTORS)
const bool wide_vectors = __builtin_cpu_supports("avx2");

// The two-byte filter of find_bytes 32 starts at a time; returns the first start not tested, or
// sets *found.
__attribute__((target("avx2"))) inline __m256i load(const char *at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
}

__attribute__((target("avx2"))) const char *wide_pairs(const char *p, const char *to,
                                                       const search_text &t, const char **found) {
    const int k = t.rare;
    const int j = t.other;
    const int h = t.third;
    const char *last = to - t.length;
    const int farthest = k > j ? (k > h ? k : h) : (j > h ? j : h);
    const int reach = farthest + 32;
    const __m256i rare = _mm256_set1_epi8(t.text[k]);
    const __m256i other = _mm256_set1_epi8(t.text[j]);
    const __m256i third = _mm256_set1_epi8(t.text[h]);
    while (to - p >= reach && p <= last) {
        // 64 starts with one test of two bytes while nothing is in sight
        for (; to - p >= reach + 32 && p + 32 <= last; p += 64) {
            __m256i a0 = _mm256_cmpeq_epi8(load(p + k), rare);
            __m256i b0 = _mm256_cmpeq_epi8(load(p + j), other);
            __m256i a1 = _mm256_cmpeq_epi8(load(p + 32 + k), rare);
            __m256i b1 = _mm256_cmpeq_epi8(load(p + 32 + j), other);
            __m256i any = _mm256_or_si256(_mm256_and_si256(a0, b0), _mm256_and_si256(a1, b1));
            if (!_mm256_testz_si256(any, any)) {
                break;
            }
        }
        // then those 64 starts (or the last ones) 32 at a time with the third byte
        const char *stop = p + 64;
        for (; to - p >= reach && p <= last && p < stop; p += 32) {
            __m256i a = _mm256_cmpeq_epi8(load(p + k), rare);
            __m256i b = _mm256_cmpeq_epi8(load(p + j), other);
            __m256i c = _mm256_cmpeq_epi8(load(p + h), third);
            auto bits = static_cast<unsigned>(
                _mm256_movemask_epi8(_mm256_and_si256(_mm256_and_si256(a, b), c)));
            while (bits != 0) {
                const char *s = p + __builtin_ctz(bits);
                if (s > last) {
                    *found = nullptr;
                    return to;
                }
                if (same_bytes(s, t.text, t.length)) {
                    *found = s;
                    return to;
                }
                bits &= bits - 1;
            }
        }
    }
    return p;
}
#endif

const char *find_bytes(const char *from, const char *to, const search_text &t) {
    const int length = t.length;
    const char *needle = t.text;
    if (length <= 0 || to - from < length) {
        return nullptr;
    }
    const int k = t.rare;
    const char *p = from;
    const char *last = to - length; // the last possible start
#if defined(MIVREL_VECTORS)
    // memchr is quickest for a rare byte; for a common one two bytes at once sort out more
#if defined(MIVREL_WIDE_VECTORS)
    // 32 bytes at a time with two of them tested beat memchr on one, even a rare one
    if (length > 1 && wide_vectors) {
        const char *found = nullptr;
        p = wide_pairs(p, to, t, &found);
        if (p == to) {
            return found;
        }
    }
#endif
    if (length > 1 && byte_rank[static_cast<unsigned char>(needle[k])] > rare_rank) {
        const int j = t.other;
        const int reach = (k > j ? k : j) + 16; // bytes read from a block's first start
        const __m128i rare = _mm_set1_epi8(needle[k]);
        const __m128i other = _mm_set1_epi8(needle[j]);
        for (; to - p >= reach && p <= last; p += 16) {
            __m128i a =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + k)), rare);
            __m128i b =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + j)), other);
            unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(a, b)));
            while (bits != 0) {
                const char *s = p + __builtin_ctz(bits);
                if (s > last) {
                    return nullptr;
                }
                if (same_bytes(s, needle, length)) {
                    return s;
                }
                bits &= bits - 1;
            }
        }
    }
#endif
    const char c = needle[k];
    for (const char *q = p + k; p <= last; p = q - k + 1, q = p + k) {
        q = static_cast<const char *>(std::memchr(q, c, static_cast<size_t>(last + k - q + 1)));
        if (q == nullptr) {
            return nullptr;
        }
        if (same_bytes(q - k, needle, length)) {
            return q - k;
        }
    }
    return nullptr;
}

void body_begin() {
    total_length = message_info.body_length + 1;
    text_end = static_cast<int>(std::strlen(message_info.body_start));
    reset_to_one_piece();
}

void body_finish() {
    flush();
    message_info.body_length = total_length - 1;
}

int body_text_end() {
    return text_end;
}

char body_byte(int at) {
    int i = locate(at);
    return piece_data[i][at - piece_start[i]];
}

const char *body_span(int at, int *available) {
    int i = locate(at);
    *available = piece_start[i] + piece_length[i] - at;
    return piece_data[i] + (at - piece_start[i]);
}

int body_equal(int at, const char *bytes, int length) {
    while (length > 0) {
        int available = 0;
        const char *p = body_span(at, &available);
        int n = available < length ? available : length;
        if (std::memcmp(p, bytes, static_cast<size_t>(n)) != 0) {
            return 0;
        }
        at += n;
        bytes += n;
        length -= n;
    }
    return 1;
}

int body_find(int from, int to, const search_text &t) {
    const char *needle = t.text;
    const int length = t.length;
    if (length <= 0 || to - from < length) {
        return -1;
    }
    const int last = to - length; // the last possible start
    int position = from;
    while (position <= last) {
        int i = locate(position);
        const int start = piece_start[i];
        const int piece_end = start + piece_length[i];
        // matches that lie inside the piece
        int inner_last = piece_end - length < last ? piece_end - length : last;
        if (inner_last >= position) {
            const char *p = piece_data[i] + (position - start);
            const char *f = find_bytes(p, p + (inner_last - position) + length, t);
            if (f != nullptr) {
                return position + static_cast<int>(f - p);
            }
            position = inner_last + 1;
        }
        // matches that run on into the next pieces
        int cross_last = piece_end - 1 < last ? piece_end - 1 : last;
        for (; position <= cross_last; ++position) {
            if (body_byte(position) == needle[0] && body_equal(position, needle, length)) {
                return position;
            }
        }
    }
    return -1;
}

int body_find_byte(int from, int to, char c) {
    while (from < to) {
        int available = 0;
        const char *p = body_span(from, &available);
        int n = to - from < available ? to - from : available;
        const void *f = std::memchr(p, c, static_cast<size_t>(n));
        if (f != nullptr) {
            return from + static_cast<int>(static_cast<const char *>(f) - p);
        }
        from += n;
    }
    return -1;
}

int body_find_byte_back(int from, int low, char c) {
    while (from >= low) {
        int i = locate(from);
        const char *data = piece_data[i];
        const int start = piece_start[i];
        int stop = start > low ? start : low;
        for (int q = from; q >= stop; --q) {
            if (data[q - start] == c) {
                return q;
            }
        }
        from = stop - 1;
    }
    return -1;
}

int body_prefix_match(int at, const char *text) {
    int available = 0;
    const char *p = body_span(at, &available);
    size_t n = std::strlen(text);
    if (static_cast<size_t>(available) > n) {
        return prefix_match(p, text); // reads at most n bytes of the piece
    }
    if (body_byte(at) == '\0' || n == 0) {
        return 0;
    }
    for (size_t i = 0; i < n; ++i) {
        char b = body_byte(at + static_cast<int>(i));
        if (b == '\0') {
            return 1;
        }
        if (b != text[i]) {
            return 0;
        }
    }
    return 1;
}

int body_replace(int at, int remove, const char *insert, int insert_length, int lasting) {
    long grown = static_cast<long>(total_length) - 1 + insert_length - remove;
    if (message_info.body_start + grown + 1 > message_buffer + limits::message_buffer_size) {
        return 1;
    }
    if (piece_count + 2 > piece_capacity ||
        (!lasting && side_used + insert_length > side_capacity)) {
        flush();
    }
    if (!lasting && insert_length > 0) {
        std::memcpy(side_text + side_used, insert, static_cast<size_t>(insert_length));
        insert = side_text + side_used;
        side_used += insert_length;
    }
    int i = locate(at);
    int offset = at - piece_start[i];
    if (i == piece_count - 1) {
        // the usual edit, in the text after the last one: the last piece splits in two
        const char *data = piece_data[i];
        int rest = piece_length[i] - offset - remove;
        int k = offset > 0 ? i + 1 : i;
        if (insert_length > 0) {
            piece_data[k] = insert;
            piece_length[k] = insert_length;
            piece_start[k] = at;
            ++k;
        }
        piece_length[i] = offset > 0 ? offset : piece_length[i];
        piece_data[k] = data + offset + remove;
        piece_length[k] = rest;
        piece_start[k] = at + insert_length;
        piece_count = k + 1;
        last_piece = k;
        total_length += insert_length - remove;
        if (at < text_end) {
            text_end += insert_length - remove;
        }
        return 0;
    }
    if (offset > 0) {
        open_slots(i + 1, 1);
        piece_data[i + 1] = piece_data[i] + offset;
        piece_length[i + 1] = piece_length[i] - offset;
        piece_length[i] = offset;
        ++i;
    }
    // piece i starts at `at`; the removed bytes lie inside the text, before its final NUL
    int left = remove;
    int first_kept = i;
    while (left > 0 && left >= piece_length[first_kept]) {
        left -= piece_length[first_kept];
        ++first_kept;
    }
    piece_data[first_kept] += left;
    piece_length[first_kept] -= left;
    int dropped = first_kept - i;
    int wanted = insert_length > 0 ? 1 : 0;
    if (dropped > wanted) {
        close_slots(i, dropped - wanted);
    } else if (dropped < wanted) {
        open_slots(i, wanted - dropped);
    }
    if (wanted) {
        piece_data[i] = insert;
        piece_length[i] = insert_length;
    }
    for (int k = i; k < piece_count; ++k) {
        piece_start[k] = k == 0 ? 0 : piece_start[k - 1] + piece_length[k - 1];
    }
    total_length += insert_length - remove;
    if (at < text_end) {
        text_end += insert_length - remove;
    }
    last_piece = i < piece_count ? i : piece_count - 1;
    return 0;
}
