// Information records, identifiers, the shared date formatter, links and the RSS reader.
// More forms of text, dates and links are in the golden feeds.
#include "feed/feedparser.h"
#include "feed/information.h"
#include "tabletest.h"

#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

using Status = FeedParseResult::Status;
using Text = std::optional<QString>;

namespace {

const QDateTime april1(QDate(2015, 4, 1), QTime(0, 0), Qt::UTC);

// The shared formatter looks the zone up on every call.
void pinZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class TestInformation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identifier_data()
    {
        addTableRows("information_cases.tsv", "identifier", {"zone", "title", "category", "date", "link", "identity", "digest", "identifier"});
    }
    void identifier()
    {
        const auto [zone, title, category, date, link, identity, digest, identifier] = tableRow<8>();
        pinZone(qPrintable(zone));
        const auto text = [](const QString& field) { return field == "-" ? Text() : Text(field); };
        const Information information(text(title), text(category), QDateTime::fromString(date, Qt::ISODate),
                                      Url::fromString(link == "-" ? QString() : link));
        QCOMPARE(information.localZoneIdentifier(), digest);
        QCOMPARE(information.identifier(), identifier);
        QVERIFY(information.description().startsWith(QLatin1String("<Information: 0x")));
        QVERIFY2(information.description().endsWith("> " + identity), qPrintable(information.description()));
    }

