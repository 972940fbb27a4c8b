// The platform layer for the fuzz targets: scripted reads, and no network at all.
#include "scripted_net.h"

#include "core/limits.h"
#include "platform/net.h"

#include <cstdio>
#include <cstring>

namespace {

const uint8_t *script_at;
const uint8_t *script_end;

// The piece being delivered: data bytes from the script, or copies of one filler byte.
long piece_left;
const uint8_t *piece_data;
bool piece_is_filler;
uint8_t filler_byte;

long reads;
bool filled;

// Room for every byte a message can take in, framing included, and a margin.
constexpr long stream_capacity = 2L * limits::message_buffer_size;
char stream[stream_capacity];
long stream_length;
bool stream_overflow;

// Starts the next piece; false at the end of the script, *failed set for a failing read.
bool next_piece(bool *failed) {
    *failed = false;
    if (script_at >= script_end) {
        return false;
    }
    const uint8_t c = *script_at++;
    if (c < 0x80) {
        piece_left = c + 1;
        piece_is_filler = false;
    } else if (c < 0xc0) {
        long low = script_at < script_end ? *script_at++ : 0;
        piece_left = (static_cast<long>(c & 0x3f) << 8 | low) + 1;
        piece_is_filler = false;
    } else if (c < 0xe0) {
        long mid = script_at < script_end ? *script_at++ : 0;
        long low = script_at < script_end ? *script_at++ : 0;
        filler_byte = script_at < script_end ? *script_at++ : 'x';
        piece_left = (static_cast<long>(c & 0x1f) << 16 | mid << 8 | low) + 1;
        piece_is_filler = true;
        return true;
    } else {
        *failed = true;
        return true;
    }
    piece_data = script_at;
    if (piece_left > script_end - script_at) {
        piece_left = script_end - script_at;
    }
    script_at += piece_left;
    return piece_left > 0 || next_piece(failed);
}

void record(const char *data, long n) {
    if (stream_overflow || n > stream_capacity - stream_length) {
        stream_overflow = true;
        return;
    }
    std::memcpy(stream + stream_length, data, static_cast<size_t>(n));
    stream_length += n;
}

} // namespace

void script_reads(const uint8_t *script, size_t size) {
    script_at = script;
    script_end = script + size;
    piece_left = 0;
    reads = 0;
    filled = false;
    stream_length = 0;
    stream_overflow = false;
}

const char *script_stream(long *length) {
    *length = stream_length;
    return stream_overflow ? nullptr : stream;
}

long script_read_count() {
    return reads;
}

bool script_filled_a_read() {
    return filled;
}

long net_recv(net_socket, char *data, long length) {
    ++reads;
    if (piece_left == 0) {
        bool failed = false;
        if (!next_piece(&failed)) {
            return 0;
        }
        if (failed) {
            return -1;
        }
    }
    long n = piece_left < length ? piece_left : length;
    if (piece_is_filler) {
        std::memset(data, filler_byte, static_cast<size_t>(n));
    } else {
        std::memcpy(data, piece_data, static_cast<size_t>(n));
        piece_data += n;
    }
    piece_left -= n;
    filled = filled || n == length;
    record(data, n);
    return n;
}

// Everything else does nothing and succeeds; no target opens a connection.
int net_startup(std::uint16_t version, net_startup_record *record_out) {
    record_out->version = version;
    return 0;
}
void net_cleanup() {}
int net_last_error() {
    return 0;
}
net_socket net_stream_socket() {
    return net_no_socket;
}
int net_bind(net_socket, const net_ipv4_address *) {
    return 0;
}
int net_listen(net_socket, int) {
    return 0;
}
net_socket net_accept(net_socket) {
    return net_no_socket;
}
int net_connect(net_socket, const net_ipv4_address *) {
    return 0;
}
int net_set_timeouts(net_socket, int, int) {
    return 0;
}
long net_send(net_socket, const char *, long length) {
    return length;
}
void net_close(net_socket) {}
int net_host_name(char *field, int size) {
    std::snprintf(field, static_cast<size_t>(size), "%s", "localhost");
    return 0;
}
int net_resolve(const char *, std::uint8_t bytes[4]) {
    const std::uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(bytes, loopback, 4);
    return 0;
}
void net_dotted(const std::uint8_t bytes[4], char field[16]) {
    std::snprintf(field, 16, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}
