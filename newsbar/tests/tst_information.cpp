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
};

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