    void hexAndDates()
    {
        QCOMPARE(hexRepresentation(QByteArray::fromHex("00ff1a09")), QStringLiteral("00ff1a09"));
        QCOMPARE(hexRepresentation(QByteArray()), QString());
        pinZone("America/New_York");
        const DateFormatter& formatter = Information::dateFormatter();
        QCOMPARE(formatter.dateFromString(QStringLiteral("Wed, 01 Apr 2015 09:00:00 +0900")), std::optional(april1));
        // The zone's own offset at that date, daylight saving time included.
        QCOMPARE(formatter.stringFromDate(april1), QStringLiteral("Tue, 31 Mar 2015 20:00:00 -0400"));
        QCOMPARE(formatter.stringFromDate(april1.addMonths(-3)), QStringLiteral("Wed, 31 Dec 2014 19:00:00 -0500"));

        // The parse thread reads dates while the main thread writes identifiers.
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t, &failures, &formatter] {
                for (int i = 0; i < 1500; ++i) {
                    const QDateTime when = april1.addSecs(3600 * (t * 1500 + i));
                    failures += formatter.dateFromString(formatter.stringFromDate(when)) != std::optional(when);
                }
            });
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(failures.load(), 0);
    }

    void url_data() { addTableRows("information_cases.tsv", "url", {"text", "valid"}); }
    void url()
    {
        const auto [text, valid] = tableRow<2>();
        const std::optional<Url> link = Url::fromString(text);
        QCOMPARE(bool(link), valid == "1");
        if (link)
            QVERIFY(link->absoluteString() == text && link->toQUrl().isValid());
    }

    void equalityAndHash()
    {
        const std::optional<Url> link = Url::fromString("https://h/1");
        const Information a(QStringLiteral("T"), QStringLiteral("news"), april1, link);
        // The same instant written with another offset is the same date.
        const Information b(QStringLiteral("T"), QStringLiteral("news"), april1.toOffsetFromUtc(9 * 3600), link);
        QVERIFY(a == b);
        QCOMPARE(qHash(a), qHash(b));
        Information changed = a;  // a setter makes a new record and leaves the original alone
        changed.setLink(Url::fromString("https://h/1/"));
        QVERIFY(a != changed && a.link() == link);
        changed = a;
        changed.setDate(april1.addSecs(1));
        QVERIFY(a != changed);

        // An absent field equals nothing, not even another absent field: only the record itself.
        const Information partial(QStringLiteral("T"), {}, april1, {});
        const Information twin(QStringLiteral("T"), {}, april1, {});
        const Information copy = partial;
        QVERIFY(copy == partial);
        QVERIFY(partial != twin);
        QCOMPARE(partial.identifier(), twin.identifier());
        QCOMPARE(partial.hash(), twin.hash());
    }

    void dictionaryRoundTrip()
    {
        const Information original(QStringLiteral(" Title "), QStringLiteral("event"), april1,
                                   Url::fromString("HTTPS://Example.com/%7ea"));
        QCOMPARE(original.dictionary().keys(), (QStringList{"category", "date", "link", "title"}));
        QVERIFY(Information::initWithDictionary(original.dictionary()) == original);
        // Absent fields have no entry and come back absent, not empty; values of another type are absent.
        const Information partial({}, QString(), {}, {});
        QCOMPARE(partial.dictionary().keys(), QStringList{QStringLiteral("category")});
        QCOMPARE(Information::initWithDictionary(partial.dictionary()).identifier(), partial.identifier());
        const Information wrong = Information::initWithDictionary(
            {{"title", 42}, {"category", QStringList{"news"}}, {"date", "Wed, 01 Apr 2015 00:00:00 +0000"},
             {"link", "not a url"}});
        QVERIFY(!wrong.title() && !wrong.category() && !wrong.date() && !wrong.link());
    }

    // Only "http" and "https" as written go to the browser, whose answer is passed on; anything
    // else shows the title in an alert, which returns true once dismissed.
    void openLink_data() { addTableRows("information_cases.tsv", "open", {"link", "browser", "toBrowser"}); }
    void openLink()
    {
        const auto [link, browser, toBrowser] = tableRow<3>();
        const bool browserSucceeds = browser == "1";
        const Information information(QStringLiteral("Item title"), {}, {}, Url::fromString(link));
        QList<QUrl> opened;
        QStringList alerts;
        const LinkOpener opener{[&](const QUrl& url) { opened.append(url); return browserSucceeds; },
                                [&](const QString& text) { alerts.append(text); }};
        QCOMPARE(information.openLink(opener), toBrowser == "1" ? browserSucceeds : true);
        QCOMPARE(opened, toBrowser == "1" ? QList<QUrl>{QUrl(link)} : QList<QUrl>{});
        QCOMPARE(alerts, toBrowser == "1" ? QStringList{} : QStringList{QStringLiteral("Item title")});
    }

    // Whether the manager installs the list or ignores the download; the golden feeds check the
    // records and that nothing else is logged.
    void parseStatus_data() { addTableRows("information_cases.tsv", "parse", {"data", "status"}); }
    void parseStatus()
    {
        const auto [data, status] = tableRow<2>();
        if (status == "NotXml")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to read rss document with error: .+"));
        const Status want = status == "Rss" ? Status::Rss : status == "NotRss" ? Status::NotRss : Status::NotXml;
        QVERIFY(parseFeed(data.toLatin1()).status == want);
    }

    // Atom dates: RFC 3339 with "Z" or a numeric offset; anything else leaves the date absent.
    void atomDate_data() { addTableRows("information_cases.tsv", "atomdate", {"text", "instant"}); }
    void atomDate()
    {
        const auto [text, instant] = tableRow<2>();
        const QByteArray feed = "<feed xmlns=\"http://www.w3.org/2005/Atom\"><entry><updated>" + text.toUtf8()
            + "</updated></entry></feed>";
        const FeedParseResult result = parseFeed(feed);
        QVERIFY(result.status == Status::Rss);
        QCOMPARE(result.informations.size(), 1);
        const std::optional<QDateTime> date = result.informations.first().date();
        QCOMPARE(date ? date->toUTC().toString(Qt::ISODate) : QStringLiteral("-"), instant);
    }

    // Beyond the item budget the newest items are kept, in document order, and one line says
    // how many were dropped; at the budget nothing is dropped.
    void itemBudget_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("at the budget") << feedItemLimit;
        QTest::newRow("beyond it") << feedItemLimit * 3 + 7;
    }
    void itemBudget()
    {
        QFETCH(int, count);
        // Dates in a scattered order (a step prime to the count), every tenth item undated, and
        // pairs of equal dates, so that age and document order disagree.
        QByteArray xml = "<rss version=\"2.0\"><channel>";
        QList<std::pair<std::optional<QDateTime>, int>> all;
        for (int n = 0; n < count; ++n) {
            std::optional<QDateTime> date;
            if (n % 10 != 3)
                date = april1.addSecs(3600 * ((n * 7919) % count / 2));
            all.append({date, n});
            xml += "<item><title>" + QByteArray::number(n) + "</title>";
            if (date)
                xml += "<pubDate>" + Information::dateFormatter().stringFromDate(*date).toUtf8() + "</pubDate>";
            xml += "</item>";
        }
        xml += "</channel></rss>";
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
            if (a.first.has_value() != b.first.has_value())
                return a.first.has_value();
            return a.first != b.first ? *a.first > *b.first : a.second < b.second;
        });
        QStringList want;
        for (int i = 0; i < std::min(count, feedItemLimit); ++i)
            want.append(QString::number(all[i].second));
        std::sort(want.begin(), want.end(), [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });

        if (count > feedItemLimit)
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Dropped %1 of %2 items of the feed: %1 beyond the %3 newest")
                                                              .arg(count - feedItemLimit).arg(count).arg(feedItemLimit)));
        const FeedParseResult result = parseFeed(xml);
        QVERIFY(result.status == Status::Rss);
        QStringList got;
        for (const Information& information : result.informations)
            got.append(information.title().value_or(QString()));
        QCOMPARE(got, want);
    }

    // What a document may cost besides its text: refused beyond each budget, read at it.
    void documentBudget_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("refusal");
        const auto attributes = [](int count) {
            QByteArray tag = "<rss version=\"2.0\"><channel><item><title>T</title><x";
            for (int n = 0; n < count; ++n)
                tag += " a" + QByteArray::number(n) + "=\"\"";
            return tag + "/></item></channel></rss>";
        };
        QTest::newRow("attributes at the budget") << attributes(feedAttributeLimit) << QString();
        QTest::newRow("attributes beyond") << attributes(feedAttributeLimit + 1)
                                           << QStringLiteral("a start tag with more than %1 attributes").arg(feedAttributeLimit);
        const auto declarations = [](int count) {
            QByteArray doctype = "<!DOCTYPE rss [";
            for (int n = 0; n < count; ++n)
                doctype += "<!ENTITY e" + QByteArray::number(n) + " \"\">";
            return doctype + "]><rss version=\"2.0\"><channel><item><title>T&e0;</title></item></channel></rss>";
        };
        QTest::newRow("entity declarations at the budget") << declarations(feedEntityNodeLimit) << QString();
        QTest::newRow("entity declarations beyond") << declarations(feedEntityNodeLimit + 1)
            << QStringLiteral("more than %1 entity declarations").arg(feedEntityNodeLimit);
        const auto nodes = [](int count) {
            return "<!DOCTYPE rss [<!ENTITY e \"" + QByteArray("<b/>").repeated(count)
                + "\">]><rss version=\"2.0\"><channel><item><title>T&e;</title></item></channel></rss>";
        };
        QTest::newRow("entity nodes at the budget") << nodes(feedEntityNodeLimit) << QString();
        QTest::newRow("entity nodes beyond") << nodes(feedEntityNodeLimit + 1)
            << QStringLiteral("entities that would make more than %1 nodes").arg(feedEntityNodeLimit);
    }
    void documentBudget()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, refusal);
        if (!refusal.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable("Failed to read rss document with error: " + refusal));
        const FeedParseResult result = parseFeed(document);
        QCOMPARE(result.reason, refusal);
        QCOMPARE(result.informations.size(), refusal.isEmpty() ? 1 : 0);
        if (refusal.isEmpty())
            QCOMPARE(result.informations.first().title(), std::optional(QStringLiteral("T")));
    }
};

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
