#!/usr/bin/python3
"""Our reading of the Atom golden feeds against an independent one (Debian's python3-feedparser).

    atom_feedparser.py NEWSBAR FEEDS_DIR

For every FEEDS_DIR/atom-*.xml, `NEWSBAR --parse FILE --feed-url URL` (in UTC) and feedparser's
reading of the same bytes from the same URL must give the same entries, field by field:
  title     feedparser's title, its markup left out and its entities resolved when it is HTML,
            runs of white space as one space, none at either end (what newsbar shows);
  category  the first category's label, or its term;
  date      published, or updated when published is missing or unreadable, in UTC;
  link      feedparser's link (the alternate HTML page), absent when it has none; schemes
            compared without regard to case (newsbar keeps the link as written, feedparser
            lower-cases the scheme).
Where the two knowingly differ, the rows of KNOWN say how, and both readings are held to them:
  - an entry without an alternate HTML link: feedparser gives the entry's id as its link,
    newsbar no link (an id need not be a page: "urn:uuid:...");
  - several alternate HTML links: feedparser takes the last, newsbar the first (in document
    order, as written by the feed's author; usually the default language).
Exits 77 (skipped) when feedparser is not installed.
"""
import glob
import html
import html.parser
import json
import os
import re
import subprocess
import sys
import time

try:
    import feedparser
except ImportError:
    print("python3-feedparser is not installed: skipped")
    sys.exit(77)

URL = "https://feeds.example.com/vendor/atom.xml"

# (feed, entry number, field) -> (ours, feedparser's) where the two knowingly differ.
KNOWN = {
    ("atom-relative-links.xml", 4, "link"): ("https://www.example.com/support/d.html",
                                             "https://www.example.com/support/d.ja.html"),
    ("atom-relative-links.xml", 6, "link"): (None, "urn:uuid:5"),
    ("atom-categories-text.xml", 5, "link"): (None, "urn:example:status:5"),
}


def scheme_folded(link):
    if link is None or ":" not in link:
        return link
    scheme, rest = link.split(":", 1)
    return scheme.lower() + ":" + rest


class TextOnly(html.parser.HTMLParser):
    """The text that HTML markup shows."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.hidden = 0

    def handle_starttag(self, tag, attrs):
        self.hidden += tag in ("script", "style")

    def handle_endtag(self, tag):
        self.hidden -= tag in ("script", "style") and self.hidden > 0

    def handle_data(self, data):
        if not self.hidden:
            self.parts.append(data)


def shown(text, detail):
    if text is None:
        return None
    if detail and detail.get("type") in ("text/html", "application/xhtml+xml"):
        parser = TextOnly()
        parser.feed(text)
        parser.close()
        text = "".join(parser.parts)
    return re.sub(r"[ \t\r\n\f]+", " ", text).strip(" ")


def their_entries(path):
    with open(path, "rb") as feed:
        parsed = feedparser.parse(feed.read(), response_headers={"content-location": URL})
    entries = []
    for entry in parsed.entries:
        tags = entry.get("tags") or []
        category = (tags[0].get("label") or tags[0].get("term")) if tags else None
        when = entry.get("published_parsed") or entry.get("updated_parsed")
        entries.append({
            "title": shown(entry.get("title"), entry.get("title_detail")) if "title" in entry else None,
            "category": category,
            "date": time.strftime("%a, %d %b %Y %H:%M:%S +0000", when) if when else None,
            "link": entry.get("link"),
        })
    return parsed.get("version"), entries


def our_entries(newsbar, path):
    env = dict(os.environ, TZ="UTC", LC_ALL="C.UTF-8")
    done = subprocess.run([newsbar, "--parse", path, "--feed-url", URL], capture_output=True,
                          env=env, check=True, text=True)
    return [{key: record[key] for key in ("title", "category", "date", "link")}
            for record in map(json.loads, done.stdout.splitlines())]


def main():
    newsbar, feeds = sys.argv[1], sys.argv[2]
    paths = sorted(glob.glob(os.path.join(feeds, "atom-*.xml")))
    if not paths:
        print("no atom-*.xml in " + feeds)
        return 1
    failures = 0
    entries = 0
    for path in paths:
        version, theirs = their_entries(path)
        ours = our_entries(newsbar, path)
        name = os.path.basename(path)
        if version != "atom10":
            print(f"{name}: feedparser reads it as {version!r}, not Atom 1.0")
            failures += 1
        if len(ours) != len(theirs):
            print(f"{name}: {len(ours)} records, feedparser {len(theirs)} entries")
            failures += 1
            continue
        for number, (mine, other) in enumerate(zip(ours, theirs), 1):
            entries += 1
            mine["link"], other["link"] = scheme_folded(mine["link"]), scheme_folded(other["link"])
            for field in ("title", "category", "date", "link"):
                known = KNOWN.get((name, number, field))
                if known is not None:
                    if (mine[field], other[field]) != known:
                        print(f"{name} entry {number} {field}: ours {mine[field]!r}, feedparser "
                              f"{other[field]!r}, known difference {known!r}")
                        failures += 1
                    continue
                if mine[field] != other[field]:
                    print(f"{name} entry {number} {field}: ours {mine[field]!r}, feedparser {other[field]!r}")
                    failures += 1
    print(f"{len(paths)} Atom feeds, {entries} entries compared, {failures} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
