// The proxy's settings and its main operation: start-up, the serving loop and shutdown.
#pragma once

#include "core/limits.h"
#include "platform/net.h"

struct proxy_settings_record {
    char server_name[limits::host_name_size]; // blog server to connect to, may end in ":PORT"
    char listen_host[limits::host_name_size]; // name the proxy listens on and writes into links
    int listen_port;
};

extern proxy_settings_record proxy_settings;
// The blog's public host name, fixed when the proxy is built: the text looked for in replies.
extern const char blog_host[];
extern net_ipv4_address blog_address;
extern net_ipv4_address listen_address;

// "listen_host:listen_port", the proxy's own address as written into pages and headers.
void format_proxy_address(char field[limits::proxy_address_size]);

// The body edits made to every reply, in order, keeping message_info.body_length up to date.
void run_reply_pipeline();

// Runs the proxy until the first failure; returns the exit status (always 1).
int run_proxy();
