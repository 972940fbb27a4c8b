// Start-up, the serving loop (one exchange per browser connection) and shutdown.
#include "core/proxy.h"

#include "core/text.h"
#include "filterlist/command.h"
#include "filterlist/config.h"
#include "http/headers.h"
#include "http/message.h"
#include "pagefilter/comments.h"
#include "pagefilter/embedded.h"
#include "pagefilter/links.h"

#include <cstdio>
#include <cstring>
#include <time.h>

#ifndef MIVREL_BLOG_HOST
#define MIVREL_BLOG_HOST "reason.com"
#endif

proxy_settings_record proxy_settings;
const char blog_host[] = MIVREL_BLOG_HOST;
net_ipv4_address blog_address;
net_ipv4_address listen_address;

namespace {

constexpr int blog_port = 80;

net_startup_record startup_record;
// Handles are forgotten (set to net_no_socket) once closed: a POSIX descriptor number is reused
// at once, so closing it twice could close another connection.
net_socket listener = net_no_socket;
net_socket browser = net_no_socket;
net_socket server = net_no_socket;

void close_socket(net_socket *s) {
    net_close(*s);
    *s = net_no_socket;
}

int fail_rc(const char *message) {
    std::printf("%s: rc = %d.\n", message, net_last_error());
    return 1;
}

// Splits "name[:port]" into the host to resolve and the port. A malformed port leaves the whole
// text as the host, which then fails to resolve like an unknown name.
void split_server_name(const char *value, char host[limits::host_name_size], int *port) {
    std::snprintf(host, limits::host_name_size, "%s", value);
    *port = blog_port;
    char *colon = std::strrchr(host, ':');
    if (colon == nullptr) {
        return;
    }
    const char *digits = colon + 1;
    size_t count = std::strspn(digits, "0123456789");
    if (count == 0 || count > 5 || digits[count] != '\0') {
        return;
    }
    long long number = read_decimal(digits);
    if (number < 1 || number > 65535) {
        return;
    }
    *colon = '\0';
    *port = static_cast<int>(number);
}

void fill_address(net_ipv4_address *address, int port) {
    address->family = net_family_ipv4;
    const auto p = static_cast<std::uint16_t>(port & 0xffff);
    const std::uint8_t order[2] = {static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p)};
    std::memcpy(&address->port, order, 2);
}

int resolve_blog_server() {
    char host[limits::host_name_size];
    int port = blog_port;
    split_server_name(proxy_settings.server_name, host, &port);
    if (net_resolve(host, blog_address.bytes) != 0) {
        std::printf("Unable to resolve server \"%s\": rc = %d.\n", proxy_settings.server_name,
                    net_last_error());
        return 1;
    }
    fill_address(&blog_address, port);
    char dotted[16];
    net_dotted(blog_address.bytes, dotted);
    std::printf("Server \"%s\" resolves to \"%s\"\n\n", proxy_settings.server_name, dotted);
    return 0;
}

int open_listener() {
    listener = net_stream_socket();
    if (listener == net_no_socket) {
        return fail_rc("Unable to create socket");
    }
    if (net_resolve(proxy_settings.listen_host, listen_address.bytes) != 0) {
        std::printf("Unable to resolve hostname \"%s\": rc = %d.\n", proxy_settings.listen_host,
                    net_last_error());
        return 1;
    }
    fill_address(&listen_address, proxy_settings.listen_port);
    char dotted[16];
    net_dotted(listen_address.bytes, dotted);
    std::printf("Hostname \"%s\" resolves to \"%s\"\n\n", proxy_settings.listen_host, dotted);
    if (net_bind(listener, &listen_address) != 0) {
        return fail_rc("Unable to bind address to socket");
    }
    if (net_listen(listener, limits::listen_backlog) != 0) {
        return fail_rc("Unable to listen to socket");
    }
    return 0;
}

int start_up() {
    std::printf("Mivrel v1.4 2008-10-28\n\n");
    if (net_startup(0x0101, &startup_record) != 0) {
        return fail_rc("Unable to start socket service");
    }
    std::snprintf(proxy_settings.server_name, sizeof proxy_settings.server_name, "%s", blog_host);
    net_host_name(proxy_settings.listen_host, sizeof proxy_settings.listen_host);
    proxy_settings.listen_port = 4004;
    filter_count = 0;
    load_config();
    echo_config();
    if (resolve_blog_server() != 0) {
        return 1;
    }
    return open_listener();
}

