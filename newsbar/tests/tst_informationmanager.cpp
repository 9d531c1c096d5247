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

using Ids = std::optional<QSet<QString>>;

namespace {

// Items "Item first" ... "Item first+count-1"; the item numbered retitle has a corrected title.
QByteArray items(int first, int count, int retitle = 0)
{
    QByteArray xml;
    for (int n = first; n < first + count; ++n)
        xml += "<item><title>Item " + QByteArray::number(n) + (n == retitle ? " (corrected)" : "")
             + "</title><category>news</category><pubDate>Wed, 01 Apr 2015 09:00:00 +0900</pubDate>"
               "<link>https://www.example.com/news/" + QByteArray::number(n) + "</link></item>\n";
    return xml;
}

QByteArray rss(const QByteArray& items)
{
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\"><channel><title>News</title>\n" + items
         + "</channel></rss>\n";
}

QByteArray feed(int count, int first = 1) { return rss(items(first, count)); }

QList<Information> records(const QByteArray& xml) { return Information::informationsWithData(xml); }
InformationList list(const QByteArray& xml) { return std::make_shared<const QList<Information>>(records(xml)); }

QSet<QString> ids(const QByteArray& xml)
{
    QSet<QString> set;
    for (const Information& information : records(xml))
        set.insert(information.identifier());
    return set;
}

// What the next start of the program would find in the store.
Ids stored(const QString& path, const QString& key)
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

// A manager with its own server, preferences file and network.
struct Fixture
{
    explicit Fixture(std::optional<QUrl> url = std::nullopt)
        : settings(path(), QSettings::IniFormat),
          manager(url ? url : QUrl(server.url("/feed.xml")), &settings, &network),
          updates(&manager, &InformationManager::InformationManagerDidUpdate)
    {
    }
    QString path() const { return directory.filePath("preferences.ini"); }
    Ids stored(const char* key) const { return ::stored(path(), QLatin1String(key)); }
    // One refresh, waiting for its outcome.
    bool refresh(bool expectInstalled)
    {
        QSignalSpy finished(&manager, &InformationManager::refreshDidFinish);
        manager.refresh();
        return finished.wait(20000) && finished.size() == 1 && finished.at(0).at(0).toBool() == expectInstalled;
    }
    std::size_t unread() const { return manager.numberOfUnreadItems(); }

    QTemporaryDir directory;
    FeedServer server;
    QNetworkAccessManager network;
    QSettings settings;
    InformationManager manager;
    QSignalSpy updates;
};

} // namespace

class TestInformationManager : public QObject
{
    Q_OBJECT

    TimeZoneScope m_zone{"UTC"};
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // The default cache and settings locations stay inside a private home.
        for (const char* variable : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            qputenv(variable, QFile::encodeName(m_home.filePath(QLatin1String(variable))));
    }
    void firstRunSeedsTheFirstList();
    void newAndCorrectedItems();
    void makeAllReadBeforeAnyList();
    void announcementsAndSaves();
    void failedDownloadChangesNothing_data();
    void failedDownloadChangesNothing();
    void emptyRssDocumentEmptiesTheList();
    void sizeLimit();
    void periodicUpdate();
    void restoreToleratesForeignPreferences();
    void defaultNetworkHonoursHttpCaching();
    void sharedManagerReadsBundleInformation();
};

void TestInformationManager::firstRunSeedsTheFirstList()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(10));
    QVERIFY(!f.manager.readItems() && !f.manager.notifiedItems());
    QVERIFY(f.refresh(true));
    QCOMPARE(f.updates.size(), 1);
    QCOMPARE(f.updates.at(0).at(0).value<InformationManager*>(), &f.manager);
    QCOMPARE(f.manager.informations()->size(), 10);
    QCOMPARE(f.unread(), std::size_t(0));
    const Ids ten = ids(feed(10));
    QCOMPARE(ten->size(), 10);
    QCOMPARE(f.manager.notifiedItems(), ten);
    QCOMPARE(f.stored("NotifiedItems"), ten);
    QCOMPARE(f.stored("ReadItems"), ten);
}

