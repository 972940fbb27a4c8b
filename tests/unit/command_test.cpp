// The filter command page: decoding, listing, refusals, the page and its header.
#include "filterlist/command.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string page_start = "<html>\r\n<head>\r\n<title>\r\n"
                               "Mivrel: A proxy filter for the Reason Hit &amp; Run blog\r\n"
                               "</title>\r\n</head>\r\n<body>\r\n<h1>\r\n"
                               "Mivrel: A proxy filter for the Reason Hit &amp; Run blog\r\n"
                               "</h1>\r\n";
const std::string page_end = "<p>\r\nPress the [Back] button to return to Hit &amp; Run.\r\n"
                             "<p>\r\nThen press the [Refresh] button to reload the discussion.\r\n"
                             "</body>\r\n</html>\r\n";

struct served {
    std::string header, page;
};

served serve(const std::string &request_line) {
    load_header_lines(request_line + "\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(is_filter_command(header_lines[0])) << request_line;
    int header_length = serve_filter_command();
    served s;
    if (header_length >= 0) {
        s.header = std::string(output_buffer, static_cast<size_t>(header_length));
    }
    s.page = body();
    EXPECT_EQ(message_info.body_start, message_buffer);
    return s;
}

served serve_segment(const std::string &segment, const std::string &version = "HTTP/1.1") {
    return serve("GET /mivrel/filter/" + segment + "/ " + version);
}

std::string conf_text() {
    std::ifstream in("mivrel.conf", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CommandPage : public testing::Test {
  protected:
    char dir[64] = "/tmp/mivrel-command-XXXXXX";
    char previous[4096] = "";
    void SetUp() override {
        ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
        ASSERT_NE(mkdtemp(dir), nullptr);
        ASSERT_EQ(chdir(dir), 0);
        std::ofstream("mivrel.conf") << "port 4004\n";
        set_table({});
    }
    void TearDown() override {
        ASSERT_EQ(chdir(previous), 0);
        ASSERT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
    }
};

} // namespace

TEST_F(CommandPage, ListsNameAndLinkOnceAndSaysSoAfterwards) {
    std::string segment = hex("Some One") + "00" + hex("http://one.example/") + "00";
    served first = serve_segment(segment);
    std::string added = page_start +
                        "<p>\r\nName \"Some One\" has been added to <code>mivrel.conf</code>.\r\n" +
                        "<p>\r\nLink \"http://one.example/\" has been added to "
                        "<code>mivrel.conf</code>.\r\n" +
                        page_end;
    EXPECT_EQ(first.page, added);
    EXPECT_EQ(first.header, "HTTP/1.1 200 OK\r\nContent-type: text/html\r\nContent-length: " +
                                std::to_string(added.size()) + "\r\n\r\n");
    EXPECT_EQ(conf_text(), "port 4004\nname Some One\nlink http://one.example/\n");
    ASSERT_EQ(filter_count, 2);
    EXPECT_EQ(filter_table[0].kind, name_entry);
    EXPECT_EQ(filter_table[1].kind, link_entry);

    served again = serve_segment(segment, "HTTP/1.0");
    EXPECT_EQ(again.page,
              page_start +
                  "<p>\r\nName \"Some One\" is already listed in <code>mivrel.conf</code>.\r\n" +
                  "<p>\r\nLink \"http://one.example/\" is already listed in "
                  "<code>mivrel.conf</code>.\r\n" +
                  page_end);
    EXPECT_EQ(again.header.substr(0, 17), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(conf_text(), "port 4004\nname Some One\nlink http://one.example/\n");
    EXPECT_EQ(filter_count, 2);
}

TEST_F(CommandPage, SegmentsAndTheirDecoding) {
    struct row {
        const char *name;
        std::string segment, paragraphs;
    } rows[] = {
        {"plain author: name only", hex("Ann") + "0000",
         "<p>\r\nName \"Ann\" has been added to <code>mivrel.conf</code>.\r\n"},
        {"nothing at all", "00", ""},
        {"empty segment", "", ""},
        {"upper-case digits", "414E4E0000",
         "<p>\r\nName \"ANN\" has been added to <code>mivrel.conf</code>.\r\n"},
        {"a bad pair ends the name; the link starts two bytes on", "4142zz" + hex("L") + "00",
         "<p>\r\nName \"AB\" has been added to <code>mivrel.conf</code>.\r\n"
         "<p>\r\nLink \"L\" has been added to <code>mivrel.conf</code>.\r\n"},
        {"a pair with a space is no pair", "41 x",
         "<p>\r\nName \"A\" has been added to <code>mivrel.conf</code>.\r\n"},
        {"odd length", "4142434",
         "<p>\r\nName \"ABC\" has been added to <code>mivrel.conf</code>.\r\n"},
        {"& stays, <, > and quotes become entities", hex("T &amp; Q") + "00" + hex("\"><b>") + "00",
         "<p>\r\nName \"T &amp; Q\" has been added to <code>mivrel.conf</code>.\r\n"
         "<p>\r\nLink \"&quot;&gt;&lt;b&gt;\" has been added to <code>mivrel.conf</code>.\r\n"},
    };
    for (const row &r : rows) {
        set_table({});
        EXPECT_EQ(serve_segment(r.segment).page, page_start + r.paragraphs + page_end) << r.name;
    }
    EXPECT_EQ(conf_text(), "port 4004\nname Ann\nname ANN\nname AB\nlink L\nname A\nname ABC\n"
                           "name T &amp; Q\nlink \"><b>\n");
}

TEST_F(CommandPage, TextsThatWouldNotReadBackTheSameAreRefused) {
    const std::string spaces = "begins or ends with a space or holds two in a row, which "
                               "<code>mivrel.conf</code> would not keep, and cannot be listed";
    struct row {
        std::string name, sentence;
    } rows[] = {
        {" lead", spaces},
        {"trail ", spaces},
        {"two  spaces", spaces},
        {"tab\there", "holds a control character and cannot be listed"},
        {"line\nserver evil.example", "holds a control character and cannot be listed"},
        {std::string(65, 'n'), "is longer than 64 bytes and cannot be listed"},
    };
    for (const row &r : rows) {
        std::string shown = r.name;
        EXPECT_EQ(serve_segment(hex(r.name) + "0000").page,
                  page_start + "<p>\r\nName \"" + shown + "\" " + r.sentence + ".\r\n" + page_end)
            << r.name;
    }
    // a 300-byte name is shown cut at 255 bytes, and the link after it is still found
    std::string segment = hex(std::string(300, 'x')) + "00" + hex("http://l/") + "00";
    EXPECT_EQ(serve_segment(segment).page,
              page_start + "<p>\r\nName \"" + std::string(255, 'x') +
                  "\" is longer than 64 bytes and cannot be listed.\r\n" +
                  "<p>\r\nLink \"http://l/\" has been added to <code>mivrel.conf</code>.\r\n" +
                  page_end);
    EXPECT_EQ(conf_text(), "port 4004\nlink http://l/\n"); // nothing else was appended
    EXPECT_EQ(filter_count, 1);
    // the longest text a row holds is accepted
    EXPECT_NE(serve_segment(hex(std::string(64, 'm')) + "0000").page.find("has been added"),
              std::string::npos);
}

TEST_F(CommandPage, FullTableAndUnwritableFileAreSaidSo) {
    for (int i = 0; i < limits::filter_table_size; ++i) {
        add_filter_entry(content_entry, "w", 1);
    }
    EXPECT_NE(
        serve_segment(hex("Full") + "0000")
            .page.find("Name \"Full\" has been added to <code>mivrel.conf</code>, but the filter "
                       "table is full, so it is not in effect.\r\n"),
        std::string::npos);
    ASSERT_EQ(unlink("mivrel.conf"), 0);
    ASSERT_EQ(mkdir("mivrel.conf", 0700), 0); // cannot be opened for appending
    EXPECT_NE(serve_segment(hex("Gone") + "0000")
                  .page.find("Name \"Gone\" could not be written to <code>mivrel.conf</code>, and "
                             "the filter table is full.\r\n"),
              std::string::npos);
    set_table({});
    EXPECT_NE(serve_segment(hex("Kept") + "0000")
                  .page.find("Name \"Kept\" is filtered until the proxy stops, but could not be "
                             "written to <code>mivrel.conf</code>.\r\n"),
              std::string::npos);
    EXPECT_EQ(filter_count, 1);
    ASSERT_EQ(rmdir("mivrel.conf"), 0);
}

TEST_F(CommandPage, StatusLineStaysInsideTheRequestLine) {
    struct row {
        std::string line, status;
    } rows[] = {
        {"GET /mivrel/filter/0000/ HTTP/1.1", "HTTP/1.1 200 OK\r\n"},
        {"GET /mivrel/filter/0000/", "HTTP/1.0 200 OK\r\n"},  // nothing after the "/"
        {"GET /mivrel/filter/0000/ ", "HTTP/1.0 200 OK\r\n"}, // nothing two bytes on
        {"GET /mivrel/filter/0000/xy HTTP/1.1", "y HTTP/1.1 200 OK\r\n"},
    };
    for (const row &r : rows) {
        std::string header = serve(r.line).header;
        EXPECT_EQ(header.substr(0, r.status.size()), r.status) << r.line;
    }
    EXPECT_FALSE(is_filter_command("GET /mivrel/filter/0000"));
    EXPECT_TRUE(is_filter_command("GET /mivrel/filter/0000 HTTP/1.1"));
}
