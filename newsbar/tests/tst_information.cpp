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
    void identifier()
    {
        // The digests were computed outside this code base from the identity texts.
        const struct {
            const char* zone;
            Text title, category;
            QDateTime date;  // invalid: absent
            const char* link;  // empty: absent
            QString identity, digest;
        } cases[] = {
            {"Asia/Tokyo", "A", "news", april1, "",
             "title: A, category: news, date: Wed, 01 Apr 2015 09:00:00 +0900, link: (null)",
             "b2931f8c6066321e504a4d8d4c2a485fd06bc5f1d7ddd15dd7e82fe6721a3e4f"},
            {"UTC", "A", "news", april1, "",
             "title: A, category: news, date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)",
             "17df8d221dd919fe827b6dbf7be2ed34d2105c106b803480990aadea76b4f483"},
            {"UTC", "", std::nullopt, QDateTime(), "",
             "title: , category: (null), date: (null), link: (null)",
             "0cbf3c96657870b26791bd6b2353463de8561cdae68431373f57678a9db8c6c7"},
            {"Etc/GMT+9", "  日本語", "お知らせ", april1, "HTTP://Example.COM/%7e",
             "title:   日本語, category: お知らせ, date: Tue, 31 Mar 2015 15:00:00 -0900, link: HTTP://Example.COM/%7e",
             "0aa2275f532ba8661cd84eda12cfb1c2c2ab3c5c94c632835bbcfd27b0c37065"},
        };
        for (const auto& c : cases) {
            pinZone(c.zone);
            const Information information(c.title, c.category, c.date, Url::fromString(c.link));
            QCOMPARE(information.identifier(), c.digest);
            QVERIFY(information.description().startsWith(QLatin1String("<Information: 0x")));
            QVERIFY2(information.description().endsWith("> " + c.identity), qPrintable(information.description()));
        }
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

    void url()
    {
        for (const char* text : {"HTTP://Example.COM/%7e", "qrc:/newsbar/feed.xml", "a/b:c", "?a=b:c"}) {
            const std::optional<Url> link = Url::fromString(text);
            QVERIFY2(link && link->absoluteString() == text && link->toQUrl().isValid(), text);
        }
        for (const char* text : {"", "https://h/\t", "https://h/%4", "9a:b", ":", "http://h/?a[0]=1"})
            QVERIFY2(!Url::fromString(text), text);
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

    void openLink()
    {
        // Only "http" and "https" as written go to the browser, whose answer is passed on; anything
        // else shows the title in an alert, which returns true once dismissed.
        const struct {
            const char* link;  // empty: absent
            bool browserSucceeds, toBrowser;
        } cases[] = {{"http://h/a", true, true}, {"https://h/a", false, true}, {"HTTPS://h/a", true, false},
                     {"mailto:a@h", true, false}, {"a/b.html", true, false}, {"", true, false}};
        for (const auto& c : cases) {
            const Information information(QStringLiteral("Item title"), {}, {}, Url::fromString(c.link));
            QList<QUrl> opened;
            QStringList alerts;
            const LinkOpener opener{[&](const QUrl& url) { opened.append(url); return c.browserSucceeds; },
                                    [&](const QString& text) { alerts.append(text); }};
            QVERIFY2(information.openLink(opener) == (c.toBrowser ? c.browserSucceeds : true), c.link);
            QCOMPARE(opened, c.toBrowser ? QList<QUrl>{QUrl(c.link)} : QList<QUrl>{});
            QCOMPARE(alerts, c.toBrowser ? QStringList{} : QStringList{QStringLiteral("Item title")});
        }
    }

    void parseStatus()
    {
        // Whether the manager installs the list or ignores the download; the golden feeds check the
        // records and that nothing else is logged.
        const std::pair<const char*, Status> cases[] = {
            {"<rss/>", Status::Rss},
            {"<rss xmlns=\"urn:x\"><channel><item/></channel></rss>", Status::NotRss},
            {"<r:rss xmlns:r=\"urn:x\"><channel><item/></channel></r:rss>", Status::NotRss},
            {"<rss><channel><item><title>&nbsp;</title></item></channel></rss>", Status::Rss},
            {"<rss><channel><item><title>&nosuchname;</title></item></channel></rss>", Status::NotXml},
            // A byte-order mark decides the encoding; bytes invalid in it refuse the document.
            {"\xef\xbb\xbf<rss><channel><item><title>\xff</title></item></channel></rss>", Status::NotXml},
            {"\xef\xbb\xbf<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><rss/>", Status::Rss},
        };
        for (const auto& [data, status] : cases) {
            if (status == Status::NotXml)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to read rss document with error: .+"));
            QVERIFY2(parseFeed(data).status == status, data);
        }
    }
};

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
