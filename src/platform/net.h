// The proxy's view of the operating system's sockets: blocking IPv4 stream sockets and names.
//
// Every call that can fail returns a failure value and records an error code that net_last_error()
// reports until the next failure. On POSIX systems that code is errno of the failed call, or, for
// a failed net_resolve, the resolver's own code (an EAI_* value of getaddrinfo, negative on glibc).
// Calls interrupted by a signal are retried; sends never raise SIGPIPE.
#pragma once

#include <cstdint>

using net_socket = int;
constexpr net_socket net_no_socket = -1;

// The record filled by net_startup; version is non-zero once the layer has been started.
struct net_startup_record {
    std::uint16_t version;
};

// An IPv4 socket address: family 2 (AF_INET), port and address bytes in network byte order.
struct net_ipv4_address {
    std::uint16_t family;
    std::uint16_t port;
    std::uint8_t bytes[4];
};

constexpr std::uint16_t net_family_ipv4 = 2;

// Starts the layer, asking for `version`; 0 on success, 1 on failure.
int net_startup(std::uint16_t version, net_startup_record *record);
void net_cleanup();
int net_last_error();

// A new blocking IPv4 TCP socket, or net_no_socket.
net_socket net_stream_socket();
// Binds with SO_REUSEADDR set, so that a restart binds again while old connections linger.
int net_bind(net_socket s, const net_ipv4_address *address);
// Listens with `backlog` pending connections. The proxy serves one connection at a time and
// passes a backlog large enough for a browser's parallel connections: a full accept queue drops
// new connections silently, and a browser retries a dropped one only after a second or more.
int net_listen(net_socket s, int backlog);
// Accepts one connection; the peer's address is not reported. net_no_socket on failure.
net_socket net_accept(net_socket s);
int net_connect(net_socket s, const net_ipv4_address *address);
// A receive that waits longer than receive_seconds, or a send stalled longer than send_seconds,
// fails (0 for either means no limit). Returns 0 on success, 1 on failure.
int net_set_timeouts(net_socket s, int receive_seconds, int send_seconds);
// Bytes sent (possibly fewer than length) or -1.
long net_send(net_socket s, const char *data, long length);
// Bytes received, 0 when the peer closed, -1 on failure (a timeout included).
long net_recv(net_socket s, char *data, long length);
// Closes a handle; net_no_socket is ignored. Callers forget a handle once it is closed, since
// a POSIX descriptor number is reused at once.
void net_close(net_socket s);

// The machine's host name into a field of `size` bytes, always NUL-terminated; 0 on success.
int net_host_name(char *field, int size);
// The first IPv4 address of `name` into bytes[4]; 0 on success, 1 on failure.
// A name holding a colon is never resolved (it fails as an unknown host).
int net_resolve(const char *name, std::uint8_t bytes[4]);
// Dotted-decimal text of an address into a field of at least 16 bytes.
void net_dotted(const std::uint8_t bytes[4], char field[16]);
