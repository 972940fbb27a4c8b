// Filtering the comment blocks of discussion pages.
#include "pagefilter/comments.h"

#include "core/limits.h"
#include "core/proxy.h"
#include "core/text.h"
#include "filterlist/config.h"
#include "pagefilter/body.h"
#include "pagefilter/vectors.h"

#include <cstdio>
#include <cstring>

static char hex_text[limits::hex_text_size];
static char filter_link[limits::filter_link_size];

namespace {

constexpr char block_marker[] = "com-blck\"";
constexpr int block_marker_length = sizeof block_marker - 1;

// The texts the walk looks for.
search_text marker_text;
search_text div_end_text;
search_text paragraph_text;
search_text anchor_end_text;
search_text bar_text;

void prepare_search_texts() {
    marker_text = make_search_text(block_marker, block_marker_length);
    div_end_text = make_search_text("</div>", 6);
    paragraph_text = make_search_text("<p>", 3);
    anchor_end_text = make_search_text("</a>", 4);
    bar_text = make_search_text(" |", 2);
}
constexpr char link_suffix[] = "/\">X</a>)";
constexpr int link_suffix_length = sizeof link_suffix - 1;

// Offsets into the body being edited.
struct comment_block {
    int start;       // the "<" that opens the block's tag
    int class_value; // after the first double quote from the start
    int end;         // right after the first "</div>" from the start
    int name;        // author_name: [name, name_end)
    int name_end;
    int link; // author_link: [link, link_end), empty for a plain author
    int link_end;
};

// The block whose tag opens at `start` (its marker at `marker`), over the pieces of the body.
bool block_in_pieces(int start, int marker, int end, comment_block *b) {
    int quote = body_find_byte(start, end, '"');
    int close = body_find(start, end, div_end_text);
    int paragraph = body_find(start, end, paragraph_text);
    if (quote < 0 || close < 0 || close < marker || paragraph < 0) {
        return false;
    }
    b->start = start;
    b->class_value = quote + 1;
    b->end = close + 6;
    int line = paragraph + 3;
    if (body_prefix_match(line, "<a href=\"")) {
        if (end - line < 9) {
            return false;
        }
        b->link = line + 9;
        b->link_end = body_find_byte(b->link, end, '"');
        int tag_end = body_find_byte(line, end, '>');
        b->name = tag_end >= 0 ? tag_end + 1 : -1;
        b->name_end = tag_end >= 0 ? body_find(b->name, end, anchor_end_text) : -1;
        return b->link_end >= 0 && b->name_end >= 0;
    }
    b->link = b->link_end = line;
    b->name = line;
    b->name_end = body_find(line, end, bar_text);
    return b->name_end >= 0;
}

// Finds the block whose marker is the first at or after `from`. false when there is none or its
// structure breaks off; a block whose "</div>" does not lie after its marker counts as broken,
// since the walk would otherwise find the same marker again. Where the text from the block's
// start to the first NUL lies in one piece, as it does after the last edit, the searches run
// over plain memory.
bool find_block(int from, int end, comment_block *b) {
    int marker_at = body_find(from, end, marker_text);
    if (marker_at < 0) {
        return false;
    }
    int start_at = body_find_byte_back(marker_at, 0, '<');
    if (start_at < 0) {
        return false;
    }
    int available = 0;
    const char *start = body_span(start_at, &available);
    if (available <= end - start_at) {
        return block_in_pieces(start_at, marker_at, end, b);
    }
    const char *text_end = start + (end - start_at); // the first NUL
    const char *marker = start + (marker_at - start_at);
    auto offset = [&](const char *p) { return start_at + static_cast<int>(p - start); };
    const char *quote = find_byte(start, text_end, '"');
    const char *close = find_bytes(start, text_end, div_end_text);
    const char *paragraph = find_bytes(start, text_end, paragraph_text);
    if (quote == nullptr || close == nullptr || close < marker || paragraph == nullptr) {
        return false;
    }
    b->start = start_at;
    b->class_value = offset(quote + 1);
    b->end = offset(close + 6);
    const char *line = paragraph + 3;
    if (prefix_match(line, "<a href=\"")) {
        if (text_end - line < 9) {
            return false;
        }
        const char *link_end = find_byte(line + 9, text_end, '"');
        const char *tag_end = find_byte(line, text_end, '>');
        const char *name_end =
            tag_end != nullptr ? find_bytes(tag_end + 1, text_end, anchor_end_text) : nullptr;
        if (link_end == nullptr || name_end == nullptr) {
            return false;
        }
        b->link = offset(line + 9);
        b->link_end = offset(link_end);
        b->name = offset(tag_end + 1);
        b->name_end = offset(name_end);
        return true;
    }
    const char *name_end = find_bytes(line, text_end, bar_text);
    if (name_end == nullptr) {
        return false;
    }
    b->link = b->link_end = b->name = offset(line);
    b->name_end = offset(name_end);
    return true;
}

// The content rows, their letters folded to lower case, chained by their first byte.
struct word_row {
    int length;
    char folded[limits::filter_text_max + 1];
};

word_row words[limits::filter_table_size];
int word_count;
int shortest_word;
short first_row[256]; // the first row whose folded text begins with the byte, -1 when none
short next_row[limits::filter_table_size];
bool starts_row[256]; // a row's text can begin with this byte (either case)
bool letter[256];
unsigned char folded[256];
// Bit (a << 8 | b) is set when a row begins with the folded bytes a, b (every b for a row of
// one byte): most candidate positions go after one look at it.
unsigned char pair_bits[256 * 256 / 8];

void allow_pair(int a, int b) {
    int key = a << 8 | b;
    pair_bits[key >> 3] = static_cast<unsigned char>(pair_bits[key >> 3] | 1 << (key & 7));
}

void prepare_tables() {
    for (int c = 0; c < 256; ++c) {
        letter[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        folded[c] = static_cast<unsigned char>((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
        first_row[c] = -1;
        starts_row[c] = false;
    }
    word_count = 0;
    shortest_word = limits::filter_text_max + 1;
    for (int i = 0; i < filter_count; ++i) {
        const filter_entry &e = filter_table[i];
        if (e.kind != content_entry || e.length <= 0) {
            continue;
        }
        word_row &w = words[word_count];
        w.length = e.length;
        for (int k = 0; k < e.length; ++k) {
            w.folded[k] = static_cast<char>(folded[static_cast<unsigned char>(e.text[k])]);
        }
        shortest_word = e.length < shortest_word ? e.length : shortest_word;
        ++word_count;
    }
    std::memset(pair_bits, 0, sizeof pair_bits);
    for (int i = 0; i < word_count; ++i) {
        auto first = static_cast<unsigned char>(words[i].folded[0]);
        for (int b = 0; b < 256; ++b) {
            if (words[i].length > 1) {
                b = static_cast<unsigned char>(words[i].folded[1]);
                allow_pair(first, b);
                break;
            }
            allow_pair(first, b);
        }
    }
    // chained back to front, so that each chain keeps table order
    for (int i = word_count - 1; i >= 0; --i) {
        auto first = static_cast<unsigned char>(words[i].folded[0]);
        next_row[i] = first_row[first];
        first_row[first] = static_cast<short>(i);
        starts_row[first] = true;
        if (first >= 'a' && first <= 'z') {
            starts_row[first - 'a' + 'A'] = true;
        }
    }
}

bool row_at(const word_row &w, const unsigned char *s) {
    for (int k = 1; k < w.length; ++k) {
        if (folded[s[k]] != static_cast<unsigned char>(w.folded[k])) {
            return false;
        }
    }
    return !letter[s[w.length]];
}

// Whether some row begins with the two bytes at s.
inline bool pair_allowed(const unsigned char *s) {
    int key = folded[s[0]] << 8 | folded[s[1]];
    return (pair_bits[key >> 3] >> (key & 7) & 1) != 0;
}

// A row of the chain of s[i] that matches there as a whole word inside s[0, length]. Kept out of
// line: the scans call it rarely and stay small without it.
__attribute__((noinline)) bool row_starts_at(const unsigned char *s, int i, int length) {
    for (int r = first_row[folded[s[i]]]; r >= 0; r = next_row[r]) {
        if (i + words[r].length <= length && row_at(words[r], s + i)) {
            return true;
        }
    }
    return false;
}

#if defined(MIVREL_VECTORS)
// The rows' first bytes as vectors, when there are few enough of them. A letter is compared with
// the lower-case bit set, so that one comparison finds both cases; unused slots repeat slot 0.
constexpr int vector_first_capacity = 8;
__m128i vector_first[vector_first_capacity];
__m128i vector_case[vector_first_capacity]; // 0x20 for a letter, else 0
int vector_first_count;                     // 0: too many first bytes, scan byte by byte

void prepare_vectors() {
    vector_first_count = 0;
    for (int c = 0; c < 256; ++c) {
        if (first_row[c] < 0 || (c >= 'A' && c <= 'Z')) {
            continue;
        }
        if (vector_first_count == vector_first_capacity) {
            vector_first_count = 0;
            return;
        }
        vector_first[vector_first_count] = _mm_set1_epi8(static_cast<char>(c));
        vector_case[vector_first_count] = _mm_set1_epi8(c >= 'a' && c <= 'z' ? 0x20 : 0);
        ++vector_first_count;
    }
    for (int k = vector_first_count; k < vector_first_capacity && vector_first_count > 0; ++k) {
        vector_first[k] = vector_first[0];
        vector_case[k] = vector_case[0];
    }
}

// The rows' first two bytes, when every row has two and there are few pairs: the same tests on
// two bytes sort out nearly all the positions that cannot begin a row.
__m128i pair_first[vector_first_capacity];
__m128i pair_first_case[vector_first_capacity];
__m128i pair_second[vector_first_capacity];
__m128i pair_second_case[vector_first_capacity];
int pair_count; // 0: not in use

__m128i case_mask(unsigned char c) {
    return _mm_set1_epi8(c >= 'a' && c <= 'z' ? 0x20 : 0);
}

void prepare_pairs() {
    pair_count = 0;
    unsigned char seen[vector_first_capacity][2];
    for (int r = 0; r < word_count; ++r) {
        if (words[r].length < 2) {
            pair_count = 0;
            return;
        }
        auto a = static_cast<unsigned char>(words[r].folded[0]);
        auto b = static_cast<unsigned char>(words[r].folded[1]);
        bool known = false;
        for (int k = 0; k < pair_count; ++k) {
            known = known || (seen[k][0] == a && seen[k][1] == b);
        }
        if (known) {
            continue;
        }
        if (pair_count == vector_first_capacity) {
            pair_count = 0;
            return;
        }
        seen[pair_count][0] = a;
        seen[pair_count][1] = b;
        pair_first[pair_count] = _mm_set1_epi8(static_cast<char>(a));
        pair_first_case[pair_count] = case_mask(a);
        pair_second[pair_count] = _mm_set1_epi8(static_cast<char>(b));
        pair_second_case[pair_count] = case_mask(b);
        ++pair_count;
    }
    for (int k = pair_count; k < vector_first_capacity && pair_count > 0; ++k) {
        pair_first[k] = pair_first[0];
        pair_first_case[k] = pair_first_case[0];
        pair_second[k] = pair_second[0];
        pair_second_case[k] = pair_second_case[0];
    }
}

// The rows' first three bytes when they are letters: bit k of prefix_low[j][n] & prefix_high[j][h]
// is set when the byte with the halves n, h (lower case) is byte j of the k-th distinct prefix.
constexpr int prefix_depth = 3;
int prefix_count; // 0: not in use
alignas(16) unsigned char prefix_low[prefix_depth][16];
alignas(16) unsigned char prefix_high[prefix_depth][16];

void prepare_prefixes() {
    prefix_count = 0;
    std::memset(prefix_low, 0, sizeof prefix_low);
    std::memset(prefix_high, 0, sizeof prefix_high);
    char seen[vector_first_capacity][prefix_depth];
    for (int r = 0; r < word_count; ++r) {
        const char *f = words[r].folded;
        bool letters = words[r].length >= prefix_depth;
        for (int j = 0; letters && j < prefix_depth; ++j) {
            letters = f[j] >= 'a' && f[j] <= 'z';
        }
        if (!letters) {
            prefix_count = 0;
            return;
        }
        bool known = false;
        for (int k = 0; k < prefix_count && !known; ++k) {
            known = std::memcmp(seen[k], f, prefix_depth) == 0;
        }
        if (known) {
            continue;
        }
        if (prefix_count == vector_first_capacity) {
            prefix_count = 0;
            return;
        }
        std::memcpy(seen[prefix_count], f, prefix_depth);
        auto bit = static_cast<unsigned char>(1u << prefix_count);
        for (int j = 0; j < prefix_depth; ++j) {
            auto c = static_cast<unsigned char>(f[j]);
            prefix_low[j][c & 15] = static_cast<unsigned char>(prefix_low[j][c & 15] | bit);
            prefix_high[j][c >> 4] = static_cast<unsigned char>(prefix_high[j][c >> 4] | bit);
        }
        ++prefix_count;
    }
}

// Positions i .. i + 15 whose byte can begin a row and whose byte before is no letter.
template <int slots>
inline unsigned candidates(const unsigned char *s, int i) {
    const __m128i case_bit = _mm_set1_epi8(0x20);
    const __m128i a = _mm_set1_epi8('a');
    const __m128i z = _mm_set1_epi8(25);
    __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
    __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i - 1));
    __m128i t = _mm_sub_epi8(_mm_or_si128(previous, case_bit), a);
    __m128i previous_letter = _mm_cmpeq_epi8(_mm_min_epu8(t, z), t);
    __m128i first = _mm_cmpeq_epi8(_mm_or_si128(current, vector_case[0]), vector_first[0]);
    for (int k = 1; k < slots; ++k) {
        first = _mm_or_si128(
            first, _mm_cmpeq_epi8(_mm_or_si128(current, vector_case[k]), vector_first[k]));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(previous_letter, first)));
}

// Tests the candidates of s[i, length - 15) 16 at a time; returns the first position not tested,
// or -1 when a row matched.
template <int slots>
int vector_scan(const unsigned char *s, int i, int length, int last) {
    for (; i + 15 <= length && i <= last; i += 16) {
        unsigned bits = candidates<slots>(s, i);
        if (last - i < 15) {
            bits &= (2u << (last - i)) - 1;
        }
        while (bits != 0) {
            int at = i + __builtin_ctz(bits);
            if (pair_allowed(s + at) && row_starts_at(s, at, length)) {
                return -1;
            }
            bits &= bits - 1;
        }
    }
    return i;
}

#if defined(MIVREL_WIDE_VECTORS)
// The same 32 positions at a time, on processors that have AVX2.
template <int slots>
__attribute__((target("avx2"))) int wide_scan(const unsigned char *s, int i, int length, int last) {
    const __m256i case_bit = _mm256_set1_epi8(0x20);
    const __m256i a = _mm256_set1_epi8('a');
    const __m256i z = _mm256_set1_epi8(25);
    __m256i first_byte[slots];
    __m256i first_case[slots];
    for (int k = 0; k < slots; ++k) {
        first_byte[k] = _mm256_broadcastsi128_si256(vector_first[k]);
        first_case[k] = _mm256_broadcastsi128_si256(vector_case[k]);
    }
    for (; i + 31 <= length && i <= last; i += 32) {
        __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i - 1));
        __m256i t = _mm256_sub_epi8(_mm256_or_si256(previous, case_bit), a);
        __m256i previous_letter = _mm256_cmpeq_epi8(_mm256_min_epu8(t, z), t);
        __m256i first = _mm256_cmpeq_epi8(_mm256_or_si256(current, first_case[0]), first_byte[0]);
        for (int k = 1; k < slots; ++k) {
            first = _mm256_or_si256(
                first, _mm256_cmpeq_epi8(_mm256_or_si256(current, first_case[k]), first_byte[k]));
        }
        auto bits = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_andnot_si256(previous_letter, first)));
        if (last - i < 31) {
            bits &= static_cast<unsigned>((2ull << (last - i)) - 1);
        }
        while (bits != 0) {
            int at = i + __builtin_ctz(bits);
            if (pair_allowed(s + at) && row_starts_at(s, at, length)) {
                return -1;
            }
            bits &= bits - 1;
        }
    }
    return i;
}

