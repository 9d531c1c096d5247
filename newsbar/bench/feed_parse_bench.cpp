// What reading a feed costs: parseFeed on feeds made here, a realistic one and hostile ones.
//   BM_parse/<feed>   wall time of one parseFeed; counters: input bytes, items kept
//
//   cmake --build build --target feed_parse_bench && build/newsbar/bench/feed_parse_bench
//   build/newsbar/bench/feed_parse_bench --write-feeds DIR   writes the feeds as DIR/<feed>.xml
//                                                            (feed_memory.py measures those)
//
// The hostile feeds fill the 8 MiB input cap: 2.8 million references to a 3-byte entity (in an
// item's description, or spread over 1,380 titles of 6 KB), 1.1 million "&nbsp;" references,
// 67,000 small items, 2.8 million references to an entity whose text is a comment; and a 10 KB
// feed whose title references a 3.6 KB entity 2,307 times.
#include "feed/feedparser.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace {

QByteArray pubDate(int n)
{
    // One item a day, newest first, from Sunday 1 March 2026 backwards.
    static const char* const days[] = {"Sun", "Sat", "Fri", "Thu", "Wed", "Tue", "Mon"};
    const int day = 28 - n % 28;
    return QByteArray(days[n % 7]) + ", " + QByteArray::number(day).rightJustified(2, '0')
        + " Feb 2026 09:" + QByteArray::number(n / 28 % 60).rightJustified(2, '0') + ":00 +0900";
}

const QByteArray rssHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const QByteArray channelHead = "<rss version=\"2.0\"><channel><title>Example news</title>"
                               "<link>https://www.example.com/</link>\n";
const QByteArray channelTail = "</channel></rss>\n";

// Three items: what the program costs with a feed that costs nothing.
QByteArray smallFeed()
{
    QByteArray xml = rssHead + channelHead;
    for (int n = 0; n < 3; ++n)
        xml += "<item><title>Item " + QByteArray::number(n) + "</title><category>news</category><pubDate>"
            + pubDate(n) + "</pubDate><link>https://www.example.com/news/" + QByteArray::number(n)
            + "</link></item>\n";
    return xml + channelTail;
}

// 200 items in about 100 KB, as a vendor's feed looks: entities and character references in
// titles, a guid, an HTML description in character data.
QByteArray realisticFeed()
{
    static const char* const categories[] = {"news", "event", "maintenance", "release", "info"};
    QByteArray xml = rssHead + channelHead;
    for (int n = 0; n < 200; ++n) {
        const QByteArray number = QByteArray::number(n);
        xml += "<item>\n  <title>VANDiR " + number + " &amp; the product&#8217;s update, part " + number
            + "</title>\n  <category>" + categories[n % 5] + "</category>\n  <pubDate>" + pubDate(n)
            + "</pubDate>\n  <link>https://www.example.com/news/2026/" + number
            + ".html?from=rss&amp;lang=en</link>\n  <guid isPermaLink=\"false\">news-" + number
            + "</guid>\n  <description><![CDATA[<p>What changed in release " + number
            + ": <b>faster</b> start, fewer clicks, and <a href=\"https://www.example.com/\">more</a>."
              " The details are on the page.</p>]]></description>\n</item>\n";
    }
    return xml + channelTail;
}

// Items with the given title and description until the input cap is nearly reached.
QByteArray filled(const QByteArray& doctype, const std::function<QByteArray(int)>& item, int count)
{
    QByteArray xml = rssHead + doctype + channelHead;
    for (int n = 0; n < count; ++n)
        xml += item(n);
    return xml + channelTail;
}

QByteArray repeated(const QByteArray& text, qsizetype times)
{
    return text.repeated(times);
}

const QByteArray entity3 = "<!DOCTYPE rss [<!ENTITY e \"abc\">]>\n";

QByteArray entityRefsInDescription()
{
    return filled(entity3, [](int) {
        return "<item><title>One</title><pubDate>" + pubDate(0) + "</pubDate><description>"
            + repeated("&e;", 2'796'000) + "</description></item>";
    }, 1);
}

QByteArray entityRefsInTitles()
{
    return filled(entity3, [](int n) {
        return "<item><title>" + repeated("&e;", 1'990) + "</title><pubDate>" + pubDate(n)
            + "</pubDate></item>\n";
    }, 1'380);
}

// An entity whose text is a comment: it has no text node, and so once made the parser read it
// again at every reference.
QByteArray commentEntityRefs()
{
    return filled("<!DOCTYPE rss [<!ENTITY e \"<!---->\">]>\n", [](int) {
        return "<item><title>One</title><description>" + repeated("&e;", 2'790'000) + "</description></item>";
    }, 1);
}

QByteArray nbspRefs()
{
    return filled(QByteArray(), [](int) {
        return "<item><title>One</title><description>" + repeated("&nbsp;", 1'100'000)
            + "</description></item>";
    }, 1);
}

QByteArray manyItems()
{
    return filled(QByteArray(), [](int n) {
        return "<item><title>" + QByteArray::number(n) + "</title><link>https://e.com/" + QByteArray::number(n)
            + "</link><pubDate>" + pubDate(n) + "</pubDate></item>";
    }, 67'108);
}

QByteArray bigEntityRepeated()
{
    return filled("<!DOCTYPE rss [<!ENTITY e \"" + repeated("x", 3'600) + "\">]>\n", [](int) {
        return "<item><title>" + repeated("&e;", 2'307) + "</title></item>";
    }, 1);
}

const std::vector<std::pair<const char*, QByteArray (*)()>>& feeds()
{
    static const std::vector<std::pair<const char*, QByteArray (*)()>> all = {
        {"small", smallFeed},
        {"realistic", realisticFeed},
        {"entity-refs-description", entityRefsInDescription},
        {"entity-refs-titles", entityRefsInTitles},
        {"nbsp-refs", nbspRefs},
        {"comment-entity-refs", commentEntityRefs},
        {"many-items", manyItems},
        {"big-entity-repeated", bigEntityRepeated},
    };
    return all;
}

void parse(benchmark::State& state, QByteArray (*make)())
{
    const QByteArray data = make();
    qsizetype kept = 0;
    for (auto _ : state) {
        const FeedParseResult result = parseFeed(data);
        kept = result.informations.size();
        benchmark::DoNotOptimize(kept);
    }
    state.counters["input_bytes"] = double(data.size());
    state.counters["items_kept"] = double(kept);
    state.SetBytesProcessed(int64_t(state.iterations()) * data.size());
}

int writeFeeds(const QString& directory)
{
    if (!QDir().mkpath(directory)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(directory));
        return 1;
    }
    for (const auto& [name, make] : feeds()) {
        QFile file(QDir(directory).filePath(QString::fromLatin1(name) + ".xml"));
        const QByteArray data = make();
        if (data.size() > feedSizeLimit || !file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--write-feeds") == 0)
        return writeFeeds(QString::fromLocal8Bit(argv[2]));
    // The parser logs what it drops; that is not what is measured.
    qputenv("QT_LOGGING_RULES", "newsbar.feed.parser.warning=false");
    for (const auto& [name, make] : feeds())
        benchmark::RegisterBenchmark((std::string("BM_parse/") + name).c_str(), parse, make)
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
