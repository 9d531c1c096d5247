// Fuzz target over the feed reader: arbitrary bytes through parseFeed, with its promises checked
// on the way: a refusal has a reason and no records, a feed has no reason (other than a root's
// name) and at most feedItemLimit records, no field holds more than feedFieldLimit bytes, and
// reading the same bytes again gives the same records. Every record's identifier and JSON line
// are made, as the program makes them.
#include "feed/feedparser.h"
#include "feed/information.h"
#include "feed/parsemode.h"

#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// The reader logs every refusal; a run of millions of inputs has no use for them.
void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}
const QtMessageHandler previousHandler = qInstallMessageHandler(dropMessage);

bool withinField(const std::optional<QString>& text)
{
    return !text || text->toUtf8().size() <= feedFieldLimit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > size_t(feedSizeLimit))
        return 0;
    (void)previousHandler;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    const FeedParseResult result = parseFeed(bytes);
    switch (result.status) {
    case FeedParseResult::Status::NotXml:
        check(!result.reason.isEmpty() && result.informations.isEmpty());
        return 0;
    case FeedParseResult::Status::NotRss:
        check(!result.reason.isEmpty() && result.informations.isEmpty());
        return 0;
    case FeedParseResult::Status::Rss:
        break;
    }
    check(result.reason.isEmpty() && result.informations.size() <= feedItemLimit);
    for (const Information& information : result.informations) {
        check(withinField(information.title()) && withinField(information.category()));
        if (information.link())
            check(withinField(information.link()->absoluteString()));
        check(information.identifier().size() == 64);
        check(!informationJsonLine(information).isEmpty());
    }
    const FeedParseResult again = parseFeed(bytes);
    check(again.status == result.status && again.informations.size() == result.informations.size());
    for (qsizetype i = 0; i < result.informations.size(); ++i)
        check(again.informations[i].identifier() == result.informations[i].identifier());
    return 0;
}