// The same with the rows' first two bytes, 32 positions at a time.
template <int slots>
__attribute__((target("avx2"))) int wide_pair_scan(const unsigned char *s, int i, int length,
                                                   int last) {
    const __m256i case_bit = _mm256_set1_epi8(0x20);
    const __m256i a = _mm256_set1_epi8('a');
    const __m256i z = _mm256_set1_epi8(25);
    __m256i first_byte[slots];
    __m256i first_case[slots];
    __m256i second_byte[slots];
    __m256i second_case[slots];
    for (int k = 0; k < slots; ++k) {
        first_byte[k] = _mm256_broadcastsi128_si256(pair_first[k]);
        first_case[k] = _mm256_broadcastsi128_si256(pair_first_case[k]);
        second_byte[k] = _mm256_broadcastsi128_si256(pair_second[k]);
        second_case[k] = _mm256_broadcastsi128_si256(pair_second_case[k]);
    }
    for (; i + 32 <= length && i <= last; i += 32) {
        __m256i current = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
        __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i - 1));
        __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + 1));
        __m256i t = _mm256_sub_epi8(_mm256_or_si256(previous, case_bit), a);
        __m256i previous_letter = _mm256_cmpeq_epi8(_mm256_min_epu8(t, z), t);
        __m256i found = _mm256_setzero_si256();
        for (int k = 0; k < slots; ++k) {
            __m256i one = _mm256_cmpeq_epi8(_mm256_or_si256(current, first_case[k]), first_byte[k]);
            __m256i two = _mm256_cmpeq_epi8(_mm256_or_si256(next, second_case[k]), second_byte[k]);
            found = _mm256_or_si256(found, _mm256_and_si256(one, two));
        }
        auto bits = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_andnot_si256(previous_letter, found)));
        if (last - i < 31) {
            bits &= static_cast<unsigned>((2ull << (last - i)) - 1);
        }
        while (bits != 0) {
            if (row_starts_at(s, i + __builtin_ctz(bits), length)) {
                return -1;
            }
            bits &= bits - 1;
        }
    }
    return i;
}

