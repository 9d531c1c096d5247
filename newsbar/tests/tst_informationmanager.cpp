// The information manager against a local HTTP server, with preferences in a temporary file.
#include "feed/bundleinfo.h"
#include "feed/informationmanager.h"
#include "testsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

struct Item
{
    QByteArray title;
    QByteArray category = "news";
    QByteArray date = "Wed, 01 Apr 2015 09:00:00 +0900";
    QByteArray link;
};

QList<Item> items(int count, int first = 1)
{
    QList<Item> list;
    for (int n = first; n < first + count; ++n)
        list.append({"Item " + QByteArray::number(n), "news",
                     "Wed, 01 Apr 2015 09:00:00 +0900",
                     "https://www.example.com/news/" + QByteArray::number(n)});
    return list;
}

QByteArray feed(const QList<Item>& list)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>"
                     "<title>News</title>\n";
    for (const Item& item : list)
        xml += "<item><title>" + item.title + "</title><category>" + item.category
             + "</category><pubDate>" + item.date + "</pubDate><link>" + item.link
             + "</link></item>\n";
    return xml + "</channel></rss>\n";
}

QSet<QString> identifiers(const QList<Information>& list)
{
    QSet<QString> set;
    for (const Information& information : list)
        set.insert(information.identifier());
    return set;
}

QSet<QString> identifiers(const QList<Item>& list)
{
    return identifiers(Information::informationsWithData(feed(list)));
}

// What a later run would find in the store, read through a separate QSettings.
std::optional<QSet<QString>> stored(const QString& path, const QString& key)
{
    QSettings settings(path, QSettings::IniFormat);
    if (!settings.contains(key + "/size"))
        return std::nullopt;
    QSet<QString> set;
    const int size = settings.beginReadArray(key);
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        set.insert(settings.value("identifier").toString());
    }
    settings.endArray();
    return set;
}

} // namespace

class TestInformationManager : public QObject
{
    Q_OBJECT

private:
    // One manager per test, with its own server, preferences file and network.
    struct Fixture
    {
        explicit Fixture(std::optional<QUrl> url = std::nullopt)
        {
            if (!url)
                url = QUrl(QString::fromLatin1(server.url("/feed.xml")));
            settings = std::make_unique<QSettings>(preferencesPath(), QSettings::IniFormat);
            manager = std::make_unique<InformationManager>(url, settings.get(), &network);
        }
        QString preferencesPath() const { return directory.filePath("preferences.ini"); }
        // A fresh manager on its own view of the same store, as at the next start of the program.
        struct Restarted
        {
            std::unique_ptr<QSettings> settings;
            std::unique_ptr<InformationManager> manager;
            InformationManager* operator->() const { return manager.get(); }
        };
        Restarted restart()
        {
            Restarted next;
            next.settings = std::make_unique<QSettings>(preferencesPath(), QSettings::IniFormat);
            next.manager = std::make_unique<InformationManager>(manager->feedURL(),
                                                                next.settings.get(), &network);
            return next;
        }

        QTemporaryDir directory;
        FeedServer server;
        QNetworkAccessManager network;
        std::unique_ptr<QSettings> settings;
        std::unique_ptr<InformationManager> manager;
    };

    // Runs one refresh and waits for its outcome.
    static bool refresh(InformationManager& manager, bool expectInstalled)
    {
        QSignalSpy finished(&manager, &InformationManager::refreshDidFinish);
        manager.refresh();
        if (!finished.wait(20000))
            return false;
        return finished.size() == 1 && finished.at(0).at(0).toBool() == expectInstalled;
    }

    TimeZoneScope m_zone{"UTC"};
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase();
    void firstRunSeedsTheFirstList();
    void newItemsAreUnreadAndNotNotified();
    void correctedTitleCountsAsNew();
    void makeAllReadBeforeAnyList();
    void sameListPostsAndSavesNothing();
    void markingReadAlwaysSavesAndPosts();
    void failedDownloadChangesNothing_data();
    void failedDownloadChangesNothing();
    void emptyRssDocumentEmptiesTheList();
    void sizeLimit();
    void periodicUpdate();
    void restoreToleratesForeignPreferences();
    void noFeedURL();
    void defaultNetworkHonoursHttpCaching();
    void sharedManagerReadsBundleInformation();
};

