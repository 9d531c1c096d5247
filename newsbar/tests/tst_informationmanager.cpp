// The information manager against a local HTTP server, with preferences in a temporary file.
#include "feed/bundleinfo.h"
#include "feed/informationmanager.h"
#include "feedserver.h"
#include "tabletest.h"

#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>

using Ids = std::optional<QSet<QString>>;

namespace {

InformationList list(const QByteArray& xml)
{
    return std::make_shared<const QList<Information>>(Information::informationsWithData(xml));
}
// Items dated in a zone east of UTC, so that the local date differs from the UTC one anywhere.
QByteArray datedItems(int count)
{
    QByteArray xml;
    for (int n = 1; n <= count; ++n)
        xml += "<item><title>Dated " + QByteArray::number(n) + "</title><pubDate>Sun, 01 Mar 2026 0"
             + QByteArray::number(n) + ":00:00 +0900</pubDate></item>";
    return xml;
}
// The zone identifiers used to be written in; the shared formatter looks it up on every call.
void pinZone(const char* zone)
{
    qputenv("TZ", zone);
    tzset();
}
Ids ids(const QByteArray& xml)
{
    QSet<QString> set;
    for (const Information& information : Information::informationsWithData(xml))
        set.insert(information.identifier());
    return set;
}

// A manager with its own server, preferences file and network (or the manager's default one).
struct Fixture
{
    explicit Fixture(std::optional<QUrl> url = std::nullopt, bool defaultNetwork = false)
        : settings(directory.filePath("preferences.ini"), QSettings::IniFormat),
          manager(url ? url : server.url(),
                  &settings, defaultNetwork ? nullptr : &network),
          updates(&manager, &InformationManager::InformationManagerDidUpdate)
    {
        manager.setClock([] { return now; });
    }
    // What the next start of the program would find in the store.
    Ids stored(const QString& key) const
    {
        QSettings store(settings.fileName(), QSettings::IniFormat);
        if (!store.contains(key + "/size"))
            return std::nullopt;
        QSet<QString> set;
        for (int i = 0, size = store.beginReadArray(key); i < size; ++i) {
            store.setArrayIndex(i);
            set.insert(store.value("identifier").toString());
        }
        return set;
    }
    // One refresh of the feed answered with response, waiting for its outcome.
    bool refresh(const QByteArray& response, bool expectInstalled)
    {
        server.responses["/feed.xml"] = response;
        QSignalSpy finished(&manager, &InformationManager::refreshDidFinish);
        manager.refresh();
        return finished.wait(20000) && finished.size() == 1 && finished.at(0).at(0).toBool() == expectInstalled;
    }
    int unread() const { return int(manager.numberOfUnreadItems()); }
    // The pending retry's delay, or -1 without one.
    qint64 retry() const { return manager.retryTimer() ? manager.retryTimer()->interval() : -1; }
    QByteArray sent(const QByteArray& header) const { return server.sent(header); }

    static inline const QDateTime now = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    // Writes a set into the store behind the manager's back, as an earlier version did.
    void store(const QString& key, const QSet<QString>& identifiers)
    {
        settings.beginWriteArray(key, int(identifiers.size()));
        int index = 0;
        for (const QString& identifier : identifiers) {
            settings.setArrayIndex(index++);
            settings.setValue("identifier", identifier);
        }
        settings.endArray();
        settings.sync();
    }
    // Erases the store behind the manager's back: any save writes it again.
    void erase() { settings.clear(); settings.sync(); }

    QTemporaryDir directory;
    FeedServer server;
    QNetworkAccessManager network;
    QSettings settings;
    InformationManager manager;
    QSignalSpy updates;
};

// A settings format that counts the times the store is written.
int storeWrites = 0;
bool readCounted(QIODevice&, QSettings::SettingsMap&) { return true; }
bool writeCounted(QIODevice& device, const QSettings::SettingsMap& map)
{
    ++storeWrites;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        device.write(it.key().toUtf8() + '=' + it.value().toString().toUtf8() + '\n');
    return true;
}

} // namespace

