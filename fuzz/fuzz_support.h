// Shared pieces of the fuzz targets: the check macro, quiet console, kill-file set-up.
#pragma once

#include "core/proxy.h"
#include "core/text.h"
#include "filterlist/config.h"
#include "http/message.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// A broken invariant is a crash for the fuzzer: it keeps the input and reports it.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// The proxy logs to standard output; the fuzzer reports on standard error.
inline void quiet_console() {
    if (std::getenv("MIVREL_FUZZ_VERBOSE") == nullptr) {
        std::freopen("/dev/null", "w", stdout);
    }
}

// The settings a freshly started proxy would have with an empty kill file.
inline void reset_settings() {
    std::snprintf(proxy_settings.server_name, sizeof proxy_settings.server_name, "%s", blog_host);
    std::snprintf(proxy_settings.listen_host, sizeof proxy_settings.listen_host, "%s", "127.0.0.1");
    proxy_settings.listen_port = 4004;
    filter_count = 0;
}

// Parses a kill-file text the way start-up does: copied into message_buffer, parsed in place.
inline void parse_kill_file(const uint8_t *text, size_t size) {
    if (size >= static_cast<size_t>(limits::message_buffer_size)) {
        size = limits::message_buffer_size - 1;
    }
    std::memcpy(message_buffer, text, size);
    if (size != 0) {
        parse_config(message_buffer, static_cast<int>(size));
    }
}

// Splits the input at its first NUL: the kill file before it, the rest after it. Without a NUL
// the whole input is the rest and the kill file is empty.
inline void split_at_nul(const uint8_t *data, size_t size, const uint8_t **rest, size_t *rest_size,
                         size_t *kill_size) {
    const void *nul = std::memchr(data, 0, size);
    if (nul == nullptr) {
        *kill_size = 0;
        *rest = data;
        *rest_size = size;
        return;
    }
    *kill_size = static_cast<size_t>(static_cast<const uint8_t *>(nul) - data);
    *rest = data + *kill_size + 1;
    *rest_size = size - *kill_size - 1;
}

// A header held the way receive_message leaves it: copied into header_copy and cut into lines.
inline void install_header(const char *header, int length) {
    std::memcpy(header_copy, header, static_cast<size_t>(length));
    int rest = 0;
    split_lines(header_copy, length, header_lines, limits::header_line_capacity,
                &message_info.line_count, &rest);
    message_info.header_length = length;
}

// A check that `row` is well formed: a known kind, a length that matches its text and fits.
inline void check_row(const filter_entry &row) {
    FUZZ_CHECK(row.kind == name_entry || row.kind == link_entry || row.kind == content_entry ||
               row.kind == url_entry);
    FUZZ_CHECK(row.length > 0 && row.length <= limits::filter_text_max);
    FUZZ_CHECK(std::memchr(row.text, 0, sizeof row.text) != nullptr);
    FUZZ_CHECK(std::strlen(row.text) == static_cast<size_t>(row.length));
    FUZZ_CHECK(std::memchr(row.text, '\n', static_cast<size_t>(row.length)) == nullptr);
}

// A scratch working directory for the targets that touch mivrel.conf. The target enters it for
// each input and goes back afterwards, so that the fuzzer's own files (corpus, crash inputs) land
// where it was started.
struct scratch_directory {
    int home = -1;
    char path[64] = {};
};

// Memory-backed when the machine has /dev/shm: the targets rewrite mivrel.conf for every input,
// and a disk file system may flush a truncated file on each close.
inline void make_scratch(scratch_directory *d, const char *name) {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(d->path, sizeof d->path, "%s/mivrel-fuzz-%s-XXXXXX", base, name);
    d->home = open(".", O_RDONLY | O_DIRECTORY);
    if (d->home < 0 || mkdtemp(d->path) == nullptr) {
        std::abort();
    }
    static scratch_directory *made = d;
    std::atexit([] {
        char file[96];
        std::snprintf(file, sizeof file, "%s/mivrel.conf", made->path);
        unlink(file);
        rmdir(made->path);
    });
}

inline void enter_scratch(const scratch_directory &d) {
    FUZZ_CHECK(chdir(d.path) == 0);
}

inline void leave_scratch(const scratch_directory &d) {
    FUZZ_CHECK(fchdir(d.home) == 0);
}
