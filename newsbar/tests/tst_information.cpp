// Information records, identifiers, the shared date formatter, links and the RSS reader.
#include "feed/feedparser.h"
#include "feed/information.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>
#include <vector>

using Status = FeedParseResult::Status;

namespace {

const QDateTime april1 = QDateTime(QDate(2015, 4, 1), QTime(0, 0), Qt::UTC);

std::optional<QString> text(const char* value)
{
    if (!value)
        return std::nullopt;
    return QString::fromUtf8(value);
}

std::optional<Url> url(const char* value)
{
    auto link = Url::fromString(QString::fromUtf8(value));
    if (!link)
        qFatal("test link %s is not a URL", value);
    return link;
}

QByteArray rss(const QByteArray& items)
{
    return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>t</title>" + items
         + "</channel></rss>";
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<QDateTime>)
Q_DECLARE_METATYPE(std::optional<Url>)

class TestInformation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void identifier_data();
    void identifier();
    void identifierFollowsTimeZone();
    void hexRepresentationTable_data();
    void hexRepresentationTable();
    void dateFormatterReadsInstant();
    void dateFormatterConcurrentUse();
    void urlKeepsText_data();
    void urlKeepsText();
    void equalityAndHash();
    void dictionaryRoundTrip();
    void initWithDictionaryIgnoresWrongTypes();
    void descriptionText();
    void openLink_data();
    void openLink();
    void parseStatus_data();
    void parseStatus();
    void parseFields();
    void parseTwiceGivesEqualRecords();
};

// Expected digests were computed outside this code base from the identity texts in the comments.
void TestInformation::identifier_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<std::optional<QString>>("title");
    QTest::addColumn<std::optional<QString>>("category");
    QTest::addColumn<std::optional<QDateTime>>("date");
    QTest::addColumn<std::optional<Url>>("link");
    QTest::addColumn<QString>("expected");

    // "title: A, category: news, date: Wed, 01 Apr 2015 09:00:00 +0900, link: (null)"
    QTest::newRow("example in UTC+09:00")
        << QByteArray("Asia/Tokyo") << text("A") << text("news")
        << std::optional<QDateTime>(april1) << std::optional<Url>()
        << "b2931f8c6066321e504a4d8d4c2a485fd06bc5f1d7ddd15dd7e82fe6721a3e4f";
    // "title: A, category: news, date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)"
    QTest::newRow("example in UTC")
        << QByteArray("UTC") << text("A") << text("news") << std::optional<QDateTime>(april1)
        << std::optional<Url>()
        << "17df8d221dd919fe827b6dbf7be2ed34d2105c106b803480990aadea76b4f483";
    // "title: A, category: (null), date: Wed, 01 Apr 2015 00:00:00 +0000, link: (null)"
    QTest::newRow("no category")
        << QByteArray("UTC") << text("A") << std::optional<QString>()
        << std::optional<QDateTime>(april1) << std::optional<Url>()
        << "6aa9e6ad3ea9897306c387a3c6fa30608836d2e7b588eaafcceb6da8d986d3e9";
    // "title:   A, category: news, date: (null), link: HTTP://Example.COM/%7e"
    QTest::newRow("leading blanks, link as written")
        << QByteArray("UTC") << text("  A") << text("news") << std::optional<QDateTime>()
        << url("HTTP://Example.COM/%7e")
        << "25147d51b6988cc39b4e5bb989ce71ae6de2b1792f50d433a653a3ad138853f9";
    // "title: (null), category: (null), date: (null), link: (null)"
    QTest::newRow("all absent")
        << QByteArray("UTC") << std::optional<QString>() << std::optional<QString>()
        << std::optional<QDateTime>() << std::optional<Url>()
        << "17b0aa5c5f17d623070563ddcc4e79b25c35a8fa8c2fea4df178d3964c9e40fa";
    // "title: , category: , date: (null), link: mailto:a@example.com"
    QTest::newRow("empty is not absent")
        << QByteArray("UTC") << text("") << text("") << std::optional<QDateTime>()
        << url("mailto:a@example.com")
        << "fa4ec53c6d351e0ddf5c097e1135fd6213a1906051ad24bb2cf9334a61048dc5";
    // "title: 日本語, category: お知らせ, date: Tue, 31 Mar 2015 15:00:00 -0900, link: news/1.html"
    QTest::newRow("UTF-8, negative offset, relative link")
        << QByteArray("Etc/GMT+9") << text("日本語") << text("お知らせ")
        << std::optional<QDateTime>(april1) << url("news/1.html")
        << "416d61c6786b87f84e661d949dab520602a3c076d1d349a06f6d38dee0d21482";
}

