// The filter command page: lists the author carried by a filter_url and confirms it.
#pragma once

// True when the request line asks for a filter command: it holds filter_path and a "/" after it.
bool is_filter_command(const char *request_line);
// Answers a filter command without contacting the blog server: lists the decoded name and link
// (in filter_table and in "mivrel.conf"), builds the confirmation page in message_buffer and its
// header in output_buffer. Returns the header's length.
int serve_filter_command();
