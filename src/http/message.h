// Message transfer: the shared message buffers and the reading and writing of whole HTTP messages.
#pragma once

#include "core/limits.h"
#include "platform/net.h"

// The message held in message_buffer. total_length is 0 after a message that was cut short
// (the peer closed or failed before it was complete, or it did not fit); the other fields then
// describe no message and must not be used.
struct message_record {
    int total_length;  // bytes of the message, chunked framing excluded
    int header_length; // bytes up to and including the CR LF CR LF that ends the header
    int body_length;   // total_length - header_length; the page edits keep it up to date
    char *body_start;  // the byte after the header
    int line_count;    // entries of header_lines in use
};

// A NUL always follows the last byte of the message held here.
extern char message_buffer[limits::message_buffer_size];
extern message_record message_info;
// The header, copied and cut into lines in place; header_lines holds the line starts.
extern char header_copy[limits::header_copy_size];
extern char *header_lines[limits::header_line_capacity];
// The rebuilt header that is about to be sent.
extern char output_buffer[limits::output_buffer_size];

// What is being read, which decides where a message without a length ends.
enum message_kind {
    request_message, // ends with its header unless it announces a body
    reply_message,   // without a length or chunked line, ends when the server closes
    reply_to_head,   // ends with its header whatever it announces
};

// Reads one message from `s` into message_buffer and fills message_info, header_copy and
// header_lines. Returns the number of bytes read from the socket, so that a peer that closed
// without sending anything (0) can be told from a message that broke off.
long receive_message(net_socket s, message_kind kind);

// Sends `length` bytes in pieces of at most 32 KiB. 0 when all went out; 1 after the first piece
// that did not, once the two console lines about it are printed. *sent_out, when given, receives
// the bytes sent in complete pieces.
int send_all(net_socket s, const char *data, int length, int *sent_out);