// An exchange that cannot go on ends quietly for the proxy: nothing stale is forwarded or
// edited, the browser connection is closed and the next one is accepted.
void note_exchange_end(const char *reason) {
    std::printf("%s %s; connection closed.\n", timestamp_text(), reason);
}

int send_piece(net_socket s, const char *data, int length, const char *failure) {
    if (length != 0 && send_all(s, data, length, nullptr) != 0) {
        std::printf("%s", failure);
        return 1;
    }
    return 0;
}

// Forwards the request in message_buffer and receives the reply over it. 0 with the reply in
// place, 1 on a failure that ends the proxy, -1 when the exchange ends without a reply.
int fetch_from_blog() {
    const bool head = std::strncmp(header_lines[0], "HEAD ", 5) == 0;
    int header_length = rewrite_request_header();
    if (header_length < 0) {
        note_exchange_end("Rebuilt request header too long");
        return -1;
    }
    server = net_stream_socket();
    if (server == net_no_socket) {
        return fail_rc("Unable to create socket");
    }
    if (net_connect(server, &blog_address) != 0) {
        return fail_rc("Unable to connect to web server");
    }
    net_set_timeouts(server, limits::server_idle_seconds, limits::send_stall_seconds);
    if (send_piece(server, output_buffer, header_length,
                   "Error while sending header to server.\n") != 0 ||
        send_piece(server, message_info.body_start, message_info.body_length,
                   "Error while sending body to server.\n") != 0) {
        return 1;
    }
    receive_message(server, head ? reply_to_head : reply_message);
    close_socket(&server);
    if (message_info.total_length == 0) {
        note_exchange_end("Reply from server cut short");
        return -1;
    }
    return 0;
}

// One browser connection: 0 when the loop goes on, 1 on a failure that ends the proxy.
int exchange() {
    browser = net_accept(listener);
    if (browser == net_no_socket) {
        return fail_rc("Unable to accept connection");
    }
    net_set_timeouts(browser, limits::browser_idle_seconds, limits::send_stall_seconds);
    long received = receive_message(browser, request_message);
    int header_length = 0;
    if (message_info.total_length == 0 || message_info.line_count == 0) {
        if (received != 0) {
            note_exchange_end("Request from browser cut short");
        }
        header_length = -1;
    } else if (is_filter_command(header_lines[0])) {
        header_length = serve_filter_command();
    } else {
        int r = fetch_from_blog();
        if (r > 0) {
            return 1;
        }
        if (r == 0) {
            run_reply_pipeline();
            header_length = rewrite_reply_header();
            if (header_length < 0) {
                note_exchange_end("Rebuilt reply header too long");
            }
        } else {
            header_length = -1;
        }
    }
    if (header_length >= 0 &&
        (send_piece(browser, output_buffer, header_length,
                    "Error while sending header to browser.\n") != 0 ||
         send_piece(browser, message_info.body_start, message_info.body_length,
                    "Error while sending body to browser.\n") != 0)) {
        return 1;
    }
    close_socket(&browser);
    return 0;
}

void shut_down() {
    close_socket(&browser);
    close_socket(&listener);
    close_socket(&server);
    if (startup_record.version != 0) {
        net_cleanup();
    }
}

} // namespace

void format_proxy_address(char field[limits::proxy_address_size]) {
    std::snprintf(field, limits::proxy_address_size, "%s:%d", proxy_settings.listen_host,
                  proxy_settings.listen_port);
}

void run_reply_pipeline() {
    message_info.body_start[message_info.body_length] = '\0';
    rewrite_links();
    remove_embedded_objects();
    filter_comments();
}

int run_proxy() {
    // the console log is read line by line, also through a pipe or a file
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // the C library reads the time zone at its first use: do it now, not in the first exchange
    tzset();
    int status = 0;
    if (start_up() != 0) {
        status = 1;
    }
    while (status == 0) {
        if (exchange() != 0) {
            status = 1;
        }
    }
    shut_down();
    return status;
}