// The bytes of a vector, folded to lower case, as the set of pairs they can be part of.
__attribute__((target("avx2"))) inline __m256i pair_classes(__m256i bytes, __m256i low_table,
                                                            __m256i high_table) {
    const __m256i nibble = _mm256_set1_epi8(15);
    __m256i folded_bytes = _mm256_or_si256(bytes, _mm256_set1_epi8(0x20));
    __m256i low = _mm256_and_si256(folded_bytes, nibble);
    __m256i high = _mm256_and_si256(_mm256_srli_epi16(folded_bytes, 4), nibble);
    return _mm256_and_si256(_mm256_shuffle_epi8(low_table, low),
                            _mm256_shuffle_epi8(high_table, high));
}

// The rows' letter prefixes looked up by halves of bytes, whatever their number, 32 positions at
// a time. Folding sets bit 5, which maps no byte but the two cases of a letter onto a lower-case
// letter, so the lookup is exact.
__attribute__((target("avx2"))) int wide_letter_scan(const unsigned char *s, int i, int length,
                                                     int last) {
    const __m256i case_bit = _mm256_set1_epi8(0x20);
    const __m256i a = _mm256_set1_epi8('a');
    const __m256i z = _mm256_set1_epi8(25);
    const __m256i zero = _mm256_setzero_si256();
    __m256i low[prefix_depth];
    __m256i high[prefix_depth];
    for (int j = 0; j < prefix_depth; ++j) {
        low[j] = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(prefix_low[j])));
        high[j] = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i *>(prefix_high[j])));
    }
    for (; i + 31 + prefix_depth <= length && i <= last; i += 32) {
        __m256i previous = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i - 1));
        __m256i t = _mm256_sub_epi8(_mm256_or_si256(previous, case_bit), a);
        __m256i previous_letter = _mm256_cmpeq_epi8(_mm256_min_epu8(t, z), t);
        __m256i all = pair_classes(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i)),
                                   low[0], high[0]);
        for (int j = 1; j < prefix_depth; ++j) {
            all = _mm256_and_si256(
                all, pair_classes(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + j)),
                                  low[j], high[j]));
        }
        __m256i none = _mm256_or_si256(_mm256_cmpeq_epi8(all, zero), previous_letter);
        auto bits = ~static_cast<unsigned>(_mm256_movemask_epi8(none));
        if (last - i < 31) {
            bits &= static_cast<unsigned>((2ull << (last - i)) - 1);
        }
        while (bits != 0) {
            if (row_starts_at(s, i + __builtin_ctz(bits), length)) {
                return -1;
            }
            bits &= bits - 1;
        }
    }
    return i;
}

