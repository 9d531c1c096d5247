#pragma once

#include "feed/information.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

// The most a feed may weigh: the download cap, the --parse read cap and the cap on a document's
// text once its entity references are expanded.
inline constexpr qint64 feedSizeLimit = 8 * 1024 * 1024;

// The outcome of reading downloaded bytes as an RSS 2.0 or Atom 1.0 document.
struct FeedParseResult
{
    enum class Status {
        Rss,     // a well-formed feed: root element "rss", or Atom's "feed"; informations may be empty
        NotXml,  // the parser produced no document (malformed, empty, hostile or too large input)
        NotRss,  // a well-formed document with another root (an HTML error page, Atom 0.3)
    };
    Status status = Status::NotXml;
    QList<Information> informations;
    // One line: why the document was refused (NotXml, as logged) or the root element's name
    // (NotRss); empty for Rss.
    QString reason;
};

// What one feed may cost beyond its bytes. No document tree is built: the items are read as the
// parser goes, and only what they show is kept.
//
// Entity replacement texts are the only parsed nodes kept: a document whose entity declarations
// would make more than this many (elements, text runs and references), or which declares more
// entities than this, is refused.
inline constexpr int feedEntityNodeLimit = 10000;
// At most this many items are kept, the newest by date (an item without a date is older than
// any dated one; of equal dates the first in the document wins); the others are dropped with
// one log line. The kept items stay in document order.
inline constexpr int feedItemLimit = 1000;
// The most text an item's field may hold, in UTF-8 bytes; an item with a longer field is
// dropped (and counted in the same log line).
inline constexpr qsizetype feedFieldLimit = 64 * 1024;
// A start tag with more attributes than this refuses the document (the parser checks
// attribute names for duplicates pairwise).
inline constexpr int feedAttributeLimit = 10000;

// Reads the bytes with libxml2 as a stream of events and makes one record per item, in document
// order. Items are neither sorted nor de-duplicated (but see feedItemLimit).
//
// RSS 2.0: one record per element matched by "/rss/channel/item". Per item, the first direct
// child element named exactly "title", "category", "pubDate" or "link" (a prefixed "dc:title" is
// not "title") gives the field as its string value: all text beneath it in document order,
// entities resolved and character data included, not trimmed, read in one pass. Dates are read
// with the shared formatter, links with Url::fromString; a missing element or unreadable text
// leaves the field absent.
//
// Atom 1.0 (root "feed" in the namespace http://www.w3.org/2005/Atom, any prefix): one record per
// "entry" child of the root, its fields from its first Atom children of each kind:
//   title     the text construct as shown: type "html" with its markup left out and its entities
//             resolved, "xhtml" as the text of its elements, "text" (or none) as written; then
//             runs of white space as one space and none at either end;
//   category  the first category's label, or its term when it has no label;
//   date      "published", or "updated" when there is none or it cannot be read (RFC 3339, with
//             "Z" or a numeric offset; fractions of a second are dropped);
//   link      the first link with rel "alternate" (the default) and an HTML type (text/html,
//             application/xhtml+xml) or none; a relative href is resolved against the xml:base
//             in effect (on any element from the root down to the link) and documentUrl, and
//             written out in full; an absolute href is kept as written.
// The identifier is made from these four fields as for RSS.
//
// Text is never dropped silently: the predefined entities, character references and the
// document's own internal entities resolve; a name the document does not declare resolves as the
// HTML 4 entity of that name, with or without a DOCTYPE (feeds use &eacute; and &nbsp; freely). A
// reference to an external entity (never loaded) or to a name that is none of these refuses the
// document.
//
// Encoding: a byte-order mark (UTF-8, UTF-16 or UTF-32) decides over the XML declaration, as
// browsers and feed readers do; bytes that are invalid in that encoding refuse the document.
// UTF-32 is also recognised without a mark. Otherwise the declaration (or UTF-8) holds.
//
// Hostile input: no DTD or external entity is ever loaded and nothing touches the network or the
// file system. A document larger than feedSizeLimit, or whose text with every entity reference
// expanded would be larger, is refused as soon as the parser gets there; an entity is expanded
// only into the fields that are kept, and at most feedFieldLimit bytes of it. Nested expansion
// bombs are parse errors under libxml2's own limits. Memory thus stays within a few times the
// input, whatever the document holds.
//
// documentUrl is where the bytes came from (the feed's URL), for relative links of Atom feeds.
//
// Every refusal is NotXml and logs one line, "Failed to read rss document with error: ...".
// libxml2's own messages never reach standard error: they are folded into that line (warnings of
// a readable document go to the debug log, one line). Thread-safe.
FeedParseResult parseFeed(const QByteArray& data, const QUrl& documentUrl = QUrl());