void TestInformationManager::initTestCase()
{
    // Whatever the default locations are used for (the disk cache, the default settings) stays
    // in a private temporary home.
    QVERIFY(m_home.isValid());
    for (const char* variable : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        qputenv(variable, QFile::encodeName(m_home.filePath(QString::fromLatin1(variable))));
    QLocale::setDefault(QLocale::c());
}

void TestInformationManager::firstRunSeedsTheFirstList()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(items(10)));
    QVERIFY(!f.manager->readItems());
    QVERIFY(!f.manager->notifiedItems());
    QCOMPARE(f.manager->interval(), 86400.0);

    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(updates.size(), 1);
    QCOMPARE(updates.at(0).at(0).value<InformationManager*>(), f.manager.get());

    QVERIFY(f.manager->informations());
    QCOMPARE(f.manager->informations()->size(), 10);
    QCOMPARE(f.manager->informations()->first().title(),
             std::optional<QString>(QStringLiteral("Item 1")));
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(0));
    const QSet<QString> ten = identifiers(items(10));
    QCOMPARE(ten.size(), 10);
    QCOMPARE(f.manager->readItems(), std::optional(ten));
    QCOMPARE(f.manager->notifiedItems(), std::optional(ten));
    for (const Information& information : *f.manager->informations()) {
        QVERIFY(f.manager->isInformationNotified(information));
        QVERIFY(f.manager->isInformationRead(information));
    }
    QCOMPARE(stored(f.preferencesPath(), "NotifiedItems"), std::optional(ten));
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(ten));
}

void TestInformationManager::newItemsAreUnreadAndNotNotified()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(items(10)));
    QVERIFY(refresh(*f.manager, true));

    // Two newer items at the top, as news feeds list them.
    const QList<Item> twelve = items(2, 11) + items(10);
    f.server.setFeed("/feed.xml", feed(twelve));
    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(updates.size(), 1);
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(2));

    QList<Information> notNotified;
    for (const Information& information : *f.manager->informations()) {
        if (!f.manager->isInformationNotified(information))
            notNotified.append(information);
    }
    QCOMPARE(notNotified.size(), 2);
    QCOMPARE(notNotified.at(0).title(), std::optional<QString>(QStringLiteral("Item 11")));
    QCOMPARE(notNotified.at(1).title(), std::optional<QString>(QStringLiteral("Item 12")));

    // Notifying is not an update.
    for (const Information& information : notNotified)
        f.manager->setInformationNotified(information);
    QCOMPARE(updates.size(), 1);
    QCOMPARE(stored(f.preferencesPath(), "NotifiedItems"), std::optional(identifiers(twelve)));
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(identifiers(items(10))));
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(2));

    // The next start restores both sets.
    const auto restarted = f.restart();
    QCOMPARE(restarted->notifiedItems(), std::optional(identifiers(twelve)));
    QCOMPARE(restarted->readItems(), std::optional(identifiers(items(10))));
}

void TestInformationManager::correctedTitleCountsAsNew()
{
    Fixture f;
    QList<Item> list = items(5);
    f.server.setFeed("/feed.xml", feed(list));
    QVERIFY(refresh(*f.manager, true));
    const QSet<QString> before = identifiers(list);

    list[2].title = "Item 3 (corrected)";
    f.server.setFeed("/feed.xml", feed(list));
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(1));
    const Information& corrected = f.manager->informations()->at(2);
    QVERIFY(!f.manager->isInformationRead(corrected));
    QVERIFY(!f.manager->isInformationNotified(corrected));
    // Nothing is ever removed: the old identifier stays stored.
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(before));

    f.manager->setInformationRead(corrected);
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(0));
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"),
             std::optional(before + QSet<QString>{corrected.identifier()}));
}