bool wide_vectors = __builtin_cpu_supports("avx2");
#endif
#endif

// Some content row as a whole word starting in s[0, length - row length]; s[length] is readable,
// and `before` is the byte before s (0 when s is the body start: no letter).
bool holds_word(const unsigned char *s, int length, unsigned char before) {
    const int last = length - shortest_word;
    if (last < 0) {
        return false;
    }
    if (starts_row[s[0]] && !letter[before] && pair_allowed(s) && row_starts_at(s, 0, length)) {
        return true;
    }
    int i = 1;
#if defined(MIVREL_VECTORS)
#if defined(MIVREL_WIDE_VECTORS)
    if (prefix_count > 0 && wide_vectors) {
        i = wide_letter_scan(s, i, length, last);
        if (i < 0) {
            return true;
        }
    }
    if (pair_count > 0 && wide_vectors) {
        using scan = int (*)(const unsigned char *, int, int, int);
        static const scan by_count[] = {wide_pair_scan<1>, wide_pair_scan<2>, wide_pair_scan<3>,
                                        wide_pair_scan<4>, wide_pair_scan<5>, wide_pair_scan<6>,
                                        wide_pair_scan<7>, wide_pair_scan<8>};
        i = by_count[pair_count - 1](s, i, length, last);
        if (i < 0) {
            return true;
        }
    }
    if (vector_first_count > 0 && wide_vectors) {
        i = vector_first_count <= 2   ? wide_scan<2>(s, i, length, last)
            : vector_first_count <= 4 ? wide_scan<4>(s, i, length, last)
                                      : wide_scan<8>(s, i, length, last);
        if (i < 0) {
            return true;
        }
    }
#endif
    if (vector_first_count > 0) {
        i = vector_first_count <= 2   ? vector_scan<2>(s, i, length, last)
            : vector_first_count <= 4 ? vector_scan<4>(s, i, length, last)
                                      : vector_scan<8>(s, i, length, last);
        if (i < 0) {
            return true;
        }
    }
#endif
    for (; i <= last; ++i) {
        if (starts_row[s[i]] && !letter[s[i - 1]] && pair_allowed(s + i) &&
            row_starts_at(s, i, length)) {
            return true;
        }
    }
    return false;
}

