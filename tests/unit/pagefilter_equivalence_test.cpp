// The page edits against the straightforward in-place reference: identical bodies, lengths and
// console lines on generated pages (discussion pages, token soup, broken structures, NULs inside
// the body, bodies at the edge of message_buffer) with every kind of filter table.
#include "core/proxy.h"
#include "filterlist/config.h"
#include "http/message.h"
#include "pagefilter/comments.h"
#include "pagefilter/embedded.h"
#include "pagefilter/links.h"
#include "reference/pagefilter_reference.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct outcome {
    std::string body; // the body and the NUL after it
    int length;
    std::string console;
};

// Time stamps differ between two runs: "2008-10-28 12:00:00 " becomes "<time> ".
std::string mask_times(const std::string &text) {
    std::string out;
    size_t line = 0;
    while (line < text.size()) {
        size_t next = text.find('\n', line);
        next = next == std::string::npos ? text.size() : next + 1;
        std::string l = text.substr(line, next - line);
        if (l.size() > 20 && l[4] == '-' && l[7] == '-' && l[10] == ' ' && l[13] == ':' &&
            l[16] == ':' && l[19] == ' ') {
            l = "<time>" + l.substr(19);
        }
        out += l;
        line = next;
    }
    return out;
}

void place_body(const std::string &body, int header_length) {
    ASSERT_LE(header_length + body.size() + 1, size_t(limits::message_buffer_size));
    // the bytes behind the body are the same for both runs, whatever they are
    std::memset(message_buffer, 'H', header_length);
    std::memcpy(message_buffer + header_length, body.data(), body.size());
    char *tail = message_buffer + header_length + body.size();
    size_t rest = size_t(message_buffer + limits::message_buffer_size - tail);
    std::memset(tail, '~', rest < 4096 ? rest : 4096);
    *tail = '\0';
    message_info.header_length = header_length;
    message_info.body_start = message_buffer + header_length;
    message_info.body_length = static_cast<int>(body.size());
    message_info.total_length = header_length + message_info.body_length;
}

outcome run_stage(void (*stage)(), const std::string &body, int header_length) {
    place_body(body, header_length);
    testing::internal::CaptureStdout();
    stage();
    std::fflush(stdout);
    outcome o;
    o.console = mask_times(testing::internal::GetCapturedStdout());
    o.length = message_info.body_length;
    o.body.assign(message_info.body_start, size_t(message_info.body_length) + 1);
    return o;
}

std::string show_difference(const std::string &a, const std::string &b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) {
        ++i;
    }
    size_t from = i > 40 ? i - 40 : 0;
    return "first difference at " + std::to_string(i) + "\n  fast:      [" + a.substr(from, 100) +
           "]\n  reference: [" + b.substr(from, 100) + "]";
}

struct stage_pair {
    const char *name;
    void (*fast)();
    void (*reference)();
};

const stage_pair stages[] = {
    {"rewrite_links", rewrite_links, reference_rewrite_links},
    {"remove_embedded_objects", remove_embedded_objects, reference_remove_embedded_objects},
    {"filter_comments", filter_comments, reference_filter_comments},
};

// Runs the reply pipeline's edits one by one, fast and reference on the same input; returns false
// after the first difference (reported as a test failure).
bool same_pipeline(const std::string &page, int header_length, const std::string &what) {
    std::string body = page;
    for (const stage_pair &s : stages) {
        outcome fast = run_stage(s.fast, body, header_length);
        outcome reference = run_stage(s.reference, body, header_length);
        if (fast.length != reference.length || fast.console != reference.console ||
            fast.body != reference.body) {
            ADD_FAILURE() << what << ", " << s.name << ": length " << fast.length << " vs "
                          << reference.length << "\nconsole fast: " << fast.console
                          << "console reference: " << reference.console << "\n"
                          << show_difference(fast.body, reference.body);
            return false;
        }
        body = fast.body.substr(0, size_t(fast.length));
    }
    return true;
}

void set_listen(const char *host, int port) {
    std::snprintf(proxy_settings.listen_host, sizeof proxy_settings.listen_host, "%s", host);
    proxy_settings.listen_port = port;
}

struct row {
    char kind;
    std::string text;
};

void set_table(const std::vector<row> &rows) {
    filter_count = 0;
    for (const row &r : rows) {
        add_filter_entry(r.kind, r.text.data(), static_cast<int>(r.text.size()));
    }
}