void TestInformationManager::makeAllReadBeforeAnyList()
{
    Fixture f;
    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    f.manager->makeAllInformationsAsRead();
    QCOMPARE(updates.size(), 1);
    QCOMPARE(f.manager->readItems(), std::optional(QSet<QString>()));
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(QSet<QString>()));
    QCOMPARE(stored(f.preferencesPath(), "NotifiedItems"), std::nullopt);
    QCOMPARE(f.restart()->readItems(), std::optional(QSet<QString>()));

    // No seeding now: the first list is unread and not notified.
    f.server.setFeed("/feed.xml", feed(items(3)));
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(updates.size(), 2);
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(3));
    QVERIFY(!f.manager->notifiedItems());
    for (const Information& information : *f.manager->informations())
        QVERIFY(!f.manager->isInformationNotified(information));

    f.manager->makeAllInformationsAsRead();
    QCOMPARE(updates.size(), 3);
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(0));
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(identifiers(items(3))));
    // Also posted when nothing changed.
    f.manager->makeAllInformationsAsRead();
    QCOMPARE(updates.size(), 4);
}

void TestInformationManager::sameListPostsAndSavesNothing()
{
    Fixture f;
    const auto list = std::make_shared<const QList<Information>>(
        Information::informationsWithData(feed(items(4))));
    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    f.manager->setInformations(list);
    QCOMPARE(updates.size(), 1);
    QVERIFY(stored(f.preferencesPath(), "ReadItems"));

    // Erase the store behind the manager's back: a save would write it again.
    f.settings->clear();
    f.settings->sync();
    f.manager->setInformations(list);
    QCOMPARE(updates.size(), 1);
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::nullopt);

    // The same content in a new list is a new list.
    f.manager->setInformations(std::make_shared<const QList<Information>>(*list));
    QCOMPARE(updates.size(), 2);
    // Seeding happened once only, so nothing was saved for the second list either.
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::nullopt);
}

void TestInformationManager::markingReadAlwaysSavesAndPosts()
{
    Fixture f;
    f.manager->setInformations(std::make_shared<const QList<Information>>(
        Information::informationsWithData(feed(items(2)))));
    const Information first = f.manager->informations()->first();
    QVERIFY(f.manager->isInformationRead(first));

    f.settings->clear();
    f.settings->sync();
    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    f.manager->setInformationRead(first);
    QCOMPARE(updates.size(), 1);
    QCOMPARE(stored(f.preferencesPath(), "ReadItems"), std::optional(identifiers(items(2))));
    QCOMPARE(stored(f.preferencesPath(), "NotifiedItems"), std::optional(identifiers(items(2))));

    f.manager->setInformationNotified(first);
    QCOMPARE(updates.size(), 1);
}

void TestInformationManager::failedDownloadChangesNothing_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<bool>("refused");   // the connection is refused instead
    QTest::addColumn<QString>("log");

    const QByteArray rssBody = feed(items(1, 50));
    QTest::newRow("404 with an RSS body")
        << 404 << rssBody << QByteArray("application/rss+xml") << false
        << "failed: HTTP status 404";
    QTest::newRow("500") << 500 << QByteArray("<html><body>Internal error</body></html>")
                         << QByteArray("text/html") << false << "failed: HTTP status 500";
    QTest::newRow("captive portal page")
        << 200
        << QByteArray("<!DOCTYPE html><html><head><title>Log in</title></head>"
                      "<body><form><input name=\"room\"></form></body></html>")
        << QByteArray("text/html") << false << "not an RSS document";
    QTest::newRow("captive portal XHTML")
        << 200
        << QByteArray("<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>Log in</p>"
                      "</body></html>")
        << QByteArray("application/xhtml+xml") << false << "not an RSS document";
    QTest::newRow("empty body") << 200 << QByteArray() << QByteArray("application/rss+xml")
                                << false << "failed: no body";
    QTest::newRow("connection refused") << 0 << QByteArray() << QByteArray() << true
                                        << "failed: Connection refused";
}

