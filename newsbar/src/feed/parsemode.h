#pragma once

#include <QString>
#include <QTextStream>

class Information;

// The headless check mode "newsbar --parse FILE": reads FILE as a feed and writes one JSON line
// per record, in feed order, to out:
//   {"identifier": "<64 hex>", "title": ..., "category": ..., "date": ..., "link": ...}
// with null for absent fields, the date as the shared date formatter writes it (current time
// zone) and the link's text as the feed gave it. Returns 0, or 1 after a message on err when the
// file cannot be read. A document that yields no records prints nothing and returns 0.
int runParseMode(const QString& path, QTextStream& out, QTextStream& err);

// One record as the JSON line above, without the line break.
QString informationJsonLine(const Information& information);
