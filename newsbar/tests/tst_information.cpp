// Information records, identifiers, the shared date formatter, links and the RSS reader.
#include "feed/feedparser.h"
#include "feed/information.h"
#include "testsupport.h"

#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

using Status = FeedParseResult::Status;
using Text = std::optional<QString>;
using Date = std::optional<QDateTime>;
using Link = std::optional<Url>;
Q_DECLARE_METATYPE(Text)
Q_DECLARE_METATYPE(Date)
Q_DECLARE_METATYPE(Link)

namespace {

const QDateTime april1(QDate(2015, 4, 1), QTime(0, 0), Qt::UTC);

QByteArray rss(const QByteArray& items)
{
    return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>t</title>" + items + "</channel></rss>";
}

} // namespace

class TestInformation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identifier_data();
    void identifier();
    void identifierFollowsTimeZone();
    void hexRepresentationOfBytes();
    void dateFormatter();
    void dateFormatterConcurrentUse();
    void url_data();
    void url();
    void equalityAndHash();
    void dictionaryRoundTrip();
    void openLink_data();
    void openLink();
    void parseStatus_data();
    void parseStatus();
};

// The digests were computed outside this code base from the identity texts in the comments.
void TestInformation::identifier_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<Text>("title");
    QTest::addColumn<Text>("category");
    QTest::addColumn<Date>("date");
    QTest::addColumn<Link>("link");
    QTest::addColumn<QString>("expected");

    // "title: A, category: news, date: Wed, 01 Apr 2015 09:00:00 +0900, link: (null)"
    QTest::newRow("example in UTC+09:00") << QByteArray("Asia/Tokyo") << Text("A") << Text("news") << Date(april1)
        << Link() << "b2931f8c6066321e504a4d8d4c2a485fd06bc5f1d7ddd15dd7e82fe6721a3e4f";
    // "title: A, category: news, date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)"
    QTest::newRow("example in UTC") << QByteArray("UTC") << Text("A") << Text("news") << Date(april1) << Link()
        << "17df8d221dd919fe827b6dbf7be2ed34d2105c106b803480990aadea76b4f483";
    // "title: A, category: (null), date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)"
    QTest::newRow("no category") << QByteArray("UTC") << Text("A") << Text() << Date(april1) << Link()
        << "6aa9e6ad3ea9897306c387a3c6fa30608836d2e7b588eaafcceb6da8d986d3e9";
    // "title:   A, category: news, date: (null), link: HTTP://Example.COM/%7e"
    QTest::newRow("leading blanks, link as written") << QByteArray("UTC") << Text("  A") << Text("news") << Date()
        << Url::fromString("HTTP://Example.COM/%7e")
        << "25147d51b6988cc39b4e5bb989ce71ae6de2b1792f50d433a653a3ad138853f9";
    // "title: (null), category: (null), date: (null), link: (null)"
    QTest::newRow("all absent") << QByteArray("UTC") << Text() << Text() << Date() << Link()
        << "17b0aa5c5f17d623070563ddcc4e79b25c35a8fa8c2fea4df178d3964c9e40fa";
    // "title: , category: , date: (null), link: mailto:a@example.com"
    QTest::newRow("empty is not absent") << QByteArray("UTC") << Text("") << Text("") << Date()
        << Url::fromString("mailto:a@example.com") << "fa4ec53c6d351e0ddf5c097e1135fd6213a1906051ad24bb2cf9334a61048dc5";
    // "title: 日本語, category: お知らせ, date: Tue, 31 Mar 2015 15:00:00 -0900, link: news/1.html"
    QTest::newRow("UTF-8, negative offset, relative link") << QByteArray("Etc/GMT+9") << Text("日本語")
        << Text("お知らせ") << Date(april1) << Url::fromString("news/1.html")
        << "416d61c6786b87f84e661d949dab520602a3c076d1d349a06f6d38dee0d21482";
}

void TestInformation::identifier()
{
    QFETCH(QByteArray, zone);
    QFETCH(Text, title);
    QFETCH(Text, category);
    QFETCH(Date, date);
    QFETCH(Link, link);
    QFETCH(QString, expected);
    TimeZoneScope pinned(zone);
    QCOMPARE(Information(title, category, date, link).identifier(), expected);
}

void TestInformation::identifierFollowsTimeZone()
{
    // One process, one formatter: a change of zone changes identifiers of dated records only.
    const Information dated(QStringLiteral("A"), QStringLiteral("news"), april1, {});
    const Information undated(QStringLiteral("A"), {}, {}, {});
    std::optional<TimeZoneScope> zone(std::in_place, "Asia/Tokyo");
    const QString datedTokyo = dated.identifier();
    const QString undatedTokyo = undated.identifier();
    QVERIFY(dated.description().contains(QLatin1String("date: Wed, 01 Apr 2015 09:00:00 +0900, link: (null)")));
    zone.emplace("UTC");
    QVERIFY(dated.identifier() != datedTokyo);
    QCOMPARE(undated.identifier(), undatedTokyo);
    QVERIFY(dated.description().contains(QLatin1String("date: Wed, 01 Apr 2015 00:00:00 +0000")));
}

