// Editing the reply body held in message_buffer (message_info's body start and length) as a list of
// pieces: an edit only records which bytes go where, and body_finish() moves each byte once.
//
// Between body_begin() and body_finish() the body is addressed by offsets from its start; they stay
// valid across edits in the way positions in a text do (an edit before an offset shifts the text
// after it). The text always ends with the NUL at the body's end; the edits keep that NUL and any
// bytes between the first NUL and it.
#pragma once

// Makes the body in message_buffer the text to edit.
void body_begin();
// Writes the edited text back at the body start, its NUL included, and sets the body length.
void body_finish();

// The offset of the first NUL: the searches of the page filter stop there.
int body_text_end();
// The byte at `at` (0 <= at <= the body length).
char body_byte(int at);
// Where the text at `at` is stored and, in *available, how many bytes follow it there
// contiguously; valid until the next edit.
const char *body_span(int at, int *available);

// A text to search for, with the bytes of it that are rarest in pages: the search looks for those
// first.
struct search_text {
    const char *text;
    int length;
    int rare;  // index of the rarest byte
    int other; // index of the next rarest byte (0 for a text of one byte)
    int third; // and of the one after, for texts of 8 bytes or more (else equal to other)
};
search_text make_search_text(const char *text, int length);

// The first occurrence of the text starting in [from, to - length], or -1.
int body_find(int from, int to, const search_text &needle);
// The first byte c in [from, to), or -1.
int body_find_byte(int from, int to, char c);
// The last byte c in [low, from], or -1.
int body_find_byte_back(int from, int low, char c);
// prefix_match of the text at `at` (up to its first NUL) against `text`.
int body_prefix_match(int at, const char *text);
// 1 when text[at, at + length) equals bytes[0, length).
int body_equal(int at, const char *bytes, int length);

// Replaces `remove` bytes at `at` by insert[0, insert_length). 0 when done; 1, with nothing
// changed, when the body would no longer fit message_buffer. `insert` is copied unless `lasting`
// is 1, which says that it stays unchanged until body_finish().
int body_replace(int at, int remove, const char *insert, int insert_length, int lasting);

// The first occurrence of the text in [from, to), for the searches over plain memory.
const char *find_bytes(const char *from, const char *to, const search_text &needle);