void TestInformationManager::failedDownloadChangesNothing()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(bool, refused);
    QFETCH(QString, log);

    std::optional<QUrl> url;
    if (refused) {
        // A port that was free a moment ago.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/feed.xml").arg(probe.serverPort()));
    }
    Fixture f(url);
    const auto previous = std::make_shared<const QList<Information>>(
        Information::informationsWithData(feed(items(3))));
    f.manager->setInformations(previous);
    f.manager->setInformationRead(Information::informationsWithData(feed(items(1, 40))).first());
    const auto readBefore = f.manager->readItems();

    FeedServer::Response response;
    response.status = status;
    response.body = body;
    response.contentType = contentType;
    f.server.setResponse("/feed.xml", response);

    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(log)));
    if (body.startsWith("<!DOCTYPE html>"))
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^Failed to read rss document with error: "));
    QVERIFY(refresh(*f.manager, false));
    QCOMPARE(updates.size(), 0);
    QCOMPARE(f.manager->informations(), previous);
    QCOMPARE(f.manager->readItems(), readBefore);
    if (!refused)
        QCOMPARE(f.server.requestCount("/feed.xml"), 1);
}

void TestInformationManager::emptyRssDocumentEmptiesTheList()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(items(3)));
    QVERIFY(refresh(*f.manager, true));
    f.manager->setInformationRead(f.manager->informations()->first());

    f.server.setFeed("/feed.xml", feed({}));
    QSignalSpy updates(f.manager.get(), &InformationManager::InformationManagerDidUpdate);
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(updates.size(), 1);
    QVERIFY(f.manager->informations());
    QVERIFY(f.manager->informations()->isEmpty());
    QCOMPARE(f.manager->numberOfUnreadItems(), std::size_t(0));
    QCOMPARE(f.manager->readItems(), std::optional(identifiers(items(3))));
}

void TestInformationManager::sizeLimit()
{
    Fixture f;
    // A feed of exactly the limit, padded with a comment, is accepted.
    const QByteArray small = feed(items(1));
    const qsizetype padding = InformationManager::maximumFeedSize - small.size() - 7;
    QByteArray exact = small + "<!--" + QByteArray(padding, 'x') + "-->";
    QCOMPARE(exact.size(), InformationManager::maximumFeedSize);
    f.server.setFeed("/feed.xml", exact);
    QVERIFY(refresh(*f.manager, true));
    QCOMPARE(f.manager->informations()->size(), 1);
    const InformationList accepted = f.manager->informations();

    // One byte more is refused, announced by length or not.
    exact.append('\n');
    for (const bool sendLength : {true, false}) {
        FeedServer::Response response;
        response.body = exact;
        response.sendContentLength = sendLength;
        f.server.setResponse("/feed.xml", response);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused: larger than 8388608 bytes"));
        QVERIFY2(refresh(*f.manager, false), sendLength ? "with length" : "without length");
        QCOMPARE(f.manager->informations(), accepted);
    }
}

void TestInformationManager::periodicUpdate()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(items(2)));
    QVERIFY(!f.manager->timer());
    f.manager->startPeriodicalUpdate();
    QTimer* timer = f.manager->timer();
    QVERIFY(timer);
    QVERIFY(timer->isActive());
    QVERIFY(!timer->isSingleShot());
    QCOMPARE(timer->intervalAsDuration(), std::chrono::milliseconds(86400000));
    f.manager->startPeriodicalUpdate();
    QCOMPARE(f.manager->timer(), timer);
    QCOMPARE(f.manager->findChildren<QTimer*>().size(), 1);
    QCOMPARE(f.server.requestCount("/feed.xml"), 0);

    // Its timeouts download; shortened here so that two of them happen.
    timer->setInterval(50);
    QTRY_VERIFY_WITH_TIMEOUT(f.server.requestCount("/feed.xml") >= 2, 20000);

    f.manager->endPeriodicalUpdate();
    QVERIFY(!f.manager->timer());
    f.manager->endPeriodicalUpdate();
    QVERIFY(!f.manager->timer());
}

