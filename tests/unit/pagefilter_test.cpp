// The body edits: link rewriting, embedded-object removal and the comment filter.
#include "pagefilter/comments.h"
#include "pagefilter/embedded.h"
#include "pagefilter/links.h"

#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string host = blog_host;

std::string rewritten(const std::string &page) {
    load_body(page);
    rewrite_links();
    return body();
}

// Runs an edit that prints, returning the page and setting *console.
template <typename edit>
std::string edited(const std::string &page, edit run, std::string *console) {
    load_body(page);
    testing::internal::CaptureStdout();
    run();
    std::string printed = testing::internal::GetCapturedStdout();
    // strip the time stamp that starts statistics lines
    *console = printed.size() > 20 ? printed.substr(20) : printed;
    EXPECT_EQ(static_cast<size_t>(message_info.body_length), std::strlen(message_info.body_start));
    return body();
}

std::string x_link(const std::string &name, const std::string &link = "") {
    return " (<a href=\"http://127.0.0.1:4004/mivrel/filter/" + hex(name) + "00" + hex(link) +
           "00/\">X</a>)";
}

std::string plain_block(const std::string &cls, const std::string &name, const std::string &text) {
    return "<div class=\"" + cls + "com-blck\"><p>" + name + " | " + text + "</p></div>";
}

std::string linked_block(const std::string &cls, const std::string &link, const std::string &name,
                         const std::string &text) {
    return "<div class=\"" + cls + "com-blck\"><p><a href=\"" + link + "\">" + name + "</a> | " +
           text + "</p></div>";
}

} // namespace

TEST(RewriteLinks, ReplacementShorterLongerOrSameLength) {
    const std::string page = "<a href=\"http://" + host + "/a\">a</a> <img src=\"http://" + host +
                             "/b.png\"> <a href='http://" + host + "/c'> <a href = \"http://" +
                             host + "/d\"> <a href=\"https://" + host + "/e\"> <a href=\"/f\">";
    struct row {
        const char *listen_host;
        int port;
    } rows[] = {{"p", 1}, {"a-much-longer-proxy-host-name.example", 65535}};
    for (const row &r : rows) {
        set_proxy(r.listen_host, r.port);
        std::string proxy =
            std::string("=\"http://") + r.listen_host + ":" + std::to_string(r.port);
        std::string expected = page;
        for (size_t at = 0; (at = expected.find("=\"http://" + host, at)) != std::string::npos;) {
            expected.replace(at, 9 + host.size(), proxy);
            at += proxy.size();
        }
        EXPECT_EQ(rewritten(page), expected) << r.listen_host;
        EXPECT_EQ(expected.find("=\"http://" + host), std::string::npos);
    }
    // a replacement of exactly the searched length is copied in place
    std::string same(host.size() > 2 ? host.size() - 2 : 1, 'h');
    set_proxy(same.c_str(), 10);
    EXPECT_EQ(rewritten("x=\"http://" + host + "/p x=\"http://" + host + "\""),
              "x=\"http://" + same + ":10/p x=\"http://" + same + ":10\"");
    // an other server name is not rewritten; text after a NUL is never examined
    set_proxy("127.0.0.1", 4004, "other.example");
    EXPECT_EQ(rewritten("=\"http://other.example/x"), "=\"http://other.example/x");
    std::string with_nul = std::string("a\0=\"http://", 12) + host + "/x";
    EXPECT_EQ(rewritten(with_nul), with_nul);
}

TEST(RewriteLinks, StopsBeforeTheBodyOutgrowsTheBuffer) {
    set_proxy("a-longer-proxy-name.example", 4004);
    const std::string link = "=\"http://" + host + "/";
    std::string page;
    while (page.size() + link.size() < limits::message_buffer_size - 64) {
        page += link;
    }
    load_body(page);
    rewrite_links();
    EXPECT_LT(message_info.body_start + message_info.body_length,
              message_buffer + limits::message_buffer_size);
    std::string got = body();
    // the links rewritten come first and stay whole; the rest are left as they were
    const std::string proxy = "=\"http://a-longer-proxy-name.example:4004/";
    size_t rewritten_count = 0;
    size_t at = 0;
    while (got.compare(at, proxy.size(), proxy) == 0) {
        at += proxy.size();
        ++rewritten_count;
    }
    EXPECT_GT(rewritten_count, 0u);
    EXPECT_EQ(got.substr(at), page.substr(rewritten_count * link.size()));
}