void TestInformation::hexRepresentationOfBytes()
{
    QCOMPARE(hexRepresentation(QByteArray::fromHex("00ff1a")), QStringLiteral("00ff1a"));
    QCOMPARE(hexRepresentation(QByteArray()), QString());
    const QByteArray all = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
    QCOMPARE(hexRepresentation(all), QStringLiteral("0123456789abcdeffedcba9876543210"));
    QCOMPARE(hexRepresentation(QByteArray(32, '\x80')).size(), 64);
}

void TestInformation::dateFormatter()
{
    TimeZoneScope pinned("America/New_York");
    const DateFormatter& formatter = Information::dateFormatter();
    QCOMPARE(&formatter, &DateFormatter::shared());
    QCOMPARE(formatter.dateFromString(QStringLiteral("Wed, 01 Apr 2015 09:00:00 +0900")), Date(april1));
    // The zone's own offset, daylight saving time included.
    QCOMPARE(formatter.stringFromDate(april1), QStringLiteral("Tue, 31 Mar 2015 20:00:00 -0400"));
    QCOMPARE(formatter.stringFromDate(april1.addMonths(-3)), QStringLiteral("Wed, 31 Dec 2014 19:00:00 -0500"));
    QVERIFY(!formatter.dateFromString(QStringLiteral("2015-04-01T09:00:00+09:00")));
    QVERIFY(!formatter.dateFromString(QString()));
}

void TestInformation::dateFormatterConcurrentUse()
{
    // The parse thread reads dates while the main thread writes identifiers.
    TimeZoneScope pinned("UTC");
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([t, &failures] {
            for (int i = 0; i < 1500; ++i) {
                const QDateTime when = april1.addSecs(3600 * (t * 1500 + i));
                if (DateFormatter::shared().dateFromString(DateFormatter::shared().stringFromDate(when)) != Date(when))
                    ++failures;
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));
    QCOMPARE(failures.load(), 0);
}

// More forms in feeds/links.xml; these are the ones that matter beyond the parse mode.
void TestInformation::url_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("isUrl");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("capital scheme kept") << "HTTP://Example.COM/" << true << "HTTP";
    QTest::newRow("compiled-in resource") << "qrc:/newsbar/feed.xml" << true << "qrc";
    QTest::newRow("relative") << "news/1.html" << true << "";
    QTest::newRow("colon after slash") << "a/b:c" << true << "";
    QTest::newRow("query only") << "?a=b:c" << true << "";
    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("trailing tab") << "https://h/\t" << false << "";
    QTest::newRow("short escape") << "https://h/%4" << false << "";
    QTest::newRow("digit-led scheme") << "9a:b" << false << "";
    QTest::newRow("lone colon") << ":" << false << "";
    QTest::newRow("bracket in query") << "http://h/?a[0]=1" << false << "";
}

void TestInformation::url()
{
    QFETCH(QString, input);
    QFETCH(bool, isUrl);
    QFETCH(QString, scheme);
    const Link link = Url::fromString(input);
    QCOMPARE(link.has_value(), isUrl);
    if (link) {
        QCOMPARE(link->absoluteString(), input);
        QCOMPARE(link->scheme(), scheme);
        QVERIFY(link->toQUrl().isValid());
    }
}

void TestInformation::equalityAndHash()
{
    TimeZoneScope pinned("UTC");
    const Information a(QStringLiteral("T"), QStringLiteral("news"), april1, Url::fromString("https://h/1"));
    // The same instant written with another offset is the same date.
    const Information b(QStringLiteral("T"), QStringLiteral("news"), april1.toOffsetFromUtc(9 * 3600),
                        Url::fromString("https://h/1"));
    QVERIFY(a == b);
    QCOMPARE(qHash(a), qHash(b));

    Information changed = a;  // a setter makes a new record and leaves the original alone
    changed.setLink(Url::fromString("https://h/1/"));
    QVERIFY(a != changed);
    QCOMPARE(a.link()->absoluteString(), QStringLiteral("https://h/1"));
    changed = a;
    changed.setDate(april1.addSecs(1));
    QVERIFY(a != changed);
    QVERIFY(a.identifier() != changed.identifier());

    // An absent field equals nothing, not even another absent field: only the record itself.
    const Information partial(QStringLiteral("T"), {}, april1, {});
    const Information twin(QStringLiteral("T"), {}, april1, {});
    const Information copy = partial;
    QVERIFY(partial == partial);
    QVERIFY(copy == partial);
    QVERIFY(partial != twin);
    QCOMPARE(partial.identifier(), twin.identifier());
    QCOMPARE(partial.hash(), twin.hash());
}

