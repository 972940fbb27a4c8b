// Fuzz target: the kill-file parser, parse_config and load_config, and the start-up echo.
//
// Input: the text of mivrel.conf. It is parsed once in place, then once more from the file in a
// scratch working directory, over the table the first pass left. Both passes must give the same
// settings and the same rows; every row's length matches its text and fits its field, and the
// host settings stay NUL-terminated inside their fields.
#include "fuzz_support.h"

namespace {

scratch_directory scratch;

filter_entry first_rows[limits::filter_table_size];
proxy_settings_record first_settings;

void check_settings() {
    FUZZ_CHECK(std::memchr(proxy_settings.server_name, 0, sizeof proxy_settings.server_name));
    FUZZ_CHECK(std::memchr(proxy_settings.listen_host, 0, sizeof proxy_settings.listen_host));
    FUZZ_CHECK(filter_count >= 0 && filter_count <= limits::filter_table_size);
    for (int i = 0; i < filter_count; ++i) {
        check_row(filter_table[i]);
    }
}

bool same_row(const filter_entry &a, const filter_entry &b) {
    return a.kind == b.kind && a.length == b.length &&
           std::memcmp(a.text, b.text, static_cast<size_t>(a.length)) == 0;
}

bool write_file(const char *name, const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen(name, "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    quiet_console();
    make_scratch(&scratch, "config");
    return 0;
}

static int run_input(const uint8_t *data, size_t size) {
    if (size >= static_cast<size_t>(limits::message_buffer_size)) {
        return 0;
    }
    reset_settings();
    parse_kill_file(data, size);
    check_settings();
    echo_config();
    const int first_count = filter_count;
    std::memcpy(first_rows, filter_table, sizeof first_rows);
    first_settings = proxy_settings;

    FUZZ_CHECK(write_file("mivrel.conf", data, size));
    load_config();
    check_settings();
    echo_config();
    // the same text gives the same settings and appends the same rows, as far as there is room
    FUZZ_CHECK(std::strcmp(proxy_settings.server_name, first_settings.server_name) == 0);
    FUZZ_CHECK(std::strcmp(proxy_settings.listen_host, first_settings.listen_host) == 0);
    FUZZ_CHECK(proxy_settings.listen_port == first_settings.listen_port);
    int expected = 2 * first_count;
    if (expected > limits::filter_table_size) {
        expected = limits::filter_table_size;
    }
    FUZZ_CHECK(filter_count == expected);
    for (int i = 0; i < first_count; ++i) {
        FUZZ_CHECK(same_row(filter_table[i], first_rows[i]));
    }
    for (int i = first_count; i < filter_count; ++i) {
        FUZZ_CHECK(same_row(filter_table[i], first_rows[i - first_count]));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    enter_scratch(scratch);
    const int result = run_input(data, size);
    leave_scratch(scratch);
    return result;
}