void TestInformation::identifier()
{
    QFETCH(QByteArray, zone);
    QFETCH(std::optional<QString>, title);
    QFETCH(std::optional<QString>, category);
    QFETCH(std::optional<QDateTime>, date);
    QFETCH(std::optional<Url>, link);
    QFETCH(QString, expected);

    TimeZoneScope pinned(zone);
    const Information information(title, category, date, link);
    QCOMPARE(information.identifier(), expected);
}

void TestInformation::identifierFollowsTimeZone()
{
    const Information information(QStringLiteral("A"), QStringLiteral("news"), april1, {});
    QString inTokyo;
    {
        TimeZoneScope pinned("Asia/Tokyo");
        inTokyo = information.identifier();
        QVERIFY(information.description().contains(
            QLatin1String("date: Wed, 01 Apr 2015 09:00:00 +0900")));
    }
    TimeZoneScope pinned("UTC");
    QVERIFY(inTokyo != information.identifier());
    QVERIFY(information.description().contains(
        QLatin1String("date: Wed, 01 Apr 2015 00:00:00 +0000")));
    // A record without date does not depend on the zone.
    const Information undated(QStringLiteral("A"), {}, {}, {});
    const QString undatedUtc = undated.identifier();
    TimeZoneScope tokyo("Asia/Tokyo");
    QCOMPARE(undated.identifier(), undatedUtc);
}

void TestInformation::hexRepresentationTable_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("00 ff 1a") << QByteArray::fromHex("00ff1a") << "00ff1a";
    QTest::newRow("every nibble") << QByteArray::fromHex("0123456789abcdeffedcba9876543210")
                                  << "0123456789abcdeffedcba9876543210";
    QTest::newRow("high bit bytes") << QByteArray::fromHex("80c0f7") << "80c0f7";
}

void TestInformation::hexRepresentationTable()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const QString hex = hexRepresentation(bytes);
    QCOMPARE(hex, expected);
    QCOMPARE(hex.isNull(), false);
}

void TestInformation::dateFormatterReadsInstant()
{
    TimeZoneScope pinned("America/New_York");
    const DateFormatter& formatter = Information::dateFormatter();
    QCOMPARE(&formatter, &DateFormatter::shared());
    const auto date = formatter.dateFromString(QStringLiteral("Wed, 01 Apr 2015 09:00:00 +0900"));
    QVERIFY(date.has_value());
    QCOMPARE(*date, april1);
    QCOMPARE(date->timeSpec(), Qt::UTC);
    // Daylight saving time in New York on that day.
    QCOMPARE(formatter.stringFromDate(april1), QStringLiteral("Tue, 31 Mar 2015 20:00:00 -0400"));
    QCOMPARE(formatter.stringFromDate(QDateTime(QDate(2015, 1, 1), QTime(0, 0), Qt::UTC)),
             QStringLiteral("Wed, 31 Dec 2014 19:00:00 -0500"));
    QVERIFY(!formatter.dateFromString(QStringLiteral("2015-04-01T09:00:00+09:00")));
    QVERIFY(!formatter.dateFromString(QString()));
    QCOMPARE(formatter.stringFromDate(QDateTime()), QString());
}

