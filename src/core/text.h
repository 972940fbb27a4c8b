// Text helpers on NUL-terminated byte texts: the two-way prefix test, the in-place line splitter,
// bounded appenders behind a write cursor, and the console time stamp.
#pragma once

// A write position inside a caller's buffer that knows where the buffer ends. An append that
// does not fit writes nothing and sets `overflow`; later appends on the cursor then do nothing.
// The appenders never write a terminating NUL.
struct write_cursor {
    char *position;
    char *end;
    bool overflow;
};

write_cursor make_cursor(char *start, int size);

// 1 when both texts are non-empty and the shorter is a prefix of the longer, else 0.
int prefix_match(const char *a, const char *b);
// The same, with the letters A-Z and a-z compared without regard to case.
int prefix_match_nocase(const char *a, const char *b);

// Cuts text[0, length) into lines in place: a NUL at `length`, every LF ends a line and every CR
// of a stored line becomes NUL.
// Stores at most `capacity` line starts in `table` and their number in *count_out,
// and returns that number. *rest_out, when given, receives the offset of the first line that did
// not fit (length when every line fitted). text[length] must be inside the caller's buffer.
int split_lines(char *text, int length, char **table, int capacity, int *count_out,
                int *rest_out = nullptr);

// Copies text without its NUL to the cursor; 0 when it fitted, 1 when it did not (nothing
// written). append_bytes does the same for a byte range.
int append_text(write_cursor *cursor, const char *text);
int append_bytes(write_cursor *cursor, const char *data, int length);
// Formats into the 1,024-byte scratch field (a longer result is cut to fit) and appends it.
int append_format(write_cursor *cursor, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The current local time as "%Y-%m-%d %H:%M:%S" in a static field that the next call overwrites.
const char *timestamp_text();

// Bounded searches: the first occurrence of `needle` (or of byte c) in [from, to), or nullptr.
const char *find_text(const char *from, const char *to, const char *needle, int needle_length);
const char *find_byte(const char *from, const char *to, char c);

// The value of one hexadecimal digit, or -1 for any other byte.
int hex_digit_value(char c);
// A-Z as a-z; every other byte as it is.
inline char fold_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The decimal number at text: optional leading white space, an optional sign, then digits up to
// the first other byte; no digits gives 0. Magnitudes beyond 10^18 read as 10^18.
long long read_decimal(const char *text);

// The same searches over writable text.
inline char *find_text(char *from, const char *to, const char *needle, int needle_length) {
    return const_cast<char *>(
        find_text(static_cast<const char *>(from), to, needle, needle_length));
}
inline char *find_byte(char *from, const char *to, char c) {
    return const_cast<char *>(find_byte(static_cast<const char *>(from), to, c));
}
