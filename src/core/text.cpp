// Text helpers shared by every part of the proxy.
#include "core/text.h"

#include "core/limits.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

static char format_scratch[limits::format_scratch_size];
static char timestamp_field[20];

write_cursor make_cursor(char *start, int size) {
    return write_cursor{start, start + size, false};
}

template <bool fold>
static int prefix_match_with(const char *a, const char *b) {
    if (*a == '\0' || *b == '\0') {
        return 0;
    }
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (fold ? fold_ascii_letter(*a) != fold_ascii_letter(*b) : *a != *b) {
            return 0;
        }
    }
    return 1;
}

int prefix_match(const char *a, const char *b) {
    return prefix_match_with<false>(a, b);
}

int prefix_match_nocase(const char *a, const char *b) {
    return prefix_match_with<true>(a, b);
}

int split_lines(char *text, int length, char **table, int capacity, int *count_out, int *rest_out) {
    text[length] = '\0';
    int count = 0;
    int position = 0;
    while (position < length && count < capacity) {
        char *start = text + position;
        table[count++] = start;
        char *line_end = static_cast<char *>(std::memchr(start, '\n', size_t(length - position)));
        if (line_end == nullptr) {
            line_end = text + length;
        }
        *line_end = '\0';
        // a CR anywhere in the line becomes NUL, so a CR LF line ends before its CR
        for (char *p = start;
             (p = static_cast<char *>(std::memchr(p, '\r', size_t(line_end - p))));) {
            *p++ = '\0';
        }
        position = static_cast<int>(line_end - text) + 1;
    }
    if (position > length) {
        position = length;
    }
    *count_out = count;
    if (rest_out) {
        *rest_out = position;
    }
    return count;
}

int append_bytes(write_cursor *cursor, const char *data, int length) {
    if (cursor->overflow || length > cursor->end - cursor->position) {
        cursor->overflow = true;
        return 1;
    }
    std::memcpy(cursor->position, data, static_cast<size_t>(length));
    cursor->position += length;
    return 0;
}

int append_text(write_cursor *cursor, const char *text) {
    return append_bytes(cursor, text, static_cast<int>(std::strlen(text)));
}

int append_format(write_cursor *cursor, const char *format, ...) {
    va_list values;
    va_start(values, format);
    int n = std::vsnprintf(format_scratch, sizeof format_scratch, format, values);
    va_end(values);
    if (n < 0) {
        format_scratch[0] = '\0';
    }
    return append_text(cursor, format_scratch);
}

const char *timestamp_text() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr ||
        std::strftime(timestamp_field, sizeof timestamp_field, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        std::snprintf(timestamp_field, sizeof timestamp_field, "%s", "0000-00-00 00:00:00");
    }
    return timestamp_field;
}

const char *find_text(const char *from, const char *to, const char *needle, int needle_length) {
    if (needle_length <= 0 || to - from < needle_length) {
        return nullptr;
    }
    const char *last = to - needle_length;
    for (const char *p = from; p <= last; ++p) {
        p = static_cast<const char *>(std::memchr(p, needle[0], static_cast<size_t>(last - p + 1)));
        if (p == nullptr) {
            return nullptr;
        }
        if (std::memcmp(p, needle, static_cast<size_t>(needle_length)) == 0) {
            return p;
        }
    }
    return nullptr;
}

const char *find_byte(const char *from, const char *to, char c) {
    if (to <= from) {
        return nullptr;
    }
    return static_cast<const char *>(std::memchr(from, c, static_cast<size_t>(to - from)));
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

long long read_decimal(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    constexpr long long ceiling = 1000000000000000000LL;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value < ceiling / 10 ? value * 10 + (*p - '0') : ceiling;
    }
    return negative ? -value : value;
}