void TestInformationManager::newAndCorrectedItems()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(10));
    QVERIFY(f.refresh(true));

    // Two newer items on top, and a corrected title further down.
    f.server.setFeed("/feed.xml", rss(items(11, 2) + items(1, 10, 3)));
    QVERIFY(f.refresh(true));
    QCOMPARE(f.updates.size(), 2);
    QCOMPARE(f.manager.informations()->size(), 12);
    QCOMPARE(f.unread(), std::size_t(3));
    QStringList notNotified;
    for (const Information& information : *f.manager.informations()) {
        if (!f.manager.isInformationNotified(information)) {
            notNotified.append(*information.title());
            f.manager.setInformationNotified(information);
        }
    }
    QCOMPARE(notNotified, (QStringList{"Item 11", "Item 12", "Item 3 (corrected)"}));
    // Notifying announces nothing; the old identifier of item 3 stays stored.
    QCOMPARE(f.updates.size(), 2);
    QCOMPARE(f.stored("NotifiedItems")->size(), 13);
    QCOMPARE(f.stored("ReadItems"), ids(feed(10)));
    QCOMPARE(f.unread(), std::size_t(3));

    // The next start restores both sets.
    QSettings settings(f.path(), QSettings::IniFormat);
    const InformationManager restarted(std::nullopt, &settings, &f.network);
    QCOMPARE(restarted.notifiedItems(), f.manager.notifiedItems());
    QCOMPARE(restarted.readItems(), ids(feed(10)));
}

void TestInformationManager::makeAllReadBeforeAnyList()
{
    Fixture f;
    f.manager.makeAllInformationsAsRead();
    QCOMPARE(f.updates.size(), 1);
    QCOMPARE(f.stored("ReadItems"), Ids(QSet<QString>()));
    QCOMPARE(f.stored("NotifiedItems"), std::nullopt);

    // No seeding now: the first list is unread and not notified.
    f.server.setFeed("/feed.xml", feed(3));
    QVERIFY(f.refresh(true));
    QCOMPARE(f.unread(), std::size_t(3));
    QVERIFY(!f.manager.notifiedItems());
    QVERIFY(!f.manager.isInformationNotified(f.manager.informations()->first()));

    f.manager.makeAllInformationsAsRead();
    QCOMPARE(f.unread(), std::size_t(0));
    QCOMPARE(f.stored("ReadItems"), ids(feed(3)));
    f.manager.makeAllInformationsAsRead();  // announced also when nothing changed
    QCOMPARE(f.updates.size(), 4);
}

void TestInformationManager::announcementsAndSaves()
{
    Fixture f;
    const InformationList first = list(feed(2));
    f.manager.setInformations(first);
    QCOMPARE(f.updates.size(), 1);
    // Erase the store behind the manager's back: any save writes it again.
    const auto erase = [&f] { f.settings.clear(); f.settings.sync(); };
    erase();

    f.manager.setInformations(first);  // the list already held
    QCOMPARE(f.updates.size(), 1);
    QCOMPARE(f.stored("ReadItems"), std::nullopt);
    f.manager.setInformations(std::make_shared<const QList<Information>>(*first));  // equal, but new
    QCOMPARE(f.updates.size(), 2);
    QCOMPARE(f.stored("ReadItems"), std::nullopt);

    f.manager.setInformationNotified(first->at(0));
    QCOMPARE(f.updates.size(), 2);
    QCOMPARE(f.stored("NotifiedItems"), ids(feed(2)));
    erase();
    f.manager.setInformationRead(first->at(0));  // already read: still saved and announced
    QCOMPARE(f.updates.size(), 3);
    QCOMPARE(f.stored("ReadItems"), ids(feed(2)));
}

