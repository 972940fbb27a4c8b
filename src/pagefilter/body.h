// In-place edits of the reply body held in message_buffer (message_info's body start and length).
#pragma once

// The body's first NUL: every search of the page filter stops there.
char *body_text_end();
// Replaces `remove` bytes at `at` by insert[0, insert_length), moving the rest of the body, its
// NUL included, and updating the body length. 0 when done; 1, with nothing changed, when the body
// would no longer fit message_buffer.
int splice_body(char *at, int remove, const char *insert, int insert_length);