TEST(EmbeddedObjects, Removal) {
    struct row {
        const char *name;
        std::string page, expected, console;
    } rows[] = {
        {"script with attributes",
         "a<script type=\"text/javascript\" src=\"http://ads.example/x.js\"></script>b", "ab",
         "1 URLs removed\n"},
        {"two fragments in one element",
         "a<script src=\"http://ads.example/?ref=ads.example\"></script>b", "ab",
         "1 URLs removed\n"},
        {"nearest tag after is an opening tag",
         "a<object data=\"ads.example\"><embed src=\"ads.example\"></embed></object>b",
         "a<object data=\"ads.example\"></object>b", "1 URLs removed\n"},
        {"fragment after a closing tag",
         "<script src=\"x\"></script> ads.example <script src=\"y\">",
         "<script src=\"x\"></script> ads.example <script src=\"y\">", ""},
        {"bare script tag is no opening tag", "<p><script>load('ads.example')</script></p>",
         "<p><script>load('ads.example')</script></p>", ""},
        {"mixed kinds: script to noscript", "x<script src=\"q\">ads.example</noscript>y", "xy",
         "1 URLs removed\n"},
        {"noscript bare tag", "<noscript><img src=\"ads.example\"></noscript>!", "!",
         "1 URLs removed\n"},
        {"no closing > after the closing tag", "<script src=\"ads.example\"></script",
         "<script src=\"ads.example\"></script", ""},
        {"two elements", "<embed src=\"ads.example\"></embed>-<script a=\"ads.example\"></script>",
         "-", "2 URLs removed\n"},
        {"no occurrence", "<script src=\"x\"></script>", "<script src=\"x\"></script>", ""},
    };
    set_table({{url_entry, "ads.example"}, {name_entry, "ads.example"}});
    for (const row &r : rows) {
        std::string console;
        EXPECT_EQ(edited(r.page, remove_embedded_objects, &console), r.expected) << r.name;
        EXPECT_EQ(console, r.console) << r.name;
    }
    EXPECT_EQ(is_embed_tag("<scr"), 1); // the page ends inside a tag's first bytes
    EXPECT_EQ(is_embed_tag("<scripts"), 0);
    set_table({});
    std::string console;
    EXPECT_EQ(edited("<script src=\"ads.example\"></script>", remove_embedded_objects, &console),
              "<script src=\"ads.example\"></script>");
    EXPECT_EQ(console, "");
}

TEST(CommentFilter, KeptBlocksGetTheirLinkAndAlternate) {
    set_proxy("127.0.0.1", 4004);
    set_table({});
    std::string page = "<h1>T</h1>\n" + plain_block("white-", "Ann", "one") +
                       linked_block("", "http://bob.example/", "Bob", "two") +
                       plain_block("", "Cy", "three") + "<p>end</p>";
    std::string expected =
        "<h1>T</h1>\n<div class=\"com-blck\"><p>Ann" + x_link("Ann") + " | one</p></div>" +
        "<div class=\"white-com-blck\"><p><a href=\"http://bob.example/\">Bob</a>" +
        x_link("Bob", "http://bob.example/") + " | two</p></div>" +
        "<div class=\"com-blck\"><p>Cy" + x_link("Cy") + " | three</p></div><p>end</p>";
    std::string console;
    EXPECT_EQ(edited(page, filter_comments, &console), expected);
    EXPECT_EQ(console, "3 posts tested, 0 removed, 0.0%\n");
    // a plain author's segment ends in two "00" pairs: the name's end and the empty link
    EXPECT_NE(x_link("Cy").find(hex("Cy") + "0000/"), std::string::npos);
}

TEST(CommentFilter, ListedBlocksGoAndTheStripeIsRepaired) {
    set_proxy("127.0.0.1", 4004);
    set_table({{name_entry, "Bob"},
               {link_entry, "http://eve.example/"},
               {content_entry, "spam"},
               {url_entry, "Dee"}});
    struct row {
        const char *name;
        std::string page, expected, console;
    } rows[] = {
        {"middle block removed: third gets white-",
         plain_block("", "Ann", "a") + plain_block("white-", "Bob", "b") +
             plain_block("", "Cy", "c"),
         "<div class=\"com-blck\"><p>Ann" + x_link("Ann") + " | a</p></div>" +
             "<div class=\"white-com-blck\"><p>Cy" + x_link("Cy") + " | c</p></div>",
         "3 posts tested, 1 removed, 33.3%\n"},
        {"linked author by name, by link; prefix of a name stays",
         linked_block("", "http://bob.example/", "Bob", "x") +
             linked_block("white-", "http://eve.example/", "Eve", "y") +
             plain_block("", "Bo", "z") + plain_block("", "Bobby", "w"),
         "<div class=\"com-blck\"><p>Bo" + x_link("Bo") + " | z</p></div>" +
             "<div class=\"white-com-blck\"><p>Bobby" + x_link("Bobby") + " | w</p></div>",
         "4 posts tested, 2 removed, 50.0%\n"},
        {"content words in any case, not inside longer words",
         plain_block("", "A", "SpAm!") + plain_block("", "B", "spammer") +
             plain_block("", "C", "antispam") + plain_block("", "D", "(spam)") +
             plain_block("", "Dee", "url rows never match here"),
         "<div class=\"com-blck\"><p>B" + x_link("B") + " | spammer</p></div>" +
             "<div class=\"white-com-blck\"><p>C" + x_link("C") + " | antispam</p></div>" +
             "<div class=\"com-blck\"><p>Dee" + x_link("Dee") +
             " | url rows never match here</p></div>",
         "5 posts tested, 2 removed, 40.0%\n"},
        {"four tested, one removed",
         plain_block("", "A", "") + plain_block("", "B", "spam") + plain_block("", "C", "") +
             plain_block("", "D", ""),
         "<div class=\"com-blck\"><p>A" + x_link("A") + " | </p></div>" +
             "<div class=\"white-com-blck\"><p>C" + x_link("C") + " | </p></div>" +
             "<div class=\"com-blck\"><p>D" + x_link("D") + " | </p></div>",
         "4 posts tested, 1 removed, 25.0%\n"},
        {"a word right before the block counts as its edge", "spam" + plain_block("", "A", "spam"),
         "spam", "1 posts tested, 1 removed, 100.0%\n"},
        {"no blocks", "<p>nothing</p>", "<p>nothing</p>", ""},
    };
    for (const row &r : rows) {
        std::string console;
        EXPECT_EQ(edited(r.page, filter_comments, &console), r.expected) << r.name;
        EXPECT_EQ(console, r.console) << r.name;
    }
}

