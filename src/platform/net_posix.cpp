// The socket layer on POSIX systems.
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static int last_error;

static int fail_with(int code) {
    last_error = code;
    return 1;
}

static sockaddr_in to_sockaddr(const net_ipv4_address *address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = address->port;
    std::memcpy(&result.sin_addr, address->bytes, sizeof address->bytes);
    return result;
}

int net_startup(std::uint16_t version, net_startup_record *record) {
    record->version = version;
    return 0;
}

void net_cleanup() {}

int net_last_error() {
    return last_error;
}

net_socket net_stream_socket() {
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s < 0) {
        last_error = errno;
        return net_no_socket;
    }
    return s;
}

int net_bind(net_socket s, const net_ipv4_address *address) {
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return fail_with(errno);
    }
    sockaddr_in target = to_sockaddr(address);
    if (bind(s, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0) {
        return fail_with(errno);
    }
    return 0;
}

int net_listen(net_socket s, int backlog) {
    return listen(s, backlog) == 0 ? 0 : fail_with(errno);
}

net_socket net_accept(net_socket s) {
    for (;;) {
        int c = accept(s, nullptr, nullptr);
        if (c >= 0) {
            return c;
        }
        if (errno != EINTR) {
            last_error = errno;
            return net_no_socket;
        }
    }
}

int net_connect(net_socket s, const net_ipv4_address *address) {
    sockaddr_in target = to_sockaddr(address);
    if (connect(s, reinterpret_cast<sockaddr *>(&target), sizeof target) == 0) {
        return 0;
    }
    if (errno != EINTR) {
        return fail_with(errno);
    }
    // An interrupted connect goes on in the background: wait for its outcome.
    for (;;) {
        int r = connect(s, reinterpret_cast<sockaddr *>(&target), sizeof target);
        if (r == 0 || errno == EISCONN) {
            return 0;
        }
        if (errno != EINTR && errno != EALREADY && errno != EINPROGRESS) {
            return fail_with(errno);
        }
    }
}

static int set_timeout(net_socket s, int option, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    return setsockopt(s, SOL_SOCKET, option, &limit, sizeof limit) == 0 ? 0 : fail_with(errno);
}

int net_set_timeouts(net_socket s, int receive_seconds, int send_seconds) {
    if (set_timeout(s, SO_RCVTIMEO, receive_seconds) != 0) {
        return 1;
    }
    return set_timeout(s, SO_SNDTIMEO, send_seconds);
}

long net_send(net_socket s, const char *data, long length) {
    for (;;) {
        ssize_t n = send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno != EINTR) {
            last_error = errno;
            return -1;
        }
    }
}

long net_recv(net_socket s, char *data, long length) {
    for (;;) {
        ssize_t n = recv(s, data, static_cast<size_t>(length), 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno != EINTR) {
            last_error = errno;
            return -1;
        }
    }
}

void net_close(net_socket s) {
    if (s >= 0) {
        close(s);
    }
}

int net_host_name(char *field, int size) {
    if (size <= 0) {
        return 1;
    }
    int r = gethostname(field, static_cast<size_t>(size));
    field[size - 1] = '\0';
    return r == 0 ? 0 : fail_with(errno);
}

int net_resolve(const char *name, std::uint8_t bytes[4]) {
    if (std::strchr(name, ':') != nullptr) {
        return fail_with(EAI_NONAME);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int r = getaddrinfo(name, nullptr, &hints, &found);
    if (r != 0) {
        return fail_with(r == EAI_SYSTEM ? errno : r);
    }
    const auto *first = reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    std::memcpy(bytes, &first->sin_addr, 4);
    freeaddrinfo(found);
    return 0;
}

void net_dotted(const std::uint8_t bytes[4], char field[16]) {
    std::snprintf(field, 16, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}