void TestInformationManager::failedDownloadChangesNothing_data()
{
    QTest::addColumn<int>("status");  // 0: connection refused
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("log");
    QTest::newRow("404 with an RSS body") << 404 << feed(1, 50) << "failed: HTTP status 404";
    QTest::newRow("500") << 500 << QByteArray("<html><body>Internal error</body></html>") << "failed: HTTP status 500";
    QTest::newRow("captive portal page") << 200 << QByteArray("<!DOCTYPE html><html><body><form><input name=room>"
                                                              "</form></body></html>") << "not an RSS document";
    QTest::newRow("captive portal XHTML") << 200 << QByteArray("<html xmlns=\"http://www.w3.org/1999/xhtml\">"
                                                               "<body>Log in</body></html>") << "not an RSS document";
    QTest::newRow("empty body") << 200 << QByteArray() << "failed: no body";
    QTest::newRow("connection refused") << 0 << QByteArray() << "failed: Connection refused";
}

void TestInformationManager::failedDownloadChangesNothing()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, log);
    std::optional<QUrl> url;
    if (status == 0) {
        QTcpServer probe;  // a port that was free a moment ago
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/feed.xml").arg(probe.serverPort()));
    }
    Fixture f(url);
    const InformationList previous = list(feed(3));
    f.manager.setInformations(previous);
    f.manager.setInformationRead(records(feed(1, 40)).first());
    const Ids readBefore = f.manager.readItems();
    f.server.setResponse("/feed.xml", FeedServer::Response{status, body, "text/html"});

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(log)));
    if (body.startsWith("<!DOCTYPE html>"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to read rss document with error: "));
    QVERIFY(f.refresh(false));
    QCOMPARE(f.updates.size(), 2);  // the two set-up calls only
    QCOMPARE(f.manager.informations(), previous);
    QCOMPARE(f.manager.readItems(), readBefore);
    QCOMPARE(f.server.requestCount("/feed.xml"), status == 0 ? 0 : 1);
}

void TestInformationManager::emptyRssDocumentEmptiesTheList()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(3));
    QVERIFY(f.refresh(true));
    f.server.setFeed("/feed.xml", feed(0));
    QVERIFY(f.refresh(true));
    QCOMPARE(f.updates.size(), 2);
    QVERIFY(f.manager.informations() && f.manager.informations()->isEmpty());
    QCOMPARE(f.manager.readItems(), ids(feed(3)));
}

void TestInformationManager::sizeLimit()
{
    Fixture f;
    // A feed of exactly the limit, padded with a comment, is accepted.
    const QByteArray small = feed(1);
    QByteArray body = small + "<!--" + QByteArray(InformationManager::maximumFeedSize - small.size() - 7, 'x') + "-->";
    QCOMPARE(body.size(), InformationManager::maximumFeedSize);
    f.server.setFeed("/feed.xml", body);
    QVERIFY(f.refresh(true));
    const InformationList accepted = f.manager.informations();
    QCOMPARE(accepted->size(), 1);

    // One byte more is refused, announced by its length or not.
    body.append('\n');
    for (const bool sendLength : {true, false}) {
        f.server.setResponse("/feed.xml", FeedServer::Response{200, body, "application/rss+xml", {}, sendLength});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused: larger than 8388608 bytes"));
        QVERIFY2(f.refresh(false), sendLength ? "with length" : "without length");
        QCOMPARE(f.manager.informations(), accepted);
    }
}

void TestInformationManager::periodicUpdate()
{
    Fixture f;
    f.server.setFeed("/feed.xml", feed(2));
    QVERIFY(!f.manager.timer());
    f.manager.startPeriodicalUpdate();
    QTimer* timer = f.manager.timer();
    QVERIFY(timer && timer->isActive() && !timer->isSingleShot());
    QCOMPARE(timer->intervalAsDuration(), std::chrono::milliseconds(86400000));
    f.manager.startPeriodicalUpdate();
    QCOMPARE(f.manager.findChildren<QTimer*>(), QList<QTimer*>{timer});
    QCOMPARE(f.server.requestCount("/feed.xml"), 0);

    timer->setInterval(50);  // shortened so that its timeouts can be seen downloading
    QTRY_VERIFY_WITH_TIMEOUT(f.server.requestCount("/feed.xml") >= 2, 20000);
    f.manager.endPeriodicalUpdate();
    QVERIFY(!f.manager.timer());
}