TEST(CommentFilter, BrokenStructureEndsTheWalk) {
    set_proxy("127.0.0.1", 4004);
    set_table({{name_entry, "Bob"}});
    const std::string good = plain_block("", "Ann", "a");
    const std::string kept = "<div class=\"com-blck\"><p>Ann" + x_link("Ann") + " | a</p></div>";
    // The searches run on past a block's end, so a missing piece is missing only when no later
    // text supplies it: these blocks end the page.
    const char *last_blocks[] = {
        "<div class=\"com-blck\">Bob | x</div>",                      // no <p>
        "<div class=\"com-blck\"><p>Bob | x",                         // no </div>
        "<div class=\"com-blck\"><p>Bob</p></div>",                   // plain author without " |"
        "<div class=\"com-blck\"><p><a href=\"l\">Bob | x</p></div>", // linked without </a>
        "<div class=\"com-blck\"><p><a href=\"http://x",              // link without closing quote
        "<div class=\"com-blck\"></div><p><a hr", // page ends in the link opening
        "<div class=\"com-blck\"><p><a href=\"l\">Al</a></p></div>", // no " |" after the name
    };
    for (const char *broken : last_blocks) {
        std::string console;
        EXPECT_EQ(edited(good + broken, filter_comments, &console), kept + broken) << broken;
        EXPECT_EQ(console, "1 posts tested, 0 removed, 0.0%\n") << broken;
    }
    // a block whose "</div>" lies before its marker, or with no "<" before its marker, would be
    // found again and again: it ends the walk, and the listed block after it stays
    const char *misplaced[] = {"</div>text com-blck\" <p>Al | x", "com-blck\"</div><p>Al | x"};
    for (const char *broken : misplaced) {
        std::string console;
        std::string later = plain_block("", "Bob", "later");
        EXPECT_EQ(edited(good + broken + later, filter_comments, &console), kept + broken + later);
        EXPECT_EQ(console, "1 posts tested, 0 removed, 0.0%\n") << broken;
        std::string alone = std::string(broken) + later;
        EXPECT_EQ(edited(alone, filter_comments, &console), alone);
        EXPECT_EQ(console, "") << broken;
    }
}

TEST(CommentFilter, AuthorsTooLongForTheLinkFieldsKeepTheirBlockWithoutX) {
    set_proxy("127.0.0.1", 4004);
    set_table({});
    std::string long_name(600, 'n'); // 1,200 hex digits do not fit the 1,024-byte field
    std::string page = plain_block("white-", long_name, "a") + plain_block("", "B", "b");
    std::string console;
    EXPECT_EQ(edited(page, filter_comments, &console), plain_block("", long_name, "a") +
                                                           "<div class=\"white-com-blck\"><p>B" +
                                                           x_link("B") + " | b</p></div>");
    EXPECT_EQ(console, "2 posts tested, 0 removed, 0.0%\n");
}

TEST(CommentFilter, NearTheBufferLimitInsertionsStopButRemovalsGoOn) {
    set_proxy("127.0.0.1", 4004);
    set_table({{name_entry, "Bob"}});
    const std::string kept = plain_block("white-", "Ann", "a");
    const std::string listed = plain_block("", "Bob", "b");
    std::string page;
    while (page.size() + kept.size() + listed.size() < limits::message_buffer_size - 200) {
        page += kept;
        page += listed;
    }
    std::string console;
    std::string got = edited(page, filter_comments, &console);
    EXPECT_EQ(got.find("Bob |"), std::string::npos); // every listed block went
    EXPECT_LT(message_info.body_start + message_info.body_length,
              message_buffer + limits::message_buffer_size);
    // every block is whole: kept blocks with or without their X link, none cut
    size_t blocks = 0;
    size_t with_x = 0;
    for (size_t at = 0; (at = got.find("com-blck\"><p>Ann", at)) != std::string::npos; ++at) {
        ++blocks;
        with_x += got.compare(at + 16, x_link("Ann").size(), x_link("Ann")) == 0;
    }
    EXPECT_EQ(blocks, page.size() / (kept.size() + listed.size()));
    EXPECT_GT(with_x, 0u);
    EXPECT_LT(with_x, blocks);
}
