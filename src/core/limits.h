// Every fixed size of the proxy, in one place, each with the reason for it.
#pragma once

namespace limits {

// One whole HTTP message (request, reply or confirmation page) and, at start-up, the kill file.
constexpr int message_buffer_size = 2 * 1024 * 1024;
// The received header, copied so that it can be cut into lines in place.
constexpr int header_copy_size = 64 * 1024;
// Lines of one header; a header with more lines is cut short.
constexpr int header_line_capacity = 1024;
// A rebuilt header about to be sent.
constexpr int output_buffer_size = 64 * 1024;
// Bytes a single send may carry; longer ranges go out in pieces of this size.
constexpr int send_piece_size = 32 * 1024;
// One formatted text of append_format, its NUL included.
constexpr int format_scratch_size = 1024;
// A host name setting, its NUL included.
constexpr int host_name_size = 256;
// "host:port" of the proxy's own address: a host name, a colon and any 32-bit number.
constexpr int proxy_address_size = host_name_size + 16;
// Rows of the filter table.
constexpr int filter_table_size = 128;
// Bytes of one filter entry's text (its field holds one more for the NUL).
constexpr int filter_text_max = 64;
// The encoded author segment and the "X" link built from it, NUL included.
constexpr int hex_text_size = 1024;
constexpr int filter_link_size = 1024;
// A decoded name or link on the command page, NUL included.
constexpr int decoded_text_size = 256;
// Seconds a browser may stay silent while its request is incomplete.
constexpr int browser_idle_seconds = 10;
// Seconds the blog server may stay silent while its reply is incomplete.
constexpr int server_idle_seconds = 60;
// Seconds a peer may refuse to take more bytes before the send counts as failed.
constexpr int send_stall_seconds = 60;
// Pending browser connections the listener holds while one exchange runs.
constexpr int listen_backlog = 64;

} // namespace limits
