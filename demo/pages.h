// The sample blog's invented pages: a front page, three discussions, a plain page and a style
// sheet.
//
// Everything here is made up for the demo. The discussions use the comment block structure the
// proxy filters: a block per comment whose class alternates between "com-blck" and
// "white-com-blck", an author line in the block's first paragraph (a plain name or a linked one)
// followed by " |", and absolute links to the blog's public host name, MIVREL_BLOG_HOST.
#pragma once

#ifndef MIVREL_BLOG_HOST
#define MIVREL_BLOG_HOST "reason.com"
#endif

#define BLOG "http://" MIVREL_BLOG_HOST

// One comment block; cls is "" or "white-", id an element id, page the discussion's path.
#define PLAIN_COMMENT(cls, id, page, name, when, text)                                             \
    "<div class=\"" cls "com-blck\" id=\"" id "\"><p>" name " | " when                             \
    " <a class=\"perma\" href=\"" BLOG page "#" id "\">#</a></p>\n" text "</div>\n"
#define LINKED_COMMENT(cls, id, page, link, name, when, text)                                      \
    "<div class=\"" cls "com-blck\" id=\"" id "\"><p><a href=\"" link "\">" name "</a> | " when    \
    " <a class=\"perma\" href=\"" BLOG page "#" id "\">#</a></p>\n" text "</div>\n"

struct blog_page {
    const char *path;
    const char *title;
    const char *body; // the part between the heading and the footer
    bool chunked;     // sent with Transfer-Encoding: chunked instead of Content-Length
};

#define LIGHTHOUSE "/discussion/lighthouse-auction"
#define METERS "/discussion/seashell-meters"
#define POTHOLES "/discussion/pothole-census"

static const char front_body[] =
    "<p>News and grumbles from Saltmarsh Quay, a harbour town that does not exist.</p>\n"
    "<ul class=\"index\">\n"
    "<li><a href=\"" BLOG LIGHTHOUSE "\">Council to auction the old lighthouse</a> (13 comments)"
    "</li>\n"
    "<li><a href=\"" BLOG METERS "\">Parking meters that take seashells?</a> (7 comments)</li>\n"
    "<li><a href=\"" BLOG POTHOLES "\">The pothole census: results are in</a> (4 comments)</li>\n"
    "</ul>\n"
    "<p><a href=\"" BLOG "/about\">About this blog</a></p>\n";