void TestInformationManager::restoreToleratesForeignPreferences()
{
    const QString valid = ids(feed(1)).values().first();
    QTemporaryDir directory;
    QSettings settings(directory.filePath("preferences.ini"), QSettings::IniFormat);
    settings.setValue("ReadItems", "not an array");
    const QStringList elements = {valid, "XYZ", valid.toUpper(), valid.left(63), valid + "0"};
    settings.beginWriteArray("NotifiedItems");
    for (int i = 0; i < elements.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue("identifier", elements.at(i));
    }
    settings.endArray();
    settings.sync();

    InformationManager manager(std::nullopt, &settings, nullptr);
    QCOMPARE(manager.notifiedItems(), Ids(QSet<QString>{valid}));
    QVERIFY(!manager.readItems());
    // With "ReadItems" unusable this is a first run: the first list is seeded.
    manager.setInformations(list(feed(2)));
    QCOMPARE(stored(directory.filePath("preferences.ini"), "ReadItems"), ids(feed(2)));

    for (const char* size : {"many", "-1"}) {
        settings.setValue("ReadItems/size", size);
        manager.restoreState();
        QVERIFY2(!manager.readItems(), size);
    }
}

void TestInformationManager::defaultNetworkHonoursHttpCaching()
{
    Fixture f;
    QNetworkAccessManager* network = InformationManager::createDefaultNetworkAccessManager(&f.manager);
    auto* cache = qobject_cast<QNetworkDiskCache*>(network->cache());
    QVERIFY(cache && cache->cacheDirectory().startsWith(m_home.path()));
    f.server.setResponse("/fresh.xml", {200, feed(2), "application/rss+xml", "Cache-Control: max-age=600\r\n"});
    f.server.setResponse("/uncached.xml", {200, feed(2), "application/rss+xml", "Cache-Control: no-store\r\n"});
    for (const char* path : {"/fresh.xml", "/uncached.xml"}) {
        InformationManager manager(QUrl(f.server.url(path)), &f.settings, network);
        QSignalSpy updates(&manager, &InformationManager::InformationManagerDidUpdate);
        for (int i = 0; i < 2; ++i) {
            QSignalSpy finished(&manager, &InformationManager::refreshDidFinish);
            manager.refresh();
            QVERIFY(finished.wait(20000));
        }
        QCOMPARE(updates.size(), 2);  // from the cache or not, every feed is a new list
        QCOMPARE(f.server.requestCount(path), qstrcmp(path, "/fresh.xml") == 0 ? 1 : 2);
    }
}

void TestInformationManager::sharedManagerReadsBundleInformation()
{
    QCoreApplication::setOrganizationName(QStringLiteral("qzi-tests"));
    BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"), QStringLiteral("HTTP://127.0.0.1:9/Feed.xml"));
    InformationManager* shared = InformationManager::sharedManager();
    QCOMPARE(InformationManager::sharedManager(), shared);
    QVERIFY(shared->feedURL());
    QCOMPARE(shared->feedURL()->path(), QStringLiteral("/Feed.xml"));
    QVERIFY(!shared->readItems());
    QVERIFY(shared->findChild<QSettings*>());

    BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"), std::nullopt);
    QVERIFY(!BundleInfo::value(QStringLiteral("QZInformationFeedURL")));
    BundleInfo::clearOverrides();
    QVERIFY(!BundleInfo::value(QStringLiteral("QZInformationFeedURL")));  // no resource in the tests
}

QTEST_GUILESS_MAIN(TestInformationManager)
#include "tst_informationmanager.moc"
