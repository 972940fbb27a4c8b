#!/usr/bin/env python3
"""Writes the benchmark's discussion pages and filter tables into a directory.

Pages: discussion-50k.html, discussion-500k.html, discussion-1500k.html (about 1 KB per comment
block, linked and plain authors, alternating classes, absolute links to the blog host, a few
scripts and objects, some comments with a listed word, others with the word inside a longer word).
Plain pages of the same sizes (plain-50k.html and so on) hold text only: nothing for the proxy to
edit, so that fetching them through it shows what relaying alone costs.
Tables: typical.conf (20 names, 5 links, 5 words or phrases, 3 URL fragments) and full.conf
(128 rows, 40 of them words or phrases), as kill-file entry lines. The output depends only on
the arguments.
"""
import argparse
import os
import random

PAGE_SIZES = [("50k", 50_000), ("500k", 500_000), ("1500k", 1_500_000)]

FIRST = ["Arlo", "Bea", "Cyrus", "Dagny", "Emmet", "Fern", "Gus", "Hester", "Ivo", "Juno",
         "Kip", "Lark", "Milo", "Nell", "Otto", "Pia", "Quill", "Rhea", "Saul", "Tova"]
LAST = ["Abernathy", "Brisk", "Copperfield", "Dunmore", "Eastwick", "Fairweather", "Gallo",
        "Hartigan", "Ironside", "Jessup", "Kettle", "Lumley", "Marchbank", "Nightingale"]
WORDS = ("the of and to in is that it for was on are as with his they be at one have this from "
         "or had by not word but what some we can out other were all there when up use your how "
         "said an each she which do their time if will way about many then them write would like "
         "so these her long make thing see him two has look more day could go come did number "
         "sound no most people my over know water than call first who may down side been now "
         "find any new work part take get place made live where after back little only round man "
         "year came show every good me give our under name very through just form sentence great "
         "think say help low line differ turn cause much mean before move right boy old too same "
         "tax liberty market state budget court freedom trade policy rent price wage vote").split()
# listed words and phrases of the typical table, and longer words that hold them
LISTED = ["moonbat", "wingnut", "sheeple", "statist thug", "read my blog"]
LONGER = ["moonbats", "wingnuttery", "sheepless", "statist thugs", "read my blogroll",
          "sheepled", "moonbatty"]
EXTRA_WORDS = ["troll%02d" % i for i in range(35)]
URL_FRAGMENTS = ["ads.adnet.example", "track.counter.example", "media.player.example"]


