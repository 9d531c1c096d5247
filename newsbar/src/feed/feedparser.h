#pragma once

#include "feed/information.h"

#include <QByteArray>
#include <QList>

// The outcome of reading downloaded bytes as an RSS 2.0 document.
struct FeedParseResult
{
    enum class Status {
        Rss,     // a well-formed document whose root element is "rss"; informations may be empty
        NotXml,  // the parser produced no document (malformed, empty, hostile or too large input)
        NotRss,  // a well-formed document with another root (an HTML error page, an Atom feed)
    };
    Status status = Status::NotXml;
    QList<Information> informations;
};

// Reads the bytes with libxml2 and makes one record per node of "/rss/channel/item", in document
// order. Per item, the first direct child element named exactly "title", "category", "pubDate" or
// "link" (a prefixed "dc:title" is not "title") gives the field as its string value: all text
// beneath it in document order, entities resolved and character data included, not trimmed.
// Dates are read with the shared formatter, links with Url::fromString; a missing element or
// unreadable text leaves the field absent. Items are neither sorted nor de-duplicated.
//
// Hostile input: no DTD or external entity is ever loaded and nothing touches the network or the
// file system; internal entities are resolved within libxml2's default expansion limits (an
// expansion bomb is a parse error).
//
// Logs "Failed to read rss document with error: ..." when no document results and
// "Failed to find nodes with error: ..." when the XPath evaluation fails. Thread-safe.
FeedParseResult parseFeed(const QByteArray& data);
