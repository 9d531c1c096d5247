#pragma once

#include "feed/feedfetcher.h"
#include "feed/feedparser.h"
#include "feed/information.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QUrl>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QSettings;
class QTimer;

// A downloaded feed's records in feed order. Compared by identity: every download that brings an
// RSS document makes a new list, even when its content has not changed. Null means "no list yet".
using InformationList = std::shared_ptr<const QList<Information>>;

// The one keeper of the news feed: downloads it, holds the current list of records and remembers
// which record identifiers the user has been notified of and which he has read.
//
// Lives on the main thread and is used only there. The parse of a download runs on a worker
// thread of the manager's own and its list is installed on the main thread.
//
// Persistence: "NotifiedItems" and "ReadItems" in the settings store, each a QSettings array
// (beginWriteArray) of 64-digit identifiers under the element key "identifier". Both are written
// and flushed on every change of either set (one write for a whole batch), never at exit; an
// absent set has no key. On restore a key that is not such an array counts as absent and
// elements that are not 64 lower-case hex digits are dropped. A store that cannot be written is
// logged once per distinct failure and shown by settingsErrorText(); the sets stay in memory.
//
// Identifiers write their date in UTC (Information::identifier()); earlier versions wrote it in
// the local time zone. Sets stored before "UTCIdentifiers" (a boolean) was written hold such
// identifiers: they are carried over once, with the first list that has records: a record whose
// local-zone identifier is in a set puts its identifier in that set too. Then "UTCIdentifiers"
// is written true with the sets; a store without sets is written with it from the start.
//
// Downloads: its FeedFetcher (fetcher()) performs them, one at a time, conditional on the current
// list's validators (ETag and Last-Modified of the response that brought it; kept in memory
// only, so the first download after a start, with the stored feed shown, asks for the whole
// feed). The manager parses what it fetches and installs it. After a failure the fetcher's
// backoff retries, at once when the network comes back, and otherwise the daily timer does.
class InformationManager : public QObject
{
    Q_OBJECT

public:
    // A body larger than this is refused as a failed download.
    static constexpr qint64 maximumFeedSize = FeedFetcher::maximumFeedSize;

    // The program's manager, created on the first call (which must come after the
    // QCoreApplication and its organisation and application names exist): feed URL from
    // BundleInfo "QZInformationFeedURL" (absent when missing or not a URL: refresh() then does
    // nothing), the default QSettings and createDefaultNetworkAccessManager(). Never destroyed.
    static InformationManager* sharedManager();

    // A network access manager with an HTTP disk cache under the user's cache location, as the
    // manager uses by default: responses are reused or revalidated as their headers say.
    static QNetworkAccessManager* createDefaultNetworkAccessManager(QObject* parent = nullptr);

    // The manager of the feed at feedURL. settings and network are not owned and must outlive the manager;
    // settings may be null (nothing persists), network null means a default one owned by the
    // manager. Calls restoreState().
    InformationManager(std::optional<QUrl> feedURL, QSettings* settings,
                       QNetworkAccessManager* network, QObject* parent = nullptr);
    ~InformationManager() override;

    const std::optional<QUrl>& feedURL() const { return m_feedURL; }
    // Seconds between automatic downloads: 86400.
    double interval() const { return m_interval; }

    const InformationList& informations() const { return m_informations; }
    // Installs a new current list. Does nothing when it is the list already held. Otherwise,
    // on the first run (readItems() absent) marks every record of it notified and read (both
    // sets replaced, then saved), and emits InformationManagerDidUpdate.
    void setInformations(InformationList informations);

    // The periodic-download timer while it runs (owned by the manager), else null.
    QTimer* timer() const { return m_timer; }

    const std::optional<QSet<QString>>& notifiedItems() const { return m_notifiedItems; }
    const std::optional<QSet<QString>>& readItems() const { return m_readItems; }
    // Replace the sets without saving or announcing anything.
    void setNotifiedItems(std::optional<QSet<QString>> items) { m_notifiedItems = std::move(items); }
    void setReadItems(std::optional<QSet<QString>> items) { m_readItems = std::move(items); }

    // Adds the record's identifier to notifiedItems() (creating the set) and saves. Emits nothing.
    void setInformationNotified(const Information& information);
    // The same for every record of the list with a single save; nothing at all for an empty list.
    void setInformationsNotified(const QList<Information>& informations);
    bool isInformationNotified(const Information& information) const;
    // Adds the record's identifier to readItems() (creating the set), saves and emits
    // InformationManagerDidUpdate, also when it was already read.
    void setInformationRead(const Information& information);
    bool isInformationRead(const Information& information) const;
    // Marks every current record read (creating the set even without a list), saves and emits
    // InformationManagerDidUpdate, also when nothing changed.
    void makeAllInformationsAsRead();
    // Current records whose identifier is not in readItems(); 0 without a list.
    std::size_t numberOfUnreadItems() const;

    // Starts the repeating 86400-second timer that calls refresh(), unless it runs already.
    void startPeriodicalUpdate();
    void endPeriodicalUpdate();