// The same over a block that does not lie in one piece of the body.
bool holds_word_slowly(const comment_block &b) {
    for (int s = b.start; s <= b.end - shortest_word; ++s) {
        if (s > 0 && letter[static_cast<unsigned char>(body_byte(s - 1))]) {
            continue;
        }
        auto c = static_cast<unsigned char>(body_byte(s));
        for (int r = first_row[folded[c]]; r >= 0 && starts_row[c]; r = next_row[r]) {
            const word_row &w = words[r];
            if (s + w.length > b.end) {
                continue;
            }
            int k = 1;
            while (k < w.length && folded[static_cast<unsigned char>(body_byte(s + k))] ==
                                       static_cast<unsigned char>(w.folded[k])) {
                ++k;
            }
            if (k == w.length && !letter[static_cast<unsigned char>(body_byte(s + k))]) {
                return true;
            }
        }
    }
    return false;
}

bool contains_word(const comment_block &b) {
    if (word_count == 0 || b.end - b.start < shortest_word) {
        return false;
    }
    int available = 0;
    const char *p = body_span(b.start, &available);
    int length = b.end - b.start;
    if (available <= length) {
        return holds_word_slowly(b);
    }
    unsigned char before = b.start > 0 ? static_cast<unsigned char>(body_byte(b.start - 1)) : 0;
    return holds_word(reinterpret_cast<const unsigned char *>(p), length, before);
}