def author_pool(rng):
    pool = []
    for i in range(120):
        name = "%s %s" % (FIRST[i % len(FIRST)], LAST[(i * 5 + i // 20) % len(LAST)])
        if i % 9 == 4:
            name += " &amp; Co"
        link = ""
        if i % 3 != 0:
            link = "http://www.%s%s.example/%s" % (FIRST[i % len(FIRST)].lower(), i,
                                                    ["", "blog/", "~me/", "home.html"][i % 4])
            if i % 11 == 5:
                link = "mailto:%s@mail.example" % FIRST[i % len(FIRST)].lower()
        pool.append((name, link))
    return pool


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + rng.choice(".!?")


def comment_text(rng, index):
    parts = []
    while sum(len(p) for p in parts) < 560:
        parts.append(sentence(rng, rng.randint(6, 16)))
    kind = index % 17
    if kind == 3:
        parts.insert(rng.randrange(len(parts)), "What a " + rng.choice(LISTED).upper() + "!")
    elif kind in (5, 11):
        parts.insert(rng.randrange(len(parts)), "Such " + rng.choice(LONGER) + " here.")
    elif kind == 8:
        parts.insert(rng.randrange(len(parts)), "(" + rng.choice(LISTED) + ")")
    return " ".join(parts)


def comment_block(rng, host, index, author):
    name, link = author
    cls = "white-com-blck" if index % 2 else "com-blck"
    cid = 100000 + index
    when = "<a href=\"http://%s/blog/2008/10/28/some-post#comment_%d\">October 28, 2008, %d:%02dpm</a>" % (
        host, cid, 1 + index % 12, index % 60)
    if link:
        who = "<a href=\"%s\">%s</a>" % (link, name)
    else:
        who = name
    text = comment_text(rng, index)
    quote = ""
    if index % 7 == 2:
        quote = "<blockquote>%s</blockquote>\n" % sentence(rng, 12)
    return ("<div class=\"%s\" id=\"comment_%d\">\n<p>%s | %s | <a href=\"http://%s/blog/"
            "2008/10/28/some-post#reply_%d\">reply</a></p>\n%s<p>%s</p>\n"
            "<p class=\"permalink\"><a href=\"http://%s/people/%d\">profile</a> "
            "<a href='http://%s/staff'>staff</a></p>\n</div>\n") % (
                cls, cid, who, when, host, cid, quote, text, host, cid, host)


def embedded(rng, host, index):
    frag = URL_FRAGMENTS[index % len(URL_FRAGMENTS)]
    kinds = [
        "<script type=\"text/javascript\" src=\"http://%s/js/ad%d.js\"></script>\n" % (frag, index),
        "<object width=\"300\" height=\"250\"><param name=\"movie\" value=\"http://%s/p%d.swf\">"
        "<embed src=\"http://%s/p%d.swf\" width=\"300\" height=\"250\"></embed></object>\n" % (
            frag, index, frag, index),
        "<script type=\"text/javascript\">var s = \"http://%s/count?id=%d\";</script>\n"
        "<noscript><img src=\"http://%s/pixel%d.gif\"></noscript>\n" % (frag, index, frag, index),
        "<script type=\"text/javascript\" src=\"http://%s/js/site%d.js\"></script>\n" % (host, index),
    ]
    return kinds[index % len(kinds)]


def page(size, host, seed):
    rng = random.Random(seed)
    pool = author_pool(rng)
    head = ("<html><head><title>Hit &amp; Run: Some post</title>\n"
            "<link rel=\"stylesheet\" href=\"http://%s/css/site.css\">\n"
            "<script type=\"text/javascript\" src=\"http://%s/js/site.js\"></script>\n"
            "%s</head>\n<body>\n<div id=\"nav\"><a href=\"http://%s/\">Home</a> "
            "<a href=\"http://%s/blog/\">Blog</a> <a href=\"/archives\">Archives</a></div>\n"
            "<div id=\"post\"><h1>Some post</h1><p>%s</p></div>\n<div id=\"comments\">\n") % (
                host, host, embedded(rng, host, 0), host, host, sentence(rng, 60))
    tail = "</div>\n<div id=\"footer\"><a href=\"http://%s/about\">About</a></div>\n%s</body></html>\n" % (
        host, embedded(rng, host, 1))
    parts = [head]
    total = len(head) + len(tail)
    index = 0
    while total < size:
        block = comment_block(rng, host, index, pool[rng.randrange(len(pool))])
        if index % 150 == 75:
            block += embedded(rng, host, index)
        parts.append(block)
        total += len(block)
        index += 1
    parts.append(tail)
    return "".join(parts)


def plain_page(size, seed):
    rng = random.Random(seed)
    parts = ["<html><body><pre>\n"]
    total = len(parts[0])
    while total < size:
        line = sentence(rng, 14) + "\n"
        parts.append(line)
        total += len(line)
    parts.append("</pre></body></html>\n")
    return "".join(parts)


def tables():
    pool = author_pool(random.Random(1))
    named = [a for a in pool if a[0]]
    typical = []
    typical += ["name " + named[i][0] for i in (1, 8, 15, 22, 29, 36, 43, 50, 57, 64)]
    typical += ["name Absent Author %d" % i for i in range(10)]
    linked = [a for a in pool if a[1]]
    typical += ["link " + linked[i][1] for i in (2, 13, 24)]
    typical += ["link http://nowhere%d.example/" % i for i in range(2)]
    typical += ["cont " + w for w in LISTED]
    typical += ["xurl " + f for f in URL_FRAGMENTS]
    full = list(typical)
    full += ["name " + named[i][0] for i in (3, 5, 71, 78, 85, 92)]
    full += ["name Stranger Number %d" % i for i in range(34)]
    full += ["link " + linked[i][1] for i in (5, 30, 47)]
    full += ["link http://elsewhere%d.example/blog/" % i for i in range(12)]
    full += ["cont " + w for w in EXTRA_WORDS]
    full += ["xurl absent%d.example" % i for i in range(5)]
    assert len(typical) == 33 and len(full) == 128
    assert sum(1 for r in full if r.startswith("cont ")) == 40
    return typical, full


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out_dir")
    ap.add_argument("--host", default="reason.com", help="the blog host the links name")
    args = ap.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    for i, (label, size) in enumerate(PAGE_SIZES):
        with open(os.path.join(args.out_dir, "discussion-%s.html" % label), "w",
                  encoding="latin-1", newline="") as f:
            f.write(page(size, args.host, 20081028 + i))
        with open(os.path.join(args.out_dir, "plain-%s.html" % label), "w", encoding="latin-1",
                  newline="") as f:
            f.write(plain_page(size, 7 + i))
    typical, full = tables()
    for label, rows in (("typical", typical), ("full", full)):
        with open(os.path.join(args.out_dir, label + ".conf"), "w", encoding="latin-1") as f:
            f.write("".join(r + "\n" for r in rows))


if __name__ == "__main__":
    main()
