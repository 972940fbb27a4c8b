// Header rewriting: the header forwarded to the blog server and the one returned to the browser.
#pragma once

// Both read header_lines and write a whole header, blank line included, into output_buffer.
// They return its length, or -1 when the rebuilt header does not fit output_buffer (nothing of
// it may then be sent).
int rewrite_request_header();
int rewrite_reply_header();