void TestInformation::dateFormatterConcurrentUse()
{
    // The parse thread reads dates while the main thread writes identifiers.
    TimeZoneScope pinned("UTC");
    std::atomic<int> failures{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(QThread::create([t, &failures] {
            const DateFormatter& formatter = DateFormatter::shared();
            for (int i = 0; i < 1500; ++i) {
                const QDateTime when = april1.addSecs(3600 * (t * 1500 + i));
                const QString written = formatter.stringFromDate(when);
                if (formatter.dateFromString(written) != std::optional<QDateTime>(when))
                    ++failures;
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(60000));
    QCOMPARE(failures.load(), 0);
}

void TestInformation::urlKeepsText_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("isUrl");
    QTest::addColumn<QString>("scheme");

    QTest::newRow("https") << "https://www.example.com/a" << true << "https";
    QTest::newRow("capital scheme kept") << "HTTP://Example.COM/" << true << "HTTP";
    QTest::newRow("qrc resource") << "qrc:/feeds/sample.xml" << true << "qrc";
    QTest::newRow("relative") << "news/1.html" << true << "";
    QTest::newRow("query with colon") << "?a=b:c" << true << "";
    QTest::newRow("colon after slash") << "a/b:c" << true << "";
    QTest::newRow("escaped") << "https://h/%41%7e" << true << "https";
    QTest::newRow("empty") << "" << false << "";
    QTest::newRow("leading space") << " https://h/" << false << "";
    QTest::newRow("trailing tab") << "https://h/\t" << false << "";
    QTest::newRow("short escape") << "https://h/%4" << false << "";
    QTest::newRow("non-hex escape") << "https://h/%zz" << false << "";
    QTest::newRow("two hashes") << "https://h/#a#b" << false << "";
    QTest::newRow("non-ASCII") << "https://h/\u00e9" << false << "";
    QTest::newRow("colon in first segment") << "a:b/c:d" << true << "a";
    QTest::newRow("digit-led scheme") << "9a:b" << false << "";
    QTest::newRow("lone colon") << ":" << false << "";
    QTest::newRow("bracket in query") << "http://h/?a[0]=1" << false << "";
    QTest::newRow("IPv6 host") << "http://[fe80::1]/" << true << "http";
}

void TestInformation::urlKeepsText()
{
    QFETCH(QString, input);
    QFETCH(bool, isUrl);
    QFETCH(QString, scheme);
    const auto link = Url::fromString(input);
    QCOMPARE(link.has_value(), isUrl);
    if (!link)
        return;
    QCOMPARE(link->absoluteString(), input);
    QCOMPARE(link->scheme(), scheme);
    QVERIFY(link->toQUrl().isValid());
}

void TestInformation::equalityAndHash()
{
    TimeZoneScope pinned("UTC");
    const auto complete = [] {
        return Information(QStringLiteral("T"), QStringLiteral("news"), april1,
                           Url::fromString(QStringLiteral("https://h/1")));
    };
    const Information a = complete();
    const Information b = complete();
    QVERIFY(a.isEqualToInformation(b));
    QVERIFY(a == b);
    QCOMPARE(a.hash(), b.hash());
    QCOMPARE(qHash(a), qHash(b));

    // The same instant written in another zone is the same date.
    const Information c(QStringLiteral("T"), QStringLiteral("news"),
                        april1.toOffsetFromUtc(9 * 3600),
                        Url::fromString(QStringLiteral("https://h/1")));
    QVERIFY(a == c);

    struct Change { const char* name; std::function<void(Information&)> apply; };
    const std::vector<Change> changes = {
        {"title", [](Information& i) { i.setTitle(QStringLiteral("T ")); }},
        {"category", [](Information& i) { i.setCategory(QStringLiteral("News")); }},
        {"date", [](Information& i) { i.setDate(april1.addSecs(1)); }},
        {"link", [](Information& i) { i.setLink(Url::fromString(QStringLiteral("https://h/1/"))); }},
        {"absent title", [](Information& i) { i.setTitle(std::nullopt); }},
        {"absent date", [](Information& i) { i.setDate(std::nullopt); }},
    };
    for (const Change& change : changes) {
        Information changed = complete();
        change.apply(changed);
        QVERIFY2(!(a == changed), change.name);
        QVERIFY2(!(changed == a), change.name);
        QVERIFY2(changed.identifier() != a.identifier(), change.name);
    }

    // An absent field equals nothing, not even another absent field: only the record itself.
    const Information partial(QStringLiteral("T"), std::nullopt, april1, std::nullopt);
    const Information partialTwin(QStringLiteral("T"), std::nullopt, april1, std::nullopt);
    QVERIFY(partial == partial);
    QVERIFY(partial.isEqualToInformation(partial));
    const Information sharedCopy = partial;
    QVERIFY(sharedCopy == partial);
    QVERIFY(!(partial == partialTwin));
    QCOMPARE(partial.hash(), partialTwin.hash());
    QCOMPARE(partial.identifier(), partialTwin.identifier());
    QCOMPARE(partial.hash(), qHash(QStringLiteral("T")) ^ qHash(april1));

    // Setters make a new record; the original stays as it was.
    Information detached = partial;
    detached.setCategory(QStringLiteral("news"));
    QVERIFY(!partial.category().has_value());
    QVERIFY(!(detached == partial));
}

void TestInformation::dictionaryRoundTrip()
{
    TimeZoneScope pinned("UTC");
    const Information original(QStringLiteral(" Title "), QStringLiteral("event"), april1,
                               Url::fromString(QStringLiteral("HTTPS://Example.com/%7ea")));
    const QVariantMap dictionary = original.dictionary();
    QCOMPARE(dictionary.size(), 4);
    QCOMPARE(dictionary.value("title").toString(), QStringLiteral(" Title "));
    QCOMPARE(dictionary.value("category").toString(), QStringLiteral("event"));
    QCOMPARE(dictionary.value("date").typeId(), QMetaType::QDateTime);
    QCOMPARE(dictionary.value("date").toDateTime(), april1);
    QCOMPARE(dictionary.value("link").toString(), QStringLiteral("HTTPS://Example.com/%7ea"));

    const Information restored = Information::initWithDictionary(dictionary);
    QVERIFY(restored == original);
    QCOMPARE(restored.identifier(), original.identifier());

    // Absent fields have no entry and come back absent, not empty.
    const Information partial(std::nullopt, QString(), std::nullopt, std::nullopt);
    const QVariantMap partialDictionary = partial.dictionary();
    QCOMPARE(partialDictionary.keys(), QStringList{QStringLiteral("category")});
    const Information partialRestored = Information::initWithDictionary(partialDictionary);
    QVERIFY(!partialRestored.title().has_value());
    QCOMPARE(partialRestored.category(), std::optional<QString>(QString()));
    QCOMPARE(partialRestored.identifier(), partial.identifier());
}

void TestInformation::initWithDictionaryIgnoresWrongTypes()
{
    QVariantMap dictionary;
    dictionary.insert("title", 42);
    dictionary.insert("category", QStringList{"news"});
    dictionary.insert("date", QStringLiteral("Wed, 01 Apr 2015 00:00:00 +0000"));
    dictionary.insert("link", QStringLiteral("not a url"));
    const Information information = Information::initWithDictionary(dictionary);
    QVERIFY(!information.title());
    QVERIFY(!information.category());
    QVERIFY(!information.date());
    QVERIFY(!information.link());

    dictionary.insert("date", QDateTime());
    QVERIFY(!Information::initWithDictionary(dictionary).date());
}

void TestInformation::descriptionText()
{
    TimeZoneScope pinned("UTC");
    const Information information(QStringLiteral("A %1"), std::nullopt, april1,
                                  Url::fromString(QStringLiteral("https://h/")));
    static const QRegularExpression pattern(QStringLiteral(
        "\\A<Information: 0x[0-9a-f]+> title: A %1, category: \\(null\\), "
        "date: Wed, 01 Apr 2015 00:00:00 \\+0000, link: https://h/\\z"));
    QVERIFY2(pattern.match(information.description()).hasMatch(),
             qPrintable(information.description()));
}

void TestInformation::openLink_data()
{
    QTest::addColumn<QString>("link");  // empty: absent
    QTest::addColumn<bool>("browserSucceeds");
    QTest::addColumn<bool>("expectBrowser");
    QTest::addColumn<bool>("expectResult");

    QTest::newRow("http") << "http://h/a" << true << true << true;
    QTest::newRow("https refused") << "https://h/a" << false << true << false;
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

    const Information information(QStringLiteral("Item title"), std::nullopt, std::nullopt,
                                  link.isEmpty() ? std::nullopt : Url::fromString(link));
    QList<QUrl> opened;
    QStringList alerts;
    LinkOpener opener;
    opener.openURL = [&](const QUrl& url) {
        opened.append(url);
        return browserSucceeds;
    };
    opener.showAlert = [&](const QString& text) { alerts.append(text); };

    QCOMPARE(information.openLink(opener), expectResult);
    if (expectBrowser) {
        QCOMPARE(opened, QList<QUrl>{QUrl(link)});
        QVERIFY(alerts.isEmpty());
    } else {
        QVERIFY(opened.isEmpty());
        QCOMPARE(alerts, QStringList{QStringLiteral("Item title")});
    }
}

void TestInformation::parseStatus_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("logs");

    QTest::newRow("empty bytes") << QByteArray() << int(Status::NotXml) << 0 << true;
    QTest::newRow("plain text") << QByteArray("Service unavailable") << int(Status::NotXml) << 0
                                << true;
    QTest::newRow("rss without items") << rss("") << int(Status::Rss) << 0 << false;
    QTest::newRow("rss without channel") << QByteArray("<rss/>") << int(Status::Rss) << 0 << false;
    QTest::newRow("rss with items") << rss("<item/><item/>") << int(Status::Rss) << 2 << false;
    QTest::newRow("html root") << QByteArray("<html><body><p>Log in</p></body></html>")
                               << int(Status::NotRss) << 0 << false;
    QTest::newRow("prefixed rss root")
        << QByteArray("<r:rss xmlns:r=\"urn:x\"><channel><item/></channel></r:rss>")
        << int(Status::NotRss) << 0 << false;
    QTest::newRow("undefined entity") << rss("<item><title>&nbsp;</title></item>")
                                      << int(Status::NotXml) << 0 << true;
}

void TestInformation::parseStatus()
{
    QFETCH(QByteArray, data);
    QFETCH(int, status);
    QFETCH(int, count);
    QFETCH(bool, logs);

    if (logs)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Failed to read rss document with error: .+"));
    else
        QTest::failOnWarning(QRegularExpression(".*"));
    const FeedParseResult result = parseFeed(data);
    QCOMPARE(int(result.status), status);
    QCOMPARE(result.informations.size(), count);
    if (logs)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Failed to read rss document with error: .+"));
    QCOMPARE(Information::informationsWithData(data).size(), count);
}

void TestInformation::parseFields()
{
    TimeZoneScope pinned("UTC");
    const QByteArray data = rss(
        "<item><title> A </title><category>news</category>"
        "<pubDate>Wed, 01 Apr 2015 09:00:00 +0900</pubDate>"
        "<link>https://h/a?x=1&amp;y=2</link><guid>ignored</guid></item>"
        "<item><category>only</category><link> https://h/ </link></item>");
    const QList<Information> informations = Information::informationsWithData(data);
    QCOMPARE(informations.size(), 2);
    const Information& first = informations.at(0);
    QCOMPARE(first.title(), std::optional<QString>(QStringLiteral(" A ")));
    QCOMPARE(first.category(), std::optional<QString>(QStringLiteral("news")));
    QCOMPARE(first.date(), std::optional<QDateTime>(april1));
    QVERIFY(first.link().has_value());
    QCOMPARE(first.link()->absoluteString(), QStringLiteral("https://h/a?x=1&y=2"));
    const Information& second = informations.at(1);
    QVERIFY(!second.title().has_value());
    QVERIFY(!second.date().has_value());
    QVERIFY(!second.link().has_value());
}

void TestInformation::parseTwiceGivesEqualRecords()
{
    TimeZoneScope pinned("Asia/Tokyo");
    const QByteArray data = rss(
        "<item><title>A</title><category>news</category>"
        "<pubDate>Wed, 01 Apr 2015 09:00:00 +0900</pubDate><link>https://h/a</link></item>"
        "<item><title>B</title></item>");
    const QList<Information> once = Information::informationsWithData(data);
    const QList<Information> twice = Information::informationsWithData(data);
    QCOMPARE(once.size(), 2);
    QCOMPARE(twice.size(), 2);
    for (qsizetype i = 0; i < once.size(); ++i)
        QCOMPARE(once.at(i).identifier(), twice.at(i).identifier());
    QVERIFY(once.at(0) == twice.at(0));
    QCOMPARE(qHash(once.at(0)), qHash(twice.at(0)));
    // B lacks fields, so it equals only itself.
    QVERIFY(!(once.at(1) == twice.at(1)));
}

QTEST_GUILESS_MAIN(TestInformation)
#include "tst_information.moc"