void TestInformation::dictionaryRoundTrip()
{
    TimeZoneScope pinned("UTC");
    const Information original(QStringLiteral(" Title "), QStringLiteral("event"), april1,
                               Url::fromString("HTTPS://Example.com/%7ea"));
    const QVariantMap dictionary = original.dictionary();
    QCOMPARE(dictionary.size(), 4);
    QCOMPARE(dictionary.value("date").typeId(), QMetaType::QDateTime);
    QCOMPARE(dictionary.value("link"), QVariant(QStringLiteral("HTTPS://Example.com/%7ea")));
    QVERIFY(Information::initWithDictionary(dictionary) == original);

    // Absent fields have no entry and come back absent, not empty.
    const Information partial({}, QString(), {}, {});
    QCOMPARE(partial.dictionary().keys(), QStringList{QStringLiteral("category")});
    QCOMPARE(Information::initWithDictionary(partial.dictionary()).identifier(), partial.identifier());

    // Values of the wrong type are absent.
    const Information wrong = Information::initWithDictionary(
        {{"title", 42}, {"category", QStringList{"news"}}, {"date", "Wed, 01 Apr 2015 00:00:00 +0000"},
         {"link", "not a url"}});
    QVERIFY(!wrong.title() && !wrong.category() && !wrong.date() && !wrong.link());
}

void TestInformation::openLink_data()
{
    QTest::addColumn<QString>("link");  // empty: absent
    QTest::addColumn<bool>("browserSucceeds");
    QTest::addColumn<bool>("expectBrowser");
    QTest::addColumn<bool>("expectResult");
    QTest::newRow("http") << "http://h/a" << true << true << true;
    QTest::newRow("https refused by the browser") << "https://h/a" << false << true << false;
    QTest::newRow("capital scheme") << "HTTPS://h/a" << true << false << true;
    QTest::newRow("mailto") << "mailto:a@h" << true << false << true;
    QTest::newRow("ftp") << "ftp://h/" << true << false << true;
    QTest::newRow("relative") << "a/b.html" << true << false << true;
    QTest::newRow("absent") << "" << true << false << true;
}

void TestInformation::openLink()
{
    QFETCH(QString, link);
    QFETCH(bool, browserSucceeds);
    QFETCH(bool, expectBrowser);
    QFETCH(bool, expectResult);
    const Information information(QStringLiteral("Item title"), {}, {}, Url::fromString(link));
    QList<QUrl> opened;
    QStringList alerts;
    const LinkOpener opener{[&](const QUrl& url) { opened.append(url); return browserSucceeds; },
                            [&](const QString& text) { alerts.append(text); }};
    QCOMPARE(information.openLink(opener), expectResult);
    QCOMPARE(opened, expectBrowser ? QList<QUrl>{QUrl(link)} : QList<QUrl>{});
    QCOMPARE(alerts, expectBrowser ? QStringList{} : QStringList{QStringLiteral("Item title")});
}

void TestInformation::parseStatus_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count");
    QTest::newRow("empty bytes") << QByteArray() << int(Status::NotXml) << 0;
    QTest::newRow("plain text") << QByteArray("Service unavailable") << int(Status::NotXml) << 0;
    QTest::newRow("undeclared entity") << rss("<item><title>&nbsp;</title></item>") << int(Status::NotXml) << 0;
    QTest::newRow("rss without items") << rss("") << int(Status::Rss) << 0;
    QTest::newRow("rss without channel") << QByteArray("<rss/>") << int(Status::Rss) << 0;
    QTest::newRow("rss with items") << rss("<item/><item/>") << int(Status::Rss) << 2;
    QTest::newRow("html root") << QByteArray("<html><body>Log in</body></html>") << int(Status::NotRss) << 0;
    QTest::newRow("prefixed rss root") << QByteArray("<r:rss xmlns:r=\"urn:x\"><channel><item/></channel></r:rss>")
                                       << int(Status::NotRss) << 0;
}

void TestInformation::parseStatus()
{
    QFETCH(QByteArray, data);
    QFETCH(int, status);
    QFETCH(int, count);
    // Only a read failure is logged, once per parse.
    const QRegularExpression readError("^Failed to read rss document with error: .+");
    if (status == int(Status::NotXml)) {
        QTest::ignoreMessage(QtWarningMsg, readError);
        QTest::ignoreMessage(QtWarningMsg, readError);
    } else {
        QTest::failOnWarning(QRegularExpression(".*"));
    }
    const FeedParseResult result = parseFeed(data);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.informations.size(), count);
    QCOMPARE(Information::informationsWithData(data).size(), count);
}

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
