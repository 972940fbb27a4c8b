// Idle peers: a receive timeout set by net_set_timeouts ends a message like a peer that broke off,
// and it limits the silence between reads, not the time a whole message takes.
#include "http/message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct socket_pair {
    int reader = -1;
    int writer = -1;
    socket_pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader = fds[0];
        writer = fds[1];
    }
    ~socket_pair() {
        close(reader);
        close(writer);
    }
};

void write_text(int fd, const char *text) {
    ASSERT_EQ(write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(IdleTimeout, SilentPeerEndsTheMessageCutShortAfterTheTimeout) {
    struct row {
        const char *sent; // what the peer sends before it falls silent
        message_kind kind;
    } rows[] = {
        {"", request_message},
        {"GET / HTTP/1.1\r\nHo", request_message},
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part", reply_message},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc", reply_message},
        // a reply without a length ends only when the server closes; silence cuts it short
        {"HTTP/1.0 200 OK\r\n\r\nuntil close", reply_message},
    };
    for (const row &r : rows) {
        socket_pair pair;
        ASSERT_EQ(net_set_timeouts(pair.reader, 1, 1), 0);
        write_text(pair.writer, r.sent);
        const auto start = std::chrono::steady_clock::now();
        long received = receive_message(pair.reader, r.kind);
        const double waited = seconds_since(start);
        EXPECT_EQ(received, static_cast<long>(std::strlen(r.sent))) << r.sent;
        EXPECT_EQ(message_info.total_length, 0) << r.sent;
        EXPECT_GE(waited, 0.9) << r.sent;
        EXPECT_LT(waited, 3.0) << r.sent;
    }
}

TEST(IdleTimeout, SteadyPeerIsNotCutByTheTimeout) {
    socket_pair pair;
    ASSERT_EQ(net_set_timeouts(pair.reader, 1, 1), 0);
    // six pieces 0.4 s apart: 2 s in all, twice the timeout, but never 1 s of silence
    const char *pieces[] = {
        "HTTP/1.1 200 OK\r\n", "Content-Length: 10\r\n", "\r\n", "01234", "567", "89"};
    std::thread peer([&] {
        for (const char *piece : pieces) {
            write_text(pair.writer, piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    receive_message(pair.reader, reply_message);
    peer.join();
    ASSERT_GT(message_info.total_length, 0);
    EXPECT_EQ(std::string(message_info.body_start, static_cast<size_t>(message_info.body_length)),
              "0123456789");
}