const std::vector<std::string> author_names = {
    "Arlo Brisk", "Bea Kettle", "Cyrus &amp; Co", "Dagny", "X", "Emmet Lumley", "Fern", "a b"};
const std::vector<std::string> author_links = {"http://www.arlo.example/",
                                               "mailto:bea@mail.example", "http://c.example/~me",
                                               "", "http://fern.example/blog/"};
const std::vector<std::string> words = {
    "moonbat", "wingnut", "sheeple", "statist thug", "read my blog", "x", "X", "http", "blck"};
const std::vector<std::string> fragments = {
    "ads.adnet.example", "track.example", "pixel", "script", "<", "frag"};

struct generator {
    std::mt19937 random;
    explicit generator(unsigned seed) : random(seed) {}

    int below(int n) {
        return static_cast<int>(random() % static_cast<unsigned>(n));
    }
    bool chance(int percent) {
        return below(100) < percent;
    }
    template <typename T>
    const T &pick(const std::vector<T> &v) {
        return v[size_t(below(static_cast<int>(v.size())))];
    }

    std::string cased(std::string w) {
        for (char &c : w) {
            if (chance(30) && c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return w;
    }

    std::string text_run(int approx) {
        static const std::vector<std::string> plain = {"the ",
                                                       "market ",
                                                       "liberty ",
                                                       "vote ",
                                                       "price, ",
                                                       "tax. ",
                                                       "moonbats ",
                                                       "awingnut ",
                                                       "sheepled ",
                                                       "(moonbat) ",
                                                       "Moonbat! ",
                                                       "statist thugs ",
                                                       "read my blogroll ",
                                                       "\xe9t\xe9 ",
                                                       "42 ",
                                                       "x-ray ",
                                                       "\n"};
        std::string out;
        while (int(out.size()) < approx) {
            out += chance(4) ? cased(pick(words)) + pick(std::vector<std::string>{" ", ".", "s "})
                             : pick(plain);
        }
        return out;
    }

    std::string element() {
        std::string f = pick(fragments);
        switch (below(6)) {
        case 0:
            return "<script type=\"text/javascript\" src=\"http://" + f + "/a.js\"></script>";
        case 1:
            return "<object width=\"1\"><embed src=\"http://" + f + "/p.swf\"></embed></object>";
        case 2:
            return "<noscript><img src=\"http://" + f + "/p.gif\"></noscript>";
        case 3:
            return "<script>var u = '" + f + "';</script>";
        case 4:
            return "</script> " + f + " <script src=x>";
        default:
            return "<embed src=\"" + f + "\">";
        }
    }

    std::string link_to_blog() {
        static const std::vector<std::string> forms = {"=\"http://", "='http://", "= \"http://",
                                                       "=\"https://"};
        std::string form = chance(80) ? forms[0] : pick(forms);
        return "<a href" + form + std::string(chance(90) ? blog_host : "elsewhere.example") +
               "/blog/" + std::to_string(below(1000)) + "\">post</a>";
    }

    std::string block(int index) {
        std::string cls = chance(50) ? "white-com-blck" : "com-blck";
        if (chance(5)) {
            cls = "whi";
        }
        std::string name = chance(10) ? cased(pick(words)) : pick(author_names);
        std::string link = pick(author_links);
        std::string who = link.empty() ? name : "<a href=\"" + link + "\">" + name + "</a>";
        std::string b = "<div class=\"" + cls + "\" id=\"c" + std::to_string(index) + "\">\n<p>" +
                        who + " | " + link_to_blog() + "</p>\n<p>" + text_run(below(300) + 20);
        if (chance(20)) {
            b += link_to_blog();
        }
        if (chance(5)) {
            b += element();
        }
        b += "</p>\n</div>";
        return b;
    }

    // A discussion page in the structure the comment filter expects.
    std::string page(int blocks) {
        std::string p = "<html><head>" + element() + "</head><body>" + link_to_blog() + "\n";
        for (int i = 0; i < blocks; ++i) {
            p += block(i);
            if (chance(70)) {
                p += "\n";
            }
            if (chance(5)) {
                p += element();
            }
        }
        return p + "</body></html>\n";
    }

    // The page's pieces of structure in random order and number.
    std::string soup(int tokens) {
        const std::vector<std::string> vocabulary = {"<div class=\"",
                                                     "com-blck\"",
                                                     "white-",
                                                     "whi",
                                                     "\">",
                                                     "<p>",
                                                     "</p>",
                                                     "<a href=\"",
                                                     "</a>",
                                                     " | ",
                                                     " |",
                                                     "|",
                                                     "</div>",
                                                     "\n",
                                                     "<",
                                                     ">",
                                                     "\"",
                                                     "=\"http://",
                                                     std::string(blog_host),
                                                     "<script ",
                                                     "</script>",
                                                     "<object ",
                                                     "</object>",
                                                     "<embed ",
                                                     "</embed>",
                                                     "<noscript>",
                                                     "</noscript>",
                                                     "<script>",
                                                     "</",
                                                     " ",
                                                     "ab",
                                                     "Z"};
        std::string s;
        for (int i = 0; i < tokens; ++i) {
            int k = below(100);
            if (k < 55) {
                s += pick(vocabulary);
            } else if (k < 65) {
                s += pick(author_names);
            } else if (k < 72) {
                s += pick(author_links);
            } else if (k < 80) {
                s += cased(pick(words));
            } else if (k < 86) {
                s += pick(fragments);
            } else if (k < 90) {
                s += link_to_blog();
            } else if (k < 93) {
                s += element();
            } else if (k < 99) {
                s += text_run(below(40));
            } else {
                s += block(i);
            }
        }
        return s;
    }

    // Breaks a page: cuts out, doubles or moves short stretches around structure.
    std::string broken(std::string p) {
        static const std::vector<std::string> marks = {"</div>", "<p>",  " |", "\"",
                                                       "<",      "</a>", ">",  "com-blck\""};
        int edits = 1 + below(4);
        for (int e = 0; e < edits && !p.empty(); ++e) {
            const std::string &m = pick(marks);
            size_t at = p.find(m, size_t(below(static_cast<int>(p.size()))));
            if (at == std::string::npos) {
                continue;
            }
            switch (below(3)) {
            case 0:
                p.erase(at, m.size());
                break;
            case 1:
                p.insert(at, m);
                break;
            default:
                p.insert(size_t(below(static_cast<int>(p.size()))), m);
                break;
            }
        }
        return p;
    }

    std::string with_nuls(std::string p) {
        int n = 1 + below(3);
        for (int i = 0; i < n; ++i) {
            p.insert(size_t(below(static_cast<int>(p.size()) + 1)), 1, '\0');
        }
        return p;
    }

    std::vector<row> table() {
        std::vector<row> rows;
        int kind = below(7);
        int n = kind == 0 ? 0 : 1 + below(kind == 6 ? 128 : 12);
        for (int i = 0; i < n; ++i) {
            int k = below(100);
            if (k < 30) {
                rows.push_back({name_entry, chance(90) ? pick(author_names) : cased(pick(words))});
            } else if (k < 45) {
                rows.push_back({link_entry, pick(author_links)});
            } else if (k < 75) {
                rows.push_back({content_entry, chance(90) ? cased(pick(words)) : ""});
            } else if (k < 90) {
                rows.push_back({url_entry, pick(fragments)});
            } else {
                rows.push_back({pick(std::vector<char>{name_entry, content_entry, url_entry}),
                                "absent" + std::to_string(i)});
            }
        }
        return rows;
    }

    void listen() {
        switch (below(4)) {
        case 0:
            set_listen("127.0.0.1", 4004);
            break;
        case 1:
            set_listen("a", 1); // a replacement shorter than the search text
            break;
        case 2: { // a replacement of the search text's length
            std::string host(std::strlen(blog_host) > 4 ? std::strlen(blog_host) - 4 : 1, 'h');
            set_listen(host.c_str(), 123);
            break;
        }
        default:
            set_listen(std::string(200 + below(55), 'L').c_str(), 65535);
            break;
        }
    }
};

TEST(PagefilterEquivalence, DiscussionPages) {
    generator g(20081028);
    for (int i = 0; i < 120; ++i) {
        set_table(g.table());
        g.listen();
        std::string page = g.page(g.below(60));
        if (!same_pipeline(page, 100 + g.below(400), "page " + std::to_string(i))) {
            return;
        }
    }
}

TEST(PagefilterEquivalence, BrokenPagesAndSoup) {
    generator g(4004);
    for (int i = 0; i < 400; ++i) {
        set_table(g.table());
        g.listen();
        std::string page = i % 2 ? g.soup(g.below(300)) : g.broken(g.page(g.below(12)));
        if (g.chance(20)) {
            page = g.with_nuls(page);
        }
        if (!same_pipeline(page, 50, "case " + std::to_string(i))) {
            return;
        }
    }
}

// Broken and odd structures, each with tables that keep, remove or test the blocks around it.
TEST(PagefilterEquivalence, OddStructures) {
    const std::string kept = "<div class=\"com-blck\"><p>Kept | a</p></div>\n";
    const std::string gone = "<div class=\"white-com-blck\"><p>Gone | b</p></div>";
    const char *const fixtures[] = {
        // "</div>" before the marker, after the nearest "<"
        "<div </div>class=\"com-blck\"><p>A | x</p></div>",
        // no "</div>", no "<p>", no " |", no closing link quote, no ">", no "</a>"
        "<div class=\"com-blck\"><p>A | x</p>",
        "<div class=\"com-blck\">A | x</div>",
        "<div class=\"com-blck\"><p>A</p></div>",
        "<div class=\"com-blck\"><p><a href=\"http://a.example",
        "<div class=\"com-blck\"><p><a href=\"http://a.example\"",
        "<div class=\"com-blck\"><p><a href=\"http://a.example\">A</b> | x</p></div>",
        // an empty author link, and one whose closing quote only comes in the next block
        "<div class=\"com-blck\"><p><a href=\"\">Empty</a> | x</p></div>",
        "<div class=\"com-blck\"><p><a href=\"l>A</a> | x</p></div><div class=\"com-blck\">"
        "<p>B | y</p></div>",
        // a linked author without " |" after the name, and with one far behind the block
        "<div class=\"com-blck\"><p><a href=\"l\">A</a></p></div>",
        "<div class=\"com-blck\"><p><a href=\"l\">A</a></p></div><div class=\"com-blck\"><p>B"
        "</p></div><div class=\"white-com-blck\"><p>C | z moonbat</p></div>",
        // the author line after the block's end: the "X" link lands in the next block
        "<div class=\"com-blck\"></div><div class=\"com-blck\"><p>B | y</p></div>",
        // the page ends inside the author line's "<a href=\""
        "<div class=\"com-blck\"></div><p><a hr",
        // no "<" before the marker
        "com-blck\"><p>A | x</p></div>",
        // the insertion point at, before and inside the class value
        "<p>Nm\" |com-blck\"></div>",
        "<p>N |x\"com-blck\"></div>",
        "<p>Nm\"wh |ite-com-blck\"></div><p>Q\"white-com-blck\" | </div>",
        // a marker whose nearest "<" belongs to the block before
        "<div class=\"com-blck\"><p>A | x</p></div> com-blck\"<p>B | y</div>",
        "<div class=\"com-blck\"><p>Gone | x moonbat</p></div> com-blck\"<p>B | y</div>",
        // blocks without space between them, and a marker that only appears once one goes
        "<div class=\"com-blck\"><p>Gone | moonbat</p></div><div class=\"com-blck\"><p>C | c</p>"
        "</div>",
        "<div class=\"com-<div class=\"com-blck\"><p>Gone | x</p></div>blck\"><p>D | d</p></div>",
        // the class value at the page's end
        "<div class=\"com-blck\"><p>A | x</p></div><div class=\"com-blck\"><p>B | </div>",
        // elements cut out around a fragment, joining text into new fragments and tags
        "fr<script src=frag></script>ag <script >frag</script> frag",
        "<scr<script frag></script>ipt x frag </script>",
        "<<script frag>x</script>script frag</script>",
        "</script> frag <script a>",
        "<noscript>frag</object>x <object a>frag</noscript> <embed frag>",
        "<script frag></script",
        "frag<",
        "<script frag</script>moon<script a>frag</script>bat",
        // a row that begins with "<" next to a letter before the block and after it
        "a<div class=\"com-blck\"><p>A | a</p></div>b",
        " <div class=\"com-blck\"><p>A | a</p></div>;",
    };
    const std::vector<std::vector<row>> tables = {
        {},
        {{name_entry, "Gone"}, {name_entry, "A"}},
        {{content_entry, "moonbat"}, {link_entry, "l"}},
        {{url_entry, "frag"}, {url_entry, "frag"}, {content_entry, "moonbat"}},
        {{url_entry, "ag"}, {url_entry, "frag"}, {name_entry, "Gone"}, {content_entry, "x"}},
        {{link_entry, ""}, {content_entry, "white"}, {url_entry, "<"}},
        {{content_entry, "<div"}, {content_entry, "</div>"}, {content_entry, "| A"}},
    };
    int index = 0;
    for (const char *fixture : fixtures) {
        for (const std::vector<row> &t : tables) {
            set_table(t);
            for (const std::string &page :
                 {std::string(fixture), kept + fixture + kept, gone + fixture + gone + fixture}) {
                set_listen("127.0.0.1", 4004);
                if (!same_pipeline(page, 20, "fixture " + std::to_string(index))) {
                    return;
                }
            }
        }
        ++index;
    }
}

TEST(PagefilterEquivalence, AuthorTextsTooLongForTheLink) {
    set_table({{name_entry, "absent"}});
    for (int length = 440; length <= 520; ++length) {
        for (const char *listen_host : {"127.0.0.1", "long-long-long-long-long-host-name"}) {
            set_listen(listen_host, 4004);
            std::string name(size_t(length), 'n');
            std::string page = "<div class=\"com-blck\"><p><a href=\"" + std::string(20, 'l') +
                               "\">" + name + "</a> | x</p></div>\n<div class=\"com-blck\"><p>" +
                               name + " | y</p></div>";
            if (!same_pipeline(page, 10, "name length " + std::to_string(length))) {
                return;
            }
        }
    }
}

// Bodies that end a few bytes short of message_buffer: some links and "X" links no longer fit.
// The page comes last, so that the reference's moves stay short.
TEST(PagefilterEquivalence, BodiesAtTheEdgeOfTheBuffer) {
    generator g(2);
    set_listen("127.0.0.1", 4004);
    std::string page;
    for (int b = 0; b < 12; ++b) {
        page += g.block(b) + "\n";
    }
    const int header_length = 300;
    const int room = limits::message_buffer_size - header_length - 1;
    std::vector<int> slacks;
    for (int slack = 0; slack <= 120; slack += slack < 16 ? 1 : 3) {
        slacks.push_back(slack);
    }
    for (int with_table = 0; with_table < 2; ++with_table) {
        if (with_table) {
            set_table({{name_entry, "Fern"}, {content_entry, "moonbat"}, {url_entry, "pixel"}});
        } else {
            set_table({});
        }
        for (int slack : slacks) {
            std::string body = std::string(size_t(room - slack) - page.size(), 'f') + page;
            if (!same_pipeline(body, header_length, "slack " + std::to_string(slack))) {
                return;
            }
        }
    }
}

// More edits than one round of recorded edits holds: the body is written back in between.
TEST(PagefilterEquivalence, ManyEditsInOnePage) {
    set_table({{name_entry, "Gone"}});
    std::string links;
    for (int i = 0; i < 8300; ++i) {
        links += "=\"http://" + std::string(blog_host) + (i % 2 ? "/" : "");
    }
    set_listen("a", 1);
    EXPECT_TRUE(same_pipeline(links, 10, "links, shorter"));
    set_listen("127.0.0.1", 4004);
    EXPECT_TRUE(same_pipeline(links, 10, "links, longer"));
    std::string blocks;
    for (int i = 0; i < 4000; ++i) {
        blocks += i % 3 ? "<i com-blck\"<p>Xy |</div>" : "<i com-blck\"<p>Gone |</div>";
    }
    EXPECT_TRUE(same_pipeline(blocks, 10, "blocks"));
}

// Many occurrences of a fragment and few tags: each occurrence looks for the tags around it.
TEST(PagefilterEquivalence, FragmentsWithoutTagsStayLinear) {
    set_listen("127.0.0.1", 4004);
    set_table({{url_entry, "ads.example"}, {url_entry, "ads"}});
    auto page_of = [](size_t size) {
        std::string p = "<script src=x>";
        while (p.size() < size) {
            p += "ads.example ";
        }
        return p + "</script";
    };
    EXPECT_TRUE(same_pipeline(page_of(20000), 10, "small"));
    std::string big = page_of(limits::message_buffer_size - 100);
    auto started = std::chrono::steady_clock::now();
    outcome o = run_stage(remove_embedded_objects, big, 10);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(o.body.substr(0, big.size()), big);
    EXPECT_LT(seconds, 1.0);
}

} // namespace