class TestInformationManager : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // The default cache and settings locations stay inside a private home.
        for (const char* variable : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
            qputenv(variable, QFile::encodeName(m_home.filePath(QLatin1String(variable))));
    }

    void feedChanges()
    {
        Fixture f;
        QVERIFY(f.refresh(http(200, feed(10)), true));
        // The first list is seeded: all of it counts as notified and read.
        QCOMPARE(f.updates.size(), 1);
        QCOMPARE(f.updates.at(0).at(0).value<InformationManager*>(), &f.manager);
        QCOMPARE(f.unread(), 0);
        const Ids ten = ids(feed(10));
        QCOMPARE(f.stored("NotifiedItems"), ten);
        QCOMPARE(f.stored("ReadItems"), ten);

        // Two newer items on top and a corrected title further down, exactly at the size limit.
        const QByteArray changed = rss(items(11, 2) + items(1, 10, 3));
        QVERIFY(f.refresh(http(200, padded(changed, InformationManager::maximumFeedSize)), true));
        QCOMPARE(f.updates.size(), 2);
        QCOMPARE(f.manager.informations()->size(), 12);
        QCOMPARE(f.unread(), 3);
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
        QCOMPARE(f.stored("ReadItems"), ten);
        const InformationManager restarted(std::nullopt, &f.settings, &f.network);
        QCOMPARE(restarted.notifiedItems(), f.manager.notifiedItems());
        QCOMPARE(restarted.readItems(), ten);

        // A well-formed RSS document without items installs an empty list.
        QVERIFY(f.refresh(http(200, feed(0)), true));
        QCOMPARE(f.updates.size(), 3);
        QVERIFY(f.manager.informations() && f.manager.informations()->isEmpty());
        QCOMPARE(f.manager.readItems(), ten);
    }

    void announcementsAndSaves()
    {
        Fixture f;
        f.manager.makeAllInformationsAsRead();  // before any list
        QCOMPARE(f.updates.size(), 1);
        QCOMPARE(f.stored("ReadItems"), Ids(QSet<QString>()));
        QCOMPARE(f.stored("NotifiedItems"), std::nullopt);

        // No seeding now: the first list is unread and not notified.
        const InformationList first = list(feed(3));
        f.manager.setInformations(first);
        QCOMPARE(f.updates.size(), 2);
        QCOMPARE(f.unread(), 3);
        QVERIFY(!f.manager.notifiedItems());
        f.erase();
        f.manager.setInformations(first);  // the list already held
        QCOMPARE(f.updates.size(), 2);
        f.manager.setInformations(std::make_shared<const QList<Information>>(*first));  // equal, but new
        QCOMPARE(f.updates.size(), 3);
        QCOMPARE(f.stored("ReadItems"), std::nullopt);

        f.manager.makeAllInformationsAsRead();
        QCOMPARE(f.unread(), 0);
        QCOMPARE(f.stored("ReadItems"), ids(feed(3)));
        f.erase();
        f.manager.setInformationRead(first->at(0));  // already read: still saved and announced
        QCOMPARE(f.updates.size(), 5);
        QCOMPARE(f.stored("ReadItems"), ids(feed(3)));
        f.manager.makeAllInformationsAsRead();  // announced also when nothing changed
        QCOMPARE(f.updates.size(), 6);
    }

    void failedDownloadChangesNothing_data()
    {
        addTableRows("informationmanager_cases.tsv", "failed", {"code", "headers", "body", "length", "log", "retry"});
    }
    void failedDownloadChangesNothing()
    {
        const auto [code, headers, body, length, log, retry] = tableRow<6>();
        QByteArray content = body.toUtf8();
        if (body == "@feed")
            content = feed(1, 50);
        if (body == "@entities")
            content = "<!DOCTYPE rss [<!ENTITY e \"" + QByteArray(9000, 'x') + "\">]><rss><channel><item><title>"
                    + QByteArray("&e;").repeated(1000) + "</title></item></channel></rss>";
        const QByteArray response = code == "refused" ? QByteArray() : http(code.toInt(), content, headers.toUtf8(), length == "1");
        std::optional<QUrl> url;
        if (code == "refused") {
            QTcpServer probe;  // a port that was free a moment ago
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            url = QUrl(QStringLiteral("http://127.0.0.1:%1/feed.xml").arg(probe.serverPort()));
        }
        Fixture f(url);
        const InformationList previous = list(feed(3));
        f.manager.setInformations(previous);
        f.manager.setInformationRead(list(feed(1, 40))->first());
        const Ids readBefore = f.manager.readItems();

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(log)));
        if (log.contains("not XML"))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to read rss document with error: "));
        QSignalSpy status(&f.manager, &InformationManager::updateStatusChanged);
        QVERIFY(f.refresh(response, false));
        QCOMPARE(f.updates.size(), 2);  // the two set-up calls only
        QCOMPARE(f.manager.informations(), previous);
        QCOMPARE(f.manager.readItems(), readBefore);
        const int requests = f.server.requests.value("/feed.xml");
        QVERIFY2(response.isEmpty() ? requests == 0 : requests >= 1, qPrintable(QString::number(requests)));
        // Shown to the window (once as the download starts, once as it ends), retried later;
        // nothing has succeeded yet.
        QCOMPARE(status.size(), 2);
        QVERIFY(f.manager.lastFailure().kind
                == (log.contains("not XML")                 ? FeedFailure::Kind::NotXml
                    : log.contains("not an RSS or Atom document")   ? FeedFailure::Kind::NotFeed
                    : log.contains("Connection refused")    ? FeedFailure::Kind::Unreachable
                    : log.contains("503")                   ? FeedFailure::Kind::Busy
                                                            : FeedFailure::Kind::HttpError));
        QVERIFY(!f.manager.isDownloading());
        QVERIFY2(f.manager.lastErrorText().contains(log), qPrintable(f.manager.lastErrorText()));
        QVERIFY(!f.manager.lastSuccessTime().isValid());
        QCOMPARE(f.retry(), retry.toLongLong());
    }

    // The manager's side of the download policy: the backoff's retries refresh, a success ends
    // it, the list's validators make the request conditional, a second trigger is folded into
    // the running refresh and the network's return retries at once.
    void downloadPolicy()
    {
        using std::chrono::hours;
        Fixture f;
        f.manager.setRetrySchedule({hours(1), hours(2)});
        QSignalSpy finished(&f.manager, &InformationManager::refreshDidFinish);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP status 500"));
        QVERIFY(f.refresh(http(500, "down"), false));
        QCOMPARE(f.retry(), 3600000);
        for (const qint64 retry : {7200000, -1}) {  // -1: the schedule is used up, the daily timer is left
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP status 500"));
            const qsizetype before = finished.size();
            f.manager.retryTimer()->start(0);  // the pending retry, at once
            QVERIFY(QTest::qWaitFor([&] { return finished.size() > before; }, 20000));
            QCOMPARE(f.retry(), retry);
        }

        const QByteArray validated = http(200, feed(2), "ETag: \"v1\"\r\nLast-Modified: Wed, 31 Dec 2025 12:00:00 GMT\r\n");
        QVERIFY(f.refresh(validated, true));
        QCOMPARE(f.sent("User-Agent"), InformationManager::userAgent());
        QVERIFY(f.sent("If-None-Match").isEmpty());
        QCOMPARE(f.manager.lastSuccessTime(), Fixture::now);
        QVERIFY(f.manager.lastErrorText().isEmpty());
        QVERIFY(f.manager.lastFailure().kind == FeedFailure::Kind::None);
        QCOMPARE(f.retry(), -1);

        // Not modified: the list stays, announced to nobody, and it counts as success.
        const InformationList held = f.manager.informations();
        const qsizetype updates = f.updates.size();
        QVERIFY(f.refresh("HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n", false));
        QCOMPARE(f.sent("If-None-Match"), QByteArray("\"v1\""));
        QCOMPARE(f.sent("If-Modified-Since"), QByteArray("Wed, 31 Dec 2025 12:00:00 GMT"));
        QCOMPARE(f.manager.informations(), held);
        QCOMPARE(f.updates.size(), updates);
        QVERIFY(f.manager.lastErrorText().isEmpty());

        // The success reset the backoff.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP status 503"));
        QVERIFY(f.refresh(http(503, "busy"), false));
        QCOMPARE(f.retry(), 3600000);
        QCOMPARE(f.manager.lastSuccessTime(), Fixture::now);

        // The network is back: the pending retry runs at once, and a second trigger meanwhile
        // is folded into it.
        const int requests = f.server.requests.value("/feed.xml");
        f.server.responses["/feed.xml"] = http(200, feed(3));
        f.manager.networkDidComeBack();
        f.manager.refresh();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 7, 20000);
        QCOMPARE(finished.last().at(0).toBool(), true);
        QCOMPARE(f.server.requests.value("/feed.xml"), requests + 1);
        QCOMPARE(f.manager.informations()->size(), 3);
        f.manager.networkDidComeBack();  // nothing pending: nothing happens
        QCOMPARE(f.server.requests.value("/feed.xml"), requests + 1);
    }

    // Identifiers do not depend on the time zone: read under one zone and restarted under
    // another, nothing is new. Sets stored under the old rule (the date in the local zone) are
    // carried over once, by the first list with records.
    void timeZoneChangeAndUpgrade()
    {
        const InformationList dated = list(rss(datedItems(3)));
        QSet<QString> oldRead, oldNotified;
        pinZone("Asia/Tokyo");
        for (const Information& information : *dated) {
            QVERIFY(information.localZoneIdentifier() != information.identifier());
            oldNotified.insert(information.localZoneIdentifier());
            if (oldRead.size() < 2)
                oldRead.insert(information.localZoneIdentifier());
        }
        {
            Fixture f;
            f.manager.setInformations(dated);  // the first run: seeded
            QCOMPARE(f.unread(), 0);
            pinZone("America/New_York");
            const InformationManager restarted(std::nullopt, &f.settings, &f.network);
            QCOMPARE(restarted.readItems(), ids(rss(datedItems(3))));
            for (const Information& information : *dated)
                QVERIFY(restarted.isInformationNotified(information) && restarted.isInformationRead(information));
            QCOMPARE(f.settings.value("UTCIdentifiers"), QVariant(true));
        }

        pinZone("Asia/Tokyo");
        Fixture upgraded;
        upgraded.store("ReadItems", oldRead);
        upgraded.store("NotifiedItems", oldNotified);
        upgraded.manager.restoreState();
        upgraded.manager.setInformations(dated);
        QCOMPARE(upgraded.unread(), 1);
        QVERIFY(!upgraded.manager.isInformationRead(dated->at(2)));
        for (const Information& information : *dated)
            QVERIFY(upgraded.manager.isInformationNotified(information));
        QCOMPARE(upgraded.stored("ReadItems")->size(), 4);  // the old identifiers stay
        QCOMPARE(upgraded.stored("NotifiedItems")->size(), 6);
        QCOMPARE(QSettings(upgraded.settings.fileName(), QSettings::IniFormat).value("UTCIdentifiers").toBool(), true);

        // Once only: local-zone identifiers stored after it are not carried over again.
        Fixture later;
        later.store("ReadItems", oldRead);
        later.settings.setValue("UTCIdentifiers", true);
        later.manager.restoreState();
        later.manager.setInformations(dated);
        QCOMPARE(later.unread(), 3);
        pinZone("UTC");
    }

    // The last feed that parsed is kept and shown at the next start until a download succeeds;
    // what does not parse never replaces it.
    void storedFeedForOfflineStart()
    {
        Fixture f;
        const QString path = f.directory.filePath("cache/last-feed.xml");
        f.manager.setStoredFeedPath(path);
        QVERIFY(!f.manager.restoreStoredFeed());  // nothing stored yet
        QVERIFY(f.refresh(http(200, feed(3)), true));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not an RSS or Atom document"));
        QVERIFY(f.refresh(http(200, "<html xmlns=\"http://www.w3.org/1999/xhtml\"/>"), false));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HTTP status 500"));
        QVERIFY(f.refresh(http(500, feed(9)), false));
        QFile stored(path);
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), feed(3));
        stored.close();
        QCOMPARE(stored.fileTime(QFileDevice::FileModificationTime), Fixture::now);
        QCOMPARE(QDir(f.directory.filePath("cache")).entryList(QDir::Files), QStringList{"last-feed.xml"});

        // The next start, offline: the stored list with the read state it had.
        f.manager.setInformationRead(f.manager.informations()->at(0));
        QTcpServer probe;  // a port that was free a moment ago
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const QUrl offline(QStringLiteral("http://127.0.0.1:%1/feed.xml").arg(probe.serverPort()));
        probe.close();
        InformationManager restarted(offline, &f.settings, &f.network);
        restarted.setClock([] { return Fixture::now.addDays(1); });
        restarted.setStoredFeedPath(path);
        QSignalSpy status(&restarted, &InformationManager::updateStatusChanged);
        QVERIFY(restarted.restoreStoredFeed());
        QCOMPARE(status.size(), 1);
        QCOMPARE(restarted.informations()->size(), 3);
        QCOMPARE(restarted.numberOfUnreadItems(), 0u);
        QCOMPARE(restarted.storedListTime(), Fixture::now);
        QVERIFY(!restarted.restoreStoredFeed());  // a list is held
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Connection refused"));
        QSignalSpy finished(&restarted, &InformationManager::refreshDidFinish);
        restarted.refresh();
        QVERIFY(finished.wait(20000));
        QCOMPARE(restarted.storedListTime(), Fixture::now);  // still the stored list
        QCOMPARE(restarted.informations()->size(), 3);

        // A download ends it; a 304 renews the stored feed's time.
        f.server.responses["/feed.xml"] = "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n";
        f.manager.setClock([] { return Fixture::now.addDays(2); });
        QVERIFY(f.refresh("HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n", false));
        QCOMPARE(QFileInfo(path).lastModified().toUTC(), Fixture::now.addDays(2));
        InformationManager online(f.server.url(), &f.settings, &f.network);
        online.setStoredFeedPath(path);
        QVERIFY(online.restoreStoredFeed());
        QCOMPARE(online.storedListTime(), Fixture::now.addDays(2));
        f.server.responses["/feed.xml"] = http(200, feed(4));
        QSignalSpy onlineFinished(&online, &InformationManager::refreshDidFinish);
        online.refresh();
        QVERIFY(onlineFinished.wait(20000));
        QVERIFY(!online.storedListTime().isValid());
        QCOMPARE(online.informations()->size(), 4);

        // A file over the cap is never read.
        QVERIFY(stored.open(QIODevice::WriteOnly | QIODevice::Truncate));
        stored.write(padded(feed(2), InformationManager::maximumFeedSize + 1));
        stored.close();
        InformationManager capped(std::nullopt, &f.settings, &f.network);
        capped.setStoredFeedPath(path);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not read: too large"));
        QVERIFY(!capped.restoreStoredFeed());
    }

    // A list of new items costs one write of the store, however many items it brings.
    void newItemsSavedOnce()
    {
        const QSettings::Format counted = QSettings::registerFormat("counted", readCounted, writeCounted);
        QTemporaryDir directory;
        QSettings settings(directory.filePath("preferences.counted"), counted);
        InformationManager manager(std::nullopt, &settings, nullptr);
        manager.setInformations(list(feed(3)));  // the first list: seeded in one write
        QCOMPARE(storeWrites, 1);
        const InformationList bigger = list(feed(200));
        manager.setInformations(bigger);
        QCOMPARE(storeWrites, 1);  // not a first run: nothing to save yet
        manager.setInformationsNotified(*bigger);
        QCOMPARE(storeWrites, 2);
        QCOMPARE(manager.notifiedItems()->size(), 200);
        manager.setInformationsNotified({});
        QCOMPARE(storeWrites, 2);
    }

    // A store that cannot be written: one warning per distinct failure, shown to the window; the
    // manager goes on with its sets in memory and reports the recovery.
    void unwritableStore()
    {
        QTemporaryDir directory;
        const QString path = directory.filePath("preferences.ini");
        QVERIFY(QDir().mkdir(path));  // a folder where the file should be: fails even for root
        QSettings settings(path, QSettings::IniFormat);
        InformationManager manager(std::nullopt, &settings, nullptr);
        QSignalSpy status(&manager, &InformationManager::updateStatusChanged);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Settings could not be saved to .*preferences.ini: a folder is in its place$"));
        manager.setInformations(list(feed(2)));
        QCOMPARE(manager.readItems(), ids(feed(2)));
        QVERIFY(manager.settingsErrorText().contains(path));
        QCOMPARE(status.size(), 1);
        QTest::failOnWarning(QRegularExpression("Settings could not be saved"));
        manager.makeAllInformationsAsRead();
        QCOMPARE(status.size(), 1);

        QVERIFY(QDir(path).removeRecursively());
        manager.setInformationsNotified(*list(feed(1, 9)));
        QVERIFY(manager.settingsErrorText().isEmpty());
        QCOMPARE(status.size(), 2);
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("NotifiedItems/size").toInt(), 3);
    }

    // Downloads again and again until ended, none at the start; a second start adds no timer.
    void periodicUpdate()
    {
        Fixture f;
        f.server.responses["/feed.xml"] = http(200, feed(2));
        f.manager.startPeriodicalUpdate();
        f.manager.startPeriodicalUpdate();
        QCOMPARE(f.manager.findChildren<QTimer*>().size(), 1);
        QCOMPARE(f.server.requests.value("/feed.xml"), 0);
        f.manager.timer()->setInterval(50);  // shortened so that its timeouts can be seen downloading
        QTRY_VERIFY_WITH_TIMEOUT(f.server.requests.value("/feed.xml") >= 2, 20000);
        f.manager.endPeriodicalUpdate();
        QVERIFY(!f.manager.timer());
    }

    // Foreign values in the store: unusable identifiers are dropped, and "ReadItems" without an
    // array or with a size that is not a count is absent.
    void restoreToleratesForeignPreferences_data() { addTableRows("informationmanager_cases.tsv", "foreign", {"key", "value"}); }
    void restoreToleratesForeignPreferences()
    {
        const auto [key, value] = tableRow<2>();
        Fixture f;
        const QString valid = *ids(feed(1))->begin();
        f.settings.setValue(key, value);
        const QStringList elements = {valid, "XYZ", valid.toUpper(), valid.left(63), valid + '0'};
        f.settings.beginWriteArray("NotifiedItems");
        for (int i = 0; i < elements.size(); ++i) {
            f.settings.setArrayIndex(i);
            f.settings.setValue("identifier", elements[i]);
        }
        f.settings.endArray();
        f.manager.restoreState();
        QCOMPARE(f.manager.notifiedItems(), Ids(QSet<QString>{valid}));
        QVERIFY(!f.manager.readItems());
        // With "ReadItems" unusable this is a first run: the first list is seeded.
        f.manager.setInformations(list(feed(2)));
        QCOMPARE(f.stored("ReadItems"), ids(feed(2)));
    }

    // Without a network of its own the manager makes one with a disk cache that follows the headers.
    void defaultNetworkHonoursHttpCaching_data() { addTableRows("informationmanager_cases.tsv", "caching", {"headers", "requests"}); }
    void defaultNetworkHonoursHttpCaching()
    {
        const auto [headers, requests] = tableRow<2>();
        Fixture f(std::nullopt, true);
        auto* cache = f.manager.findChild<QNetworkDiskCache*>();
        QVERIFY(cache && cache->cacheDirectory().startsWith(m_home.path()));
        QVERIFY(f.refresh(http(200, feed(2), headers.toUtf8()), true));
        QVERIFY(f.refresh(http(200, feed(2), headers.toUtf8()), true));
        QCOMPARE(f.updates.size(), 2);  // from the cache or not, every feed is a new list
        QCOMPARE(f.server.requests.value("/feed.xml"), requests.toInt());
    }

    void sharedManagerReadsBundleInformation()
    {
        const QString key = QStringLiteral("QZInformationFeedURL");
        QCoreApplication::setOrganizationName(QStringLiteral("qzi-tests"));
        BundleInfo::setValue(key, QStringLiteral("HTTP://127.0.0.1:9/Feed.xml"));
        InformationManager* shared = InformationManager::sharedManager();
        QCOMPARE(InformationManager::sharedManager(), shared);
        QCOMPARE(shared->feedURL(), std::optional(QUrl(QStringLiteral("http://127.0.0.1:9/Feed.xml"))));
        QVERIFY(shared->findChild<QSettings*>());
        BundleInfo::clearOverrides();
        QVERIFY(!BundleInfo::value(key));  // no resource in the tests
    }
};

QTEST_GUILESS_MAIN(TestInformationManager)
#include "tst_informationmanager.moc"
