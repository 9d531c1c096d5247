#include "feed/parsemode.h"

#include "feed/feedparser.h"
#include "feed/information.h"

#include <QFile>

namespace {

QString jsonString(const QString& text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        switch (c) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            if (c < 0x20)
                out += QStringLiteral("\\u%1").arg(static_cast<int>(c), 4, 16, QLatin1Char('0'));
            else
                out += ch;
        }
    }
    out += u'"';
    return out;
}

QString jsonValue(const std::optional<QString>& text)
{
    return text ? jsonString(*text) : QStringLiteral("null");
}

} // namespace

QString informationJsonLine(const Information& information)
{
    std::optional<QString> date;
    if (information.date())
        date = Information::dateFormatter().stringFromDate(*information.date());
    std::optional<QString> link;
    if (information.link())
        link = information.link()->absoluteString();
    return QStringLiteral(R"({"identifier": %1, "title": %2, "category": %3, "date": %4, "link": %5})")
        .arg(jsonString(information.identifier()), jsonValue(information.title()),
             jsonValue(information.category()), jsonValue(date), jsonValue(link));
}

int runParseMode(const QString& path, QTextStream& out, QTextStream& err, const QUrl& documentUrl)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        err << "newsbar: cannot read " << path << ": " << file.errorString() << Qt::endl;
        return 1;
    }
    // One byte more than allowed tells a file at the cap from a larger or endless one.
    QByteArray data = file.read(feedSizeLimit + 1);
    if (file.error() != QFileDevice::NoError) {
        err << "newsbar: cannot read " << path << ": " << file.errorString() << Qt::endl;
        return 1;
    }
    if (data.size() > feedSizeLimit) {
        err << "newsbar: " << path << ": larger than " << feedSizeLimit << " bytes" << Qt::endl;
        return 1;
    }
    const FeedParseResult result = parseFeed(data, documentUrl);
    data = QByteArray();  // the records are all that is needed now
    switch (result.status) {
    case FeedParseResult::Status::NotXml:
        // The parser has logged its one line with the reason.
        return 1;
    case FeedParseResult::Status::NotRss:
        err << "newsbar: " << path << ": not an RSS or Atom document (root element " << result.reason
            << ")" << Qt::endl;
        return 1;
    case FeedParseResult::Status::Rss:
        break;
    }
    for (const Information& information : result.informations)
        out << informationJsonLine(information) << '\n';
    out.flush();
    return 0;
}
