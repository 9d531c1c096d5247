// Information records, identifiers, the shared date formatter, links and the RSS reader.
// More forms of text, dates and links are in the golden feeds.
#include "feed/feedparser.h"
#include "feed/information.h"

#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <ctime>
#include <thread>
#include <vector>

using Status = FeedParseResult::Status;
using Text = std::optional<QString>;
Q_DECLARE_METATYPE(Status)

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
    // The digests were computed outside this code base from the identity texts.
    void identifier_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<Text>("title");
        QTest::addColumn<Text>("category");
        QTest::addColumn<QDateTime>("date");  // invalid: absent
        QTest::addColumn<QString>("link");  // empty: absent
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("digest");
        QTest::newRow("Tokyo") << QByteArray("Asia/Tokyo") << Text("A") << Text("news") << april1 << ""
            << "title: A, category: news, date: Wed, 01 Apr 2015 09:00:00 +0900, link: (null)"
            << "b2931f8c6066321e504a4d8d4c2a485fd06bc5f1d7ddd15dd7e82fe6721a3e4f";
        QTest::newRow("UTC") << QByteArray("UTC") << Text("A") << Text("news") << april1 << ""
            << "title: A, category: news, date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)"
            << "17df8d221dd919fe827b6dbf7be2ed34d2105c106b803480990aadea76b4f483";
        QTest::newRow("absent fields") << QByteArray("UTC") << Text("") << Text() << QDateTime() << ""
            << "title: , category: (null), date: (null), link: (null)"
            << "0cbf3c96657870b26791bd6b2353463de8561cdae68431373f57678a9db8c6c7";
        QTest::newRow("non-ASCII, link as written") << QByteArray("Etc/GMT+9") << Text("  日本語")
            << Text("お知らせ") << april1 << "HTTP://Example.COM/%7e"
            << "title:   日本語, category: お知らせ, date: Tue, 31 Mar 2015 15:00:00 -0900, link: HTTP://Example.COM/%7e"
            << "0aa2275f532ba8661cd84eda12cfb1c2c2ab3c5c94c632835bbcfd27b0c37065";
    }
    void identifier()
    {
        QFETCH(QByteArray, zone);
        QFETCH(Text, title);
        QFETCH(Text, category);
        QFETCH(QDateTime, date);
        QFETCH(QString, link);
        QFETCH(QString, identity);
        QFETCH(QString, digest);
        pinZone(zone.constData());
        const Information information(title, category, date, Url::fromString(link));
        QCOMPARE(information.identifier(), digest);
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

    void url_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");  // valid ones come back as written
        for (const char* text : {"HTTP://Example.COM/%7e", "qrc:/newsbar/feed.xml", "a/b:c", "?a=b:c"})
            QTest::newRow(text) << text << true;
        for (const char* text : {"", "https://h/\t", "https://h/%4", "9a:b", ":", "http://h/?a[0]=1"})
            QTest::newRow(text) << text << false;
    }
    void url()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const std::optional<Url> link = Url::fromString(text);
        QCOMPARE(bool(link), valid);
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
    void openLink_data()
    {
        QTest::addColumn<QString>("link");  // empty: absent
        QTest::addColumn<bool>("browserSucceeds");
        QTest::addColumn<bool>("toBrowser");
        QTest::newRow("http") << "http://h/a" << true << true;
        QTest::newRow("https, browser fails") << "https://h/a" << false << true;
        QTest::newRow("capital scheme") << "HTTPS://h/a" << true << false;
        QTest::newRow("mailto") << "mailto:a@h" << true << false;
        QTest::newRow("relative") << "a/b.html" << true << false;
        QTest::newRow("absent") << "" << true << false;
    }
    void openLink()
    {
        QFETCH(QString, link);
        QFETCH(bool, browserSucceeds);
        QFETCH(bool, toBrowser);
        const Information information(QStringLiteral("Item title"), {}, {}, Url::fromString(link));
        QList<QUrl> opened;
        QStringList alerts;
        const LinkOpener opener{[&](const QUrl& url) { opened.append(url); return browserSucceeds; },
                                [&](const QString& text) { alerts.append(text); }};
        QCOMPARE(information.openLink(opener), toBrowser ? browserSucceeds : true);
        QCOMPARE(opened, toBrowser ? QList<QUrl>{QUrl(link)} : QList<QUrl>{});
        QCOMPARE(alerts, toBrowser ? QStringList{} : QStringList{QStringLiteral("Item title")});
    }

    // Whether the manager installs the list or ignores the download; the golden feeds check the
    // records and that nothing else is logged.
    void parseStatus_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<Status>("status");
        QTest::newRow("rss") << QByteArray("<rss/>") << Status::Rss;
        QTest::newRow("namespaced") << QByteArray("<rss xmlns=\"urn:x\"><channel><item/></channel></rss>") << Status::NotRss;
        QTest::newRow("prefixed") << QByteArray("<r:rss xmlns:r=\"urn:x\"><channel><item/></channel></r:rss>") << Status::NotRss;
        QTest::newRow("HTML entity") << QByteArray("<rss><channel><item><title>&nbsp;</title></item></channel></rss>") << Status::Rss;
        QTest::newRow("unknown entity") << QByteArray("<rss><channel><item><title>&nosuchname;</title></item></channel></rss>") << Status::NotXml;
        // A byte-order mark decides the encoding; bytes invalid in it refuse the document.
        QTest::newRow("BOM, invalid byte") << QByteArray("\xef\xbb\xbf<rss><channel><item><title>\xff</title></item></channel></rss>") << Status::NotXml;
        QTest::newRow("BOM over declaration") << QByteArray("\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss/>") << Status::Rss;
    }
    void parseStatus()
    {
        QFETCH(QByteArray, data);
        QFETCH(Status, status);
        if (status == Status::NotXml)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to read rss document with error: .+"));
        QVERIFY(parseFeed(data).status == status);
    }
};

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