    // The outcome of the downloads, for the window. Each change of any of these (and of
    // storedListTime() and isDownloading()) emits updateStatusChanged(), once per change.
    // Time of the last download that installed a list or confirmed the current one; invalid
    // while none has.
    QDateTime lastSuccessTime() const { return m_lastSuccessTime; }
    // The last download's failure in one line, as logged; empty after a success or before any
    // attempt.
    QString lastErrorText() const { return m_lastErrorText; }
    // The same failure in the terms the user is told (kind None with an empty lastErrorText()).
    const FeedFailure& lastFailure() const { return m_lastFailure; }
    // True from refresh() until its download (and parse) has ended.
    bool isDownloading() const { return m_refreshing; }
    // Why the settings store could not be written, in one line; empty while it saves fine.
    QString settingsErrorText() const { return m_settingsErrorText; }

    // The file that keeps the last feed that parsed as RSS, so that a start without network has
    // news to show; empty (the default) keeps nothing. sharedManager() uses "last-feed.xml" in
    // the user's cache location. Written whole or not at all (a new file renamed over the old),
    // with the time of its download as the file's modification time; a 304 renews that time.
    // A file larger than maximumFeedSize is never read.
    void setStoredFeedPath(QString path) { m_storedFeedPath = std::move(path); }
    const QString& storedFeedPath() const { return m_storedFeedPath; }
    // When no list is held yet, installs the stored feed's records (setInformations) and returns
    // true; nothing when there is no stored feed or it does not parse as RSS.
    bool restoreStoredFeed();
    // While the current list is the stored feed's: the time of the download that brought it.
    // Invalid once a download has installed or confirmed a list, and when nothing was restored.
    QDateTime storedListTime() const { return m_storedListTime; }

    // Loads both sets from the settings store (see the class comment).
    void restoreState();
    // Writes both sets and flushes the store; a failure is logged (once while it persists) and
    // shown by settingsErrorText().
    void saveState();

    // The download policy lives in the fetcher (there is one even without a feed URL); the defaults suit the
    // program, tests shorten them through these.
    FeedFetcher* fetcher() const { return m_fetcher; }
    static constexpr std::chrono::milliseconds defaultDownloadDeadline = FeedFetcher::defaultDownloadDeadline;
    // See FeedFetcher; past the end of the schedule only the periodic timer tries again.
    void setDownloadDeadline(std::chrono::milliseconds deadline);
    void setRetrySchedule(QList<std::chrono::milliseconds> schedule);
    // The clock of lastSuccessTime() and of Retry-After dates; default the system clock.
    void setClock(std::function<QDateTime()> clock);
    // The fetcher's pending retry timer, else null.
    QTimer* retryTimer() const;
    static QByteArray userAgent() { return FeedFetcher::userAgent(); }

public Q_SLOTS:
    // Has the fetcher start one download of feedURL() and returns at once (nothing without a feed
    // URL; nothing while a download or its parse is still running: the new trigger is folded into
    // it). The result, on the main thread: an RSS document replaces the list (setInformations); a
    // 304 keeps the current list; both count as success and end any backoff. A failed download
    // (see FeedFetcher) or a body that is not an RSS or Atom document changes nothing, logs one line and
    // schedules a retry.
    void refresh();
    // The network is reachable again: a pending retry happens at once.
    void networkDidComeBack();

Q_SIGNALS:
    // Emitted synchronously on the main thread by setInformations (when the list changed),
    // setInformationRead and makeAllInformationsAsRead, and by nothing else.
    void InformationManagerDidUpdate(InformationManager* manager);

    // Emitted once per finished refresh(), after any InformationManagerDidUpdate it caused:
    // true when a list was installed, false when the download changed nothing. For diagnostics
    // and tests; the program needs only InformationManagerDidUpdate.
    void refreshDidFinish(bool listInstalled);

    // lastSuccessTime(), lastErrorText() or settingsErrorText() changed.
    void updateStatusChanged();

private:
    void parseFetched(const QByteArray& body, const FeedValidators& validators, const QString& source);
    void installParsed(const QString& source, const FeedParseResult& result, FeedValidators validators,
                       const QByteArray& body);
    void storeFeed(const QByteArray& body);
    void touchStoredFeed();
    void succeedRefresh(bool listInstalled);
    void failRefresh(const QString& message, std::optional<std::chrono::milliseconds> retryIn,
                     const FeedFailure& failure);
    bool setDownloadOutcome(QDateTime successTime, QString errorText);
    void setSettingsErrorText(QString text);
    void carryOverLocalZoneIdentifiers();

    std::optional<QUrl> m_feedURL;
    double m_interval = 86400.0;
    InformationList m_informations;
    QTimer* m_timer = nullptr;
    std::optional<QSet<QString>> m_notifiedItems;
    std::optional<QSet<QString>> m_readItems;
    // The stored sets may hold local-zone identifiers still to be carried over.
    bool m_carryOverPending = false;

    QDateTime m_lastSuccessTime;
    QString m_lastErrorText;
    FeedFailure m_lastFailure;
    QString m_settingsErrorText;
    QString m_storedFeedPath;
    QDateTime m_storedListTime;

    // ETag and Last-Modified of the response that brought m_informations.
    FeedValidators m_validators;
    bool m_refreshing = false;  // from refresh() until its download and parse have ended
    std::function<QDateTime()> m_clock;
    FeedFetcher* m_fetcher = nullptr;  // a child

    QSettings* m_settings = nullptr;
    QNetworkAccessManager* m_network = nullptr;
    // One worker: parses finish in the order their downloads did.
    QThreadPool m_parsePool;
};
