#pragma once

#include "feed/feedparser.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// ETag and Last-Modified of the response that brought a feed; empty when the server sent none.
struct FeedValidators
{
    QByteArray entityTag;
    QByteArray lastModified;
};

// Why a refresh failed, in the terms the user is told; the log line has the details.
struct FeedFailure
{
    enum class Kind {
        None,
        Unreachable,  // no connection: refused, no such host, no network
        Timeout,      // the server stopped sending
        Deadline,     // the download took longer than the deadline
        Certificate,  // TLS: the certificate or the handshake was refused
        HttpError,    // a status outside 200-299 (httpStatus)
        Busy,         // 429 or 503: the server asks to come back later
        Redirect,     // a redirect that is not followed
        TooLarge,     // over the size cap
        Empty,        // no body
        NotXml,       // the owner's verdict: not well-formed XML
        NotFeed,      // the owner's verdict: XML, but not a feed
        Other,
    };
    Kind kind = Kind::None;
    int httpStatus = 0;
};

// The HTTP side of one feed: performs one download at a time and says how it ended. It knows
// nothing of lists or read state; its owner judges the bytes.
//
// A download is bounded by an idle timeout and an overall deadline, sends a User-Agent naming the
// program and, when validators are given, is conditional on them. It ends in exactly one of:
// - fetched(): a 2xx response with a body within maximumFeedSize. The owner then calls accept()
//   (the refresh succeeded) or reject() (the bytes are no feed: a failure like the others);
// - notModified(): a 304, a success;
// - failed(): a transport error (a certificate error included, never ignored), the deadline, a
//   redirect other than to http or https, a status outside 200-299, an empty body or one over
//   maximumFeedSize.
// Each failure (a rejection included) counts towards the backoff: the retry timer is started with
// the schedule's delay for the number of consecutive failures (or a 429's or 503's Retry-After)
// and emits retryDue() when it fires. A success ends the backoff.
//
// Lives on the main thread, like the network access manager it is given.
class FeedFetcher : public QObject
{
    Q_OBJECT

public:
    // A body larger than this is refused as a failed download.
    static constexpr qint64 maximumFeedSize = feedSizeLimit;
    static constexpr std::chrono::milliseconds defaultDownloadDeadline{120000};

    // network is not owned and must outlive the fetcher.
    FeedFetcher(QUrl url, QNetworkAccessManager* network, QObject* parent = nullptr);
    ~FeedFetcher() override;

    const QUrl& url() const { return m_url; }

    // The overall time one download may take before it is aborted and counts as failed.
    void setDownloadDeadline(std::chrono::milliseconds deadline) { m_downloadDeadline = deadline; }
    std::chrono::milliseconds downloadDeadline() const { return m_downloadDeadline; }
    // Delays of the retries after 1, 2, ... consecutive failures; past its end no retry is
    // scheduled. Default 1, 5, 15 and 60 minutes.
    void setRetrySchedule(QList<std::chrono::milliseconds> schedule) { m_retrySchedule = std::move(schedule); }
    // The clock of Retry-After dates; default the system clock.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    // The longest retry delay a Retry-After may ask for.
    void setLongestRetry(std::chrono::milliseconds longest) { m_longestRetry = longest; }
    // The single-shot timer of the pending retry while one is pending (owned by the fetcher),
    // else null.
    QTimer* retryTimer() const { return m_retryTimer; }
    // True from fetch() until the download's signal has been emitted.
    bool isDownloading() const { return !m_reply.isNull(); }

    // The User-Agent sent with every download: "newsbar/<version>".
    static QByteArray userAgent();

    // Starts one download of url() and returns at once; does nothing while one runs. Any pending
    // retry is dropped. Conditional on validators when either is non-empty.
    void fetch(const FeedValidators& validators = {});
    // The owner's verdict on the bytes of the last fetched(): a success, or a failure whose
    // reason is reported through failed() like a download's.
    void accept();
    void reject(const QString& reason, FeedFailure failure = {FeedFailure::Kind::Other, 0});

Q_SIGNALS:
    void fetched(const QByteArray& body, const FeedValidators& validators, const QString& source);
    void notModified(const QString& source);
    // reason: one line naming the source; retryIn: the delay of the retry now pending, if any.
    void failed(const QString& reason, std::optional<std::chrono::milliseconds> retryIn,
                const FeedFailure& failure);
    void retryDue();

private:
    struct DownloadState;
    void handleReply(QNetworkReply* reply, const DownloadState& download);
    void fail(const QString& reason, FeedFailure failure,
              std::optional<std::chrono::milliseconds> retryAfter = {});
    void succeed();
    std::optional<std::chrono::milliseconds> retryAfter(const QNetworkReply* reply) const;

    QUrl m_url;
    QNetworkAccessManager* m_network = nullptr;
    QPointer<QNetworkReply> m_reply;  // the download running, owned by the network manager
    int m_failures = 0;                // consecutive failed refreshes
    QTimer* m_retryTimer = nullptr;
    std::chrono::milliseconds m_downloadDeadline = defaultDownloadDeadline;
    std::chrono::milliseconds m_longestRetry = std::chrono::hours(24);
    QList<std::chrono::milliseconds> m_retrySchedule;
    std::function<QDateTime()> m_clock;
};
