// The kill file: parsing, white-space rules, limits, the echo, appended lines.
#include "filterlist/config.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Parses `file_text` from the defaults and returns the echo.
std::string parse_and_echo(std::string file_text, std::string *warnings = nullptr) {
    set_proxy("myhost", 4004, "reason.com");
    filter_count = 0;
    testing::internal::CaptureStdout();
    parse_config(file_text.data(), static_cast<int>(file_text.size()));
    std::string printed = testing::internal::GetCapturedStdout();
    if (warnings) {
        *warnings = printed;
    }
    testing::internal::CaptureStdout();
    echo_config();
    return testing::internal::GetCapturedStdout();
}

std::string echo_of(const std::string &entries, const char *server = "reason.com",
                    const char *host = "myhost", int port = 4004) {
    std::ostringstream out;
    out << "servername: \"" << server << "\"\n  hostname: \"" << host << "\"\n      port: " << port
        << "\n"
        << entries << "\n";
    return out.str();
}

// Runs a test body in a fresh temporary working directory.
struct temp_workdir {
    char path[64] = "/tmp/mivrel-unit-XXXXXX";
    char previous[4096];
    temp_workdir() {
        EXPECT_NE(getcwd(previous, sizeof previous), nullptr);
        EXPECT_NE(mkdtemp(path), nullptr);
        EXPECT_EQ(chdir(path), 0);
    }
    ~temp_workdir() {
        EXPECT_EQ(chdir(previous), 0);
        std::string cmd = std::string("rm -rf ") + path;
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    static void write(const std::string &text) {
        std::ofstream("mivrel.conf", std::ios::binary) << text;
    }
    static std::string read() {
        std::ifstream in("mivrel.conf", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

} // namespace

TEST(Config, LinesAndTheirEcho) {
    struct row {
        const char *name;
        std::string text, echo;
    } rows[] = {
        {"comment, port, name", "# a comment\nport 8080\nname Some One\n",
         echo_of("      name: \"Some One\"\n", "reason.com", "myhost", 8080)},
        {"every keyword, CR LF ends",
         "server blog.example:8080\r\nhost 127.0.0.1\r\nname A\r\nlink http://a/\r\ncont w\r\nxurl "
         "ads\r\n",
         echo_of("      name: \"A\"\n      link: \"http://a/\"\n   content: \"w\"\n       url: "
                 "\"ads\"\n",
                 "blog.example:8080", "127.0.0.1")},
        {"runs of spaces and tabs", "name  Two   Spaces  \nname\tTab\t\nname \t x\n",
         // a space before a TAB stays: the TAB only turns into a space after that test
         echo_of("      name: \"Two Spaces\"\n      name: \"Tab\"\n      name: \" x\"\n")},
        {"two tabs leave two spaces", "name\t\tx\n", echo_of("      name: \" x\"\n")},
        {"leading space matches nothing", " name x\n\n#name y\n", echo_of("")},
        {"keyword followed by letters: the value starts at the fixed offset",
         "names Bob\nportable 77\n", echo_of("      name: \" Bob\"\n", "reason.com", "myhost", 0)},
        {"later settings override", "port 1\nport 2\nhost a\nhost b\n",
         echo_of("", "reason.com", "b", 2)},
        {"port without digits", "port x\n", echo_of("", "reason.com", "myhost", 0)},
        {"huge port", "port 99999999999999\n", echo_of("", "reason.com", "myhost", 2147483647)},
        {"negative port", "port -5\n", echo_of("", "reason.com", "myhost", -5)},
        {"no final line end", "name last", echo_of("      name: \"last\"\n")},
        {"CR-only line ends", "name a\rname b\rport 9\r",
         echo_of("      name: \"a\"\n      name: \"b\"\n", "reason.com", "myhost", 9)},
        {"NUL byte inside a line", std::string("name a\0b\nname c\n", 16),
         echo_of("      name: \"a\"\n      name: \"c\"\n")},
    };
    for (const row &r : rows) {
        EXPECT_EQ(parse_and_echo(r.text), r.echo) << r.name;
    }
}

TEST(Config, LinesThatCannotBeTakenAreNamedAndSkipped) {
    std::string warnings;
    std::string text = "name\nna\nserver\ncont   \nname " + std::string(65, 'n') + "\nname " +
                       std::string(64, 'k') + "\nhost " + std::string(256, 'h') + "\n";
    EXPECT_EQ(parse_and_echo(text, &warnings),
              echo_of("      name: \"" + std::string(64, 'k') + "\"\n"));
    EXPECT_EQ(warnings, "Line 1 of mivrel.conf ignored: no value.\n"
                        "Line 2 of mivrel.conf ignored: no value.\n"
                        "Line 3 of mivrel.conf ignored: no value.\n"
                        "Line 4 of mivrel.conf ignored: no value.\n"
                        "Line 5 of mivrel.conf ignored: value longer than 64 bytes.\n"
                        "Line 7 of mivrel.conf ignored: value longer than 255 bytes.\n");
}

TEST(Config, TableHoldsAtMost128RowsAndLongFilesAreParsedWhole) {
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += i % 2 ? "# comment\n" : "\n";
    }
    for (int i = 0; i < 129; ++i) {
        text += "name n" + std::to_string(i) + "\n";
    }
    text += "port 1234\n"; // after more than 1,024 lines
    std::string warnings;
    std::string echo = parse_and_echo(text, &warnings);
    EXPECT_EQ(filter_count, 128);
    EXPECT_STREQ(filter_table[127].text, "n127");
    EXPECT_EQ(proxy_settings.listen_port, 1234);
    EXPECT_EQ(warnings, "Filter table full: 1 entry lines of mivrel.conf ignored.\n");
    for (int i = 0; i < filter_count; ++i) {
        EXPECT_EQ(filter_table[i].length, static_cast<int>(std::strlen(filter_table[i].text)));
    }
}

TEST(Config, LoadConfigIgnoresMissingEmptyAndTooLargeFiles) {
    temp_workdir dir;
    set_proxy("myhost", 4004);
    filter_count = 0;
    load_config(); // no file
    EXPECT_EQ(proxy_settings.listen_port, 4004);
    temp_workdir::write("");
    load_config();
    EXPECT_EQ(proxy_settings.listen_port, 4004);
    std::string big = "port 77\n" + std::string(limits::message_buffer_size, '#');
    temp_workdir::write(big.substr(0, limits::message_buffer_size));
    load_config();
    EXPECT_EQ(proxy_settings.listen_port, 4004);
    temp_workdir::write(big.substr(0, limits::message_buffer_size - 1));
    load_config();
    EXPECT_EQ(proxy_settings.listen_port, 77);
}

TEST(Config, AppendedLinesReadBackAsTheSameEntries) {
    temp_workdir dir;
    temp_workdir::write("port 5000\nname First"); // the last line has no LF
    EXPECT_EQ(append_filter_line("name %s\n", "Second Author"), 0);
    EXPECT_EQ(append_filter_line("link %s\n", "http://x.example/"), 0);
    EXPECT_EQ(temp_workdir::read(),
              "port 5000\nname First\nname Second Author\nlink http://x.example/\n");
    filter_count = 0;
    load_config();
    ASSERT_EQ(filter_count, 3);
    EXPECT_EQ(find_filter_entry(name_entry, "Second Author", 13), 1);
    EXPECT_EQ(find_filter_entry(link_entry, "http://x.example/", 17), 2);
    EXPECT_EQ(find_filter_entry(name_entry, "Second", 6), -1);
    // a file that cannot be opened for appending is reported
    ASSERT_EQ(chmod("mivrel.conf", 0), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(append_filter_line("name %s\n", "x"), 1);
    }
    ASSERT_EQ(unlink("mivrel.conf"), 0);
    ASSERT_EQ(mkdir("mivrel.conf", 0700), 0); // a directory cannot be appended to, even by root
    EXPECT_EQ(append_filter_line("name %s\n", "x"), 1);
    ASSERT_EQ(rmdir("mivrel.conf"), 0);
}