// The name and link rows chained by their length, so that a block's author is compared with the
// few rows of the same length only.
short first_of_length[2][limits::filter_text_max + 1];
short next_of_length[limits::filter_table_size];

void prepare_author_rows() {
    for (auto &chains : first_of_length) {
        for (short &first : chains) {
            first = -1;
        }
    }
    for (int i = filter_count - 1; i >= 0; --i) {
        const filter_entry &e = filter_table[i];
        if ((e.kind == name_entry || e.kind == link_entry) && e.length >= 0 &&
            e.length <= limits::filter_text_max) {
            short &first = first_of_length[e.kind == link_entry ? 1 : 0][e.length];
            next_of_length[i] = first;
            first = static_cast<short>(i);
        }
    }
}

bool listed_author_text(int chain, int from, int to) {
    if (to - from > limits::filter_text_max) {
        return false;
    }
    for (int i = first_of_length[chain][to - from]; i >= 0; i = next_of_length[i]) {
        if (body_equal(from, filter_table[i].text, filter_table[i].length)) {
            return true;
        }
    }
    return false;
}

bool block_is_listed(const comment_block &b) {
    return listed_author_text(0, b.name, b.name_end) || listed_author_text(1, b.link, b.link_end) ||
           contains_word(b);
}

// The hex pairs of text[from, to) at out, or false when they do not all fit before out_end.
bool hex_pair_text(char **out, const char *out_end, int from, int to) {
    static const char digits[] = "0123456789abcdef";
    if ((out_end - *out) / 2 < to - from) {
        return false;
    }
    char *o = *out;
    while (from < to) {
        int available = 0;
        const auto *p = reinterpret_cast<const unsigned char *>(body_span(from, &available));
        int n = to - from < available ? to - from : available;
        for (int k = 0; k < n; ++k) {
            *o++ = digits[p[k] >> 4];
            *o++ = digits[p[k] & 15];
        }
        from += n;
    }
    *out = o;
    return true;
}

