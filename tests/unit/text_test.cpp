// Text helpers: the two-way prefix rule, line splitting, bounded appends.
#include "core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(PrefixMatch, TwoWayRule) {
    struct row {
        const char *a, *b;
        int expected;
    } rows[] = {
        {"", "Host: ", 0},        {"Host: x", "", 0},       {"", "", 0},
        {"Host: x", "Host: ", 1}, {"Hos", "Host: ", 1},     {"Host: ", "Hos", 1},
        {"Hostx", "Host: ", 0},   {"host: x", "Host: ", 0}, {"Host: ", "Host: ", 1},
    };
    for (const row &r : rows) {
        EXPECT_EQ(prefix_match(r.a, r.b), r.expected) << r.a << " / " << r.b;
    }
    EXPECT_EQ(prefix_match_nocase("content-LENGTH: 5", "Content-Length: "), 1);
    EXPECT_EQ(prefix_match_nocase("Content-Lengthx", "Content-Length: "), 0);
}

static std::vector<std::string> split(std::string text, int capacity, int *rest = nullptr) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('#'); // the byte split_lines overwrites with the final NUL
    std::vector<char *> table(static_cast<size_t>(capacity));
    int count = -1;
    int returned = split_lines(buffer.data(), static_cast<int>(text.size()), table.data(), capacity,
                               &count, rest);
    EXPECT_EQ(returned, count);
    EXPECT_EQ(buffer.back(), '\0');
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        lines.emplace_back(table[static_cast<size_t>(i)]);
    }
    return lines;
}

TEST(SplitLines, Cases) {
    using lines = std::vector<std::string>;
    EXPECT_EQ(split(std::string("a\r\nb\n\nc"), 8), (lines{"a", "b", "", "c"}));
    EXPECT_EQ(split("a\n", 8), (lines{"a"}));
    EXPECT_EQ(split("", 8), (lines{}));
    EXPECT_EQ(split("GET / HTTP/1.1\r\nHost: x\r\n\r\n", 8),
              (lines{"GET / HTTP/1.1", "Host: x", ""}));
    EXPECT_EQ(split("a\rb\n", 8), (lines{"a"})); // a CR inside a line ends its text
}

TEST(SplitLines, StopsAtCapacityAndReportsTheRest) {
    int rest = -1;
    EXPECT_EQ(split("a\nb\nc\nd", 2, &rest), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(rest, 4);
    EXPECT_EQ(split("a\nb\n", 2, &rest).size(), 2u);
    EXPECT_EQ(rest, 4);
}

TEST(Append, CursorAdvancesWithoutNulAndNeverOverruns) {
    char field[8];
    std::memset(field, 'z', sizeof field);
    write_cursor c = make_cursor(field, 6);
    EXPECT_EQ(append_text(&c, "ab"), 0);
    EXPECT_EQ(append_text(&c, ""), 0);
    EXPECT_EQ(append_text(&c, "cd"), 0);
    EXPECT_EQ(c.position - field, 4);
    EXPECT_EQ(field[4], 'z');
    EXPECT_EQ(append_text(&c, "efg"), 1); // does not fit: nothing written
    EXPECT_TRUE(c.overflow);
    EXPECT_EQ(c.position - field, 4);
    EXPECT_EQ(append_text(&c, "e"), 1); // an overflowed cursor stays put
    EXPECT_EQ(std::string(field, 8), "abcdzzzz");
}

TEST(Append, FormatCutsAtScratchSize) {
    static char big[4096];
    write_cursor c = make_cursor(big, sizeof big);
    std::string long_text(2000, 'x');
    EXPECT_EQ(append_format(&c, "%s%d", long_text.c_str(), 7), 0);
    EXPECT_EQ(c.position - big, 1023);
    write_cursor small = make_cursor(big, 4);
    EXPECT_EQ(append_format(&small, "%d", 12345), 1);
    EXPECT_EQ(small.position, big);
}

TEST(ReadDecimal, Forms) {
    EXPECT_EQ(read_decimal("  42xyz"), 42);
    EXPECT_EQ(read_decimal("-7"), -7);
    EXPECT_EQ(read_decimal("+3"), 3);
    EXPECT_EQ(read_decimal("abc"), 0);
    EXPECT_EQ(read_decimal(""), 0);
    EXPECT_EQ(read_decimal("99999999999999999999999999"), 1000000000000000000LL);
    EXPECT_EQ(read_decimal("-99999999999999999999999999"), -1000000000000000000LL);
}

TEST(Timestamp, Shape) {
    const char *t = timestamp_text();
    ASSERT_EQ(std::strlen(t), 19u);
    EXPECT_EQ(t[4], '-');
    EXPECT_EQ(t[10], ' ');
    EXPECT_EQ(t[13], ':');
}