static const char lighthouse_body[] =
    "<p class=\"story\">The town council has voted six to two to sell the lighthouse on Gull Point "
    "at a public auction next month. The lamp was automated in 1994 and the tower has stood empty "
    "since. Bidders must promise to keep the light working and to open the gallery to visitors on "
    "one weekend a year.</p>\n"
    "<h2>Comments</h2>\n" //
    LINKED_COMMENT("", "c1", LIGHTHOUSE, "http://brannigan.example/", "Otto Brannigan",
                   "March 3, 9:12 am",
                   "<p>Sell it to whoever promises to keep the lamp lit. I don't care if they "
                   "paint it pink, the fishing boats still need it on foggy nights.</p>")
        PLAIN_COMMENT(
            "white-", "c2", LIGHTHOUSE, "Grumbleweed", "March 3, 9:20 am",
            "<p>Nobody reads this blog anyway. The lighthouse is ugly, the council is worse, "
            "and the seagulls agree with me.</p>") PLAIN_COMMENT("", "c3", LIGHTHOUSE,
                                                                 "Marta Quillfeather",
                                                                 "March 3, 9:41 am",
                                                                 "<p>My grandfather kept that lamp "
                                                                 "for thirty years. I would "
                                                                 "happily chip in for "
                                                                 "a community bid if someone "
                                                                 "organises it.</p>")
            PLAIN_COMMENT("white-", "c4", LIGHTHOUSE, "Zo\xc3\xab Harrow", "March 3, 10:05 am",
                          "<p>A community bid is a lovely idea. Could the ground floor become a "
                          "small "
                          "museum of the harbour?</p><p>I have three boxes of old postcards to "
                          "lend.</p>") PLAIN_COMMENT("", "c5", LIGHTHOUSE, "Captain Caps",
                                                     "March 3, 10:06 am",
                                                     "<p>WHY IS NOBODY TALKING ABOUT THE PARKING "
                                                     "AT THE BOTTOM OF THE HILL. FIX THE "
                                                     "PARKING FIRST.</p>")
                LINKED_COMMENT(
                    "white-", "c6", LIGHTHOUSE, "http://spin-to-win.example/", "Lucky Spinner",
                    "March 3, 10:30 am",
                    "<p>Great post!! Visit my page for amazing prizes every hour, click click "
                    "click.</p>") LINKED_COMMENT("", "c7", LIGHTHOUSE,
                                                 "http://lanternwick.example/notes/",
                                                 "Priya Lanternwick", "March 3, 11:02 am",
                                                 "<p>I read the council minutes: the reserve price "
                                                 "is one pound, but the buyer "
                                                 "has to pay for new stairs. That is the real "
                                                 "cost.</p>")
                    LINKED_COMMENT(
                        "white-", "c8", LIGHTHOUSE, "http://brannigan.example/", "Otto Brannigan",
                        "March 3, 11:15 am",
                        "<p>Thanks, Priya. Those stairs have been rusting since before I had grey "
                        "hair, so one pound sounds about right.</p>")
                        PLAIN_COMMENT(
                            "", "c9", LIGHTHOUSE, "Friendly Offer", "March 3, 11:16 am",
                            "<p>Bored tonight? Our online Casino pays out in minutes. No sign-up "
                            "needed!</p>") PLAIN_COMMENT("white-", "c10", LIGHTHOUSE,
                                                         "Pat &amp; Sam Ferrow",
                                                         "March 3, 12:40 pm",
                                                         "<p>We would both join a weekend rota. "
                                                         "Sam can fix stairs and Pat can make tea, "
                                                         "so that is the whole job covered.</p>")
                            PLAIN_COMMENT("", "c11", LIGHTHOUSE, "Desmond Okafor-Lee",
                                          "March 3, 1:18 pm",
                                          "<p>Before anyone asks: no, it should not turn into one "
                                          "of those seaside "
                                          "casinos. The pier tried that in 1987 and the neon sign "
                                          "is still in a "
                                          "shed.</p>")
                                PLAIN_COMMENT("white-", "c12", LIGHTHOUSE, "Grumbleweed",
                                              "March 3, 1:19 pm",
                                              "<p>Tea and stairs. This town deserves its fog.</p>")
                                    PLAIN_COMMENT(
                                        "", "c13", LIGHTHOUSE, "Marta Quillfeather",
                                        "March 3, 2:02 pm",
                                        "<p>I will put a sign-up sheet in the bakery window on "
                                        "Saturday. Bring your "
                                        "postcards, Zo\xc3\xab!</p>") "<p class=\"next\"><a "
                                                                      "href=\"" BLOG METERS
                                                                      "\">Next discussion: parking "
                                                                      "meters that take "
                                                                      "seashells</a></p>\n";

static const char meters_body[] =
    "<p class=\"story\">The harbour committee wants to replace the coin meters on Quay Street with "
    "machines that accept tokens shaped like scallop shells, sold at the ferry kiosk. The "
    "committee says the tokens will stop the meters being emptied by thieves.</p>\n"
    "<h2>Comments</h2>\n" //
    PLAIN_COMMENT(
        "", "m1", METERS, "Desmond Okafor-Lee", "April 12, 8:02 am",
        "<p>So visitors arrive, find no kiosk open after six, and park on the "
        "pavement. Wonderful.</p>") PLAIN_COMMENT("white-", "m2", METERS, "Captain Caps",
                                                  "April 12, 8:03 am",
                                                  "<p>SHELLS. ACTUAL SHELLS. I GIVE UP.</p>")
        PLAIN_COMMENT("", "m3", METERS, "Zo\xc3\xab Harrow", "April 12, 8:30 am",
                      "<p>The tokens could at least be nice to look at. Local potters could make "
                      "them.</p>")
            LINKED_COMMENT("white-", "m4", METERS, "http://brannigan.example/", "Otto Brannigan",
                           "April 12, 9:10 am",
                           "<p>Ceramic tokens in a salty wind? They will be crumbs by August.</p>")
                PLAIN_COMMENT("", "m5", METERS, "Grumbleweed", "April 12, 9:11 am",
                              "<p>Meters, lighthouses, potholes. Who cares.</p>")
                    PLAIN_COMMENT(
                        "white-", "m6", METERS, "Marta Quillfeather", "April 12, 10:45 am",
                        "<p>The bakery will sell tokens too, if the committee lets us.</p>")
                        LINKED_COMMENT("", "m7", METERS, "http://pell-and-daughters.example/",
                                       "Hamish Pell", "April 12, 11:20 am",
                                       "<p>Same for the chandlery. We open at seven, even on "
                                       "Sundays.</p>") "<p class=\"next\"><a href=\"" BLOG POTHOLES
                                                       "\">Next discussion: the pothole census</a>"
                                                       "</p>\n";

// The advertising host is invented and reserved (".invalid"): nothing answers for it.
#define AD_HOST "ads.glimmerbanner.invalid"