// filter_link up to the encoded segment, the same for every block of a reply.
int link_head_length;

// Builds the block's "X" link; its length, or 0 when it does not fit its fields.
int build_filter_link(const comment_block &b) {
    char *hex = hex_text;
    const char *hex_end = hex_text + limits::hex_text_size - 1;
    if (!hex_pair_text(&hex, hex_end, b.name, b.name_end) || hex_end - hex < 2) {
        return 0;
    }
    *hex++ = '0';
    *hex++ = '0';
    if (!hex_pair_text(&hex, hex_end, b.link, b.link_end) || hex_end - hex < 2) {
        return 0;
    }
    *hex++ = '0';
    *hex++ = '0';
    int hex_length = static_cast<int>(hex - hex_text);
    int n = link_head_length + hex_length + link_suffix_length;
    if (link_head_length <= 0 || n >= limits::filter_link_size) {
        return 0;
    }
    std::memcpy(filter_link + link_head_length, hex_text, static_cast<size_t>(hex_length));
    std::memcpy(filter_link + link_head_length + hex_length, link_suffix, link_suffix_length);
    return n;
}

} // namespace

void filter_comments() {
    prepare_search_texts();
    prepare_author_rows();
    prepare_tables();
#if defined(MIVREL_VECTORS)
    prepare_vectors();
    prepare_pairs();
    prepare_prefixes();
#endif
    link_head_length =
        std::snprintf(filter_link, sizeof filter_link, " (<a href=\"http://%s:%d%s",
                      proxy_settings.listen_host, proxy_settings.listen_port, filter_path);
    if (link_head_length >= limits::filter_link_size) {
        link_head_length = -1;
    }
    body_begin();
    int tested = 0;
    int removed = 0;
    int stripe_state = 0;
    int position = 0;
    comment_block b{};
    while (find_block(position, body_text_end(), &b)) {
        ++tested;
        if (block_is_listed(b)) {
            body_replace(b.start, b.end - b.start, nullptr, 0, 1);
            ++removed;
            continue;
        }
        int insert_at =
            b.link != b.link_end ? body_find(b.name, body_text_end(), bar_text) : b.name_end;
        if (insert_at < 0) {
            --tested; // broken structure: the walk ends before this block
            break;
        }
        // The "X" link and "white-" are left out where the body would outgrow message_buffer or
        // the author's texts do not fit the link's fields; the block itself stays intact.
        int link_length = build_filter_link(b);
        if (link_length == 0 || body_replace(insert_at, 0, filter_link, link_length, 0) != 0) {
            link_length = 0;
        }
        if (insert_at <= b.class_value) {
            b.class_value += link_length;
        }
        bool white = body_prefix_match(b.class_value, "white-") != 0;
        if (white && stripe_state == 0) {
            body_replace(b.class_value, 6, nullptr, 0, 1);
            b.end -= 6;
        } else if (!white && stripe_state == 1 &&
                   body_replace(b.class_value, 0, "white-", 6, 1) == 0) {
            b.end += 6;
        }
        stripe_state = 1 - stripe_state;
        position = b.end + link_length;
    }
    body_finish();
    if (tested != 0) {
        std::printf("%s %d posts tested, %d removed, %.1f%%\n", timestamp_text(), tested, removed,
                    removed * 100.0 / tested);
    }
}
