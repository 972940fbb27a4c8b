// In-place edits of the reply body.
#include "pagefilter/body.h"

#include "http/message.h"

#include <cstring>

char *body_text_end() {
    return message_info.body_start + std::strlen(message_info.body_start);
}

int splice_body(char *at, int remove, const char *insert, int insert_length) {
    char *body_end = message_info.body_start + message_info.body_length;
    long grown = static_cast<long>(message_info.body_length) + insert_length - remove;
    if (message_info.body_start + grown + 1 > message_buffer + limits::message_buffer_size) {
        return 1;
    }
    std::memmove(at + insert_length, at + remove,
                 static_cast<size_t>(body_end + 1 - (at + remove)));
    if (insert_length > 0) {
        std::memcpy(at, insert, static_cast<size_t>(insert_length));
    }
    message_info.body_length = static_cast<int>(grown);
    return 0;
}