static const char potholes_body[] =
    "<script type=\"text/javascript\" src=\"http://" AD_HOST "/rotate.js?slot=top\"></script>\n"
    "<script type=\"text/javascript\">\n"
    "document.write('<p class=\"ad\">SUPER DEALS ON GARDEN GNOMES! Served by " AD_HOST ".</p>');\n"
    "</script>\n"
    "<p class=\"story\">Forty-one volunteers walked every street of the town with a tape measure "
    "and a bag of chalk. They found 212 potholes, the deepest of them outside the town hall.</p>\n"
    "<h2>Comments</h2>\n" //
    LINKED_COMMENT("", "q1", POTHOLES, "http://lanternwick.example/notes/", "Priya Lanternwick",
                   "May 2, 7:55 am",
                   "<p>The map is online now, colour-coded by depth. Red means bring a "
                   "snorkel.</p>")
        LINKED_COMMENT("white-", "q2", POTHOLES, "http://spin-to-win.example/", "Prize Desk",
                       "May 2, 8:00 am",
                       "<p>You have been selected! Claim your reward at my page today.</p>")
            LINKED_COMMENT(
                "", "q3", POTHOLES, "http://pell-and-daughters.example/", "Hamish Pell",
                "May 2, 9:31 am",
                "<p>Number 117 ate a wheel of my delivery cart. I would like it named after "
                "me.</p>")
                PLAIN_COMMENT("white-", "q4", POTHOLES, "Marta Quillfeather", "May 2, 10:12 am",
                              "<p>Chalk outlines everywhere. The children think it is a treasure "
                              "hunt.</p>") "<p class=\"next\"><a href=\"" BLOG LIGHTHOUSE
                                           "\">Back to the lighthouse discussion</a></p>\n";

static const char about_body[] =
    "<p>The Harbour Lantern is a sample blog made up for the mivrel demo. Its town, its people and "
    "their comments are invented. It runs on your own machine and is read through the proxy, which "
    "hides the comments of the authors listed in its <code>mivrel.conf</code>.</p>\n"
    "<p>This page has no comments, so the proxy passes it on unchanged apart from its links.</p>\n"
    "<p><a href=\"" BLOG "/\">Back to the front page</a></p>\n";

static const blog_page blog_pages[] = {
    {"/", "The Harbour Lantern", front_body, false},
    {LIGHTHOUSE, "Council to auction the old lighthouse", lighthouse_body, false},
    {METERS, "Parking meters that take seashells?", meters_body, true},
    {POTHOLES, "The pothole census: results are in", potholes_body, false},
    {"/about", "About the Harbour Lantern", about_body, false},
};

// The style sheet's link is relative, so that the page opened straight from the sample blog
// fetches nothing from the public host.
static const char page_top[] =
    "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
    "<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n"
    "<div id=\"masthead\"><a href=\"" BLOG "/\">The Harbour Lantern</a>"
    " <span>a neighbourhood blog</span></div>\n<div id=\"main\">\n<h1>%s</h1>\n";

static const char page_bottom[] =
    "</div>\n<div id=\"foot\"><a href=\"" BLOG "/\">Front page</a> &middot; <a href=\"" BLOG
    "/about\">About</a></div>\n</body>\n</html>\n";

static const char style_sheet[] =
    "body { margin: 0; font-family: Georgia, serif; background: #d9e2ea; color: #1d2630; }\n"
    "#masthead { background: #1f3b57; color: #f3e9c6; padding: 14px 24px; font-size: 26px; }\n"
    "#masthead a { color: #f3e9c6; text-decoration: none; font-weight: bold; }\n"
    "#masthead span { font-size: 15px; font-style: italic; margin-left: 10px; }\n"
    "#main { max-width: 760px; margin: 0 auto; padding: 8px 24px 24px; background: #f7f4ec; }\n"
    "h1 { font-size: 24px; } h2 { font-size: 18px; border-bottom: 1px solid #b9b09a; }\n"
    ".com-blck, .white-com-blck { padding: 2px 12px; margin: 8px 0; border-left: 4px solid "
    "#7d93a8; }\n"
    ".com-blck { background: #e4e9ef; }\n"
    ".white-com-blck { background: #ffffff; }\n"
    ".com-blck p:first-child, .white-com-blck p:first-child { font-weight: bold; font-size: 14px;"
    " }\n"
    ".perma { color: #8a8a8a; text-decoration: none; }\n"
    ".ad { background: #ff2f92; color: #ffff00; font: bold 22px sans-serif; padding: 12px; }\n"
    "#foot { max-width: 760px; margin: 0 auto; padding: 10px 24px; font-size: 14px; }\n";
