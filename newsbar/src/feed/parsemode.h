#pragma once

#include <QString>
#include <QTextStream>
#include <QUrl>

class Information;

// The headless check mode "newsbar --parse FILE": reads FILE as a feed and writes one JSON line
// per record, in feed order, to out:
//   {"identifier": "<64 hex>", "title": ..., "category": ..., "date": ..., "link": ...}
// with null for absent fields, the date as the shared date formatter writes it (current time
// zone) and the link's text as the feed gave it (an Atom feed's relative links resolved against
// documentUrl, when given). Returns 0 when FILE is an RSS or Atom document (one without items
// prints nothing). Returns 1 after one line with the reason when FILE cannot be read, is larger
// than feedSizeLimit (an endless input included: no more is read), is not XML (the parser's log
// line) or is XML with another root element (an HTML page).
int runParseMode(const QString& path, QTextStream& out, QTextStream& err, const QUrl& documentUrl = QUrl());

// One record as the JSON line above, without the line break.
QString informationJsonLine(const Information& information);