void TestInformationManager::restoreToleratesForeignPreferences()
{
    const QString valid = identifiers(items(1)).values().first();
    QTemporaryDir directory;
    const QString path = directory.filePath("preferences.ini");
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue("ReadItems", QStringLiteral("not an array"));
        settings.beginWriteArray("NotifiedItems", 5);
        const QStringList elements = {valid, "XYZ", valid.toUpper(), valid.left(63), valid + "0"};
        for (int i = 0; i < elements.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue("identifier", elements.at(i));
        }
        settings.endArray();
        settings.setValue("Other/size", 2);
    }
    QSettings settings(path, QSettings::IniFormat);
    InformationManager manager(std::nullopt, &settings, nullptr);
    QCOMPARE(manager.notifiedItems(), std::optional(QSet<QString>{valid}));
    QVERIFY(!manager.readItems());

    // With "ReadItems" unusable this is a first run: the first list is seeded.
    manager.setInformations(std::make_shared<const QList<Information>>(
        Information::informationsWithData(feed(items(2)))));
    QCOMPARE(manager.readItems(), std::optional(identifiers(items(2))));
    QCOMPARE(stored(path, "ReadItems"), std::optional(identifiers(items(2))));

    // A size that does not parse, or is negative, is not an array either.
    for (const QString& size : {QStringLiteral("many"), QStringLiteral("-1")}) {
        settings.setValue("ReadItems/size", size);
        settings.sync();
        manager.restoreState();
        QVERIFY2(!manager.readItems(), qPrintable(size));
    }
}

void TestInformationManager::noFeedURL()
{
    QTemporaryDir directory;
    QSettings settings(directory.filePath("preferences.ini"), QSettings::IniFormat);
    QNetworkAccessManager network;
    InformationManager manager(std::nullopt, &settings, &network);
    QSignalSpy finished(&manager, &InformationManager::refreshDidFinish);
    manager.refresh();
    QVERIFY(!finished.wait(200));
    QVERIFY(!manager.informations());
    QCOMPARE(manager.numberOfUnreadItems(), std::size_t(0));
}

void TestInformationManager::defaultNetworkHonoursHttpCaching()
{
    Fixture f;
    QNetworkAccessManager* network = InformationManager::createDefaultNetworkAccessManager(
        f.manager.get());
    auto* cache = qobject_cast<QNetworkDiskCache*>(network->cache());
    QVERIFY(cache);
    QVERIFY(cache->cacheDirectory().startsWith(m_home.filePath("XDG_CACHE_HOME")));

    FeedServer::Response fresh;
    fresh.body = feed(items(2));
    fresh.headers = {{"Cache-Control", "max-age=600"}};
    f.server.setResponse("/fresh.xml", fresh);
    FeedServer::Response uncached = fresh;
    uncached.headers = {{"Cache-Control", "no-store"}};
    f.server.setResponse("/uncached.xml", uncached);

    for (const QByteArray& path : {QByteArray("/fresh.xml"), QByteArray("/uncached.xml")}) {
        InformationManager manager(QUrl(QString::fromLatin1(f.server.url(path))),
                                   f.settings.get(), network);
        QSignalSpy updates(&manager, &InformationManager::InformationManagerDidUpdate);
        QVERIFY(refresh(manager, true));
        QVERIFY(refresh(manager, true));
        // Every download of a feed is an update, from the cache or not.
        QCOMPARE(updates.size(), 2);
        QCOMPARE(f.server.requestCount(path), path == "/fresh.xml" ? 1 : 2);
    }
}

void TestInformationManager::sharedManagerReadsBundleInformation()
{
    QCoreApplication::setOrganizationName(QStringLiteral("qzi-tests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_informationmanager"));

    BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"),
                         QStringLiteral("HTTP://127.0.0.1:9/Feed.xml"));
    QCOMPARE(BundleInfo::value(QStringLiteral("QZInformationFeedURL")),
             std::optional<QString>(QStringLiteral("HTTP://127.0.0.1:9/Feed.xml")));
    InformationManager* shared = InformationManager::sharedManager();
    QVERIFY(shared);
    QCOMPARE(InformationManager::sharedManager(), shared);
    QVERIFY(shared->feedURL());
    QCOMPARE(shared->feedURL()->host(), QStringLiteral("127.0.0.1"));
    QCOMPARE(shared->feedURL()->path(), QStringLiteral("/Feed.xml"));
    QVERIFY(!shared->readItems());

    BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"), std::nullopt);
    QVERIFY(!BundleInfo::value(QStringLiteral("QZInformationFeedURL")));
    BundleInfo::clearOverrides();
    // No resource is compiled into the tests.
    QVERIFY(!BundleInfo::value(QStringLiteral("QZInformationFeedURL")));
}

QTEST_GUILESS_MAIN(TestInformationManager)
#include "tst_informationmanager.moc"
