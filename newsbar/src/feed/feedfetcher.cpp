#include "feed/feedfetcher.h"

#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// A download that stalls this long is given up, as the platform's default session does.
constexpr std::chrono::milliseconds transferTimeout{60000};

} // namespace

struct FeedFetcher::DownloadState
{
    bool tooLarge = false;
    bool pastDeadline = false;
    QStringList sslErrors;
};

FeedFetcher::FeedFetcher(QUrl url, QNetworkAccessManager* network, QObject* parent)
    : QObject(parent),
      m_url(std::move(url)),
      m_network(network),
      m_retrySchedule{std::chrono::minutes(1), std::chrono::minutes(5), std::chrono::minutes(15),
                      std::chrono::minutes(60)},
      m_clock([] { return QDateTime::currentDateTimeUtc(); })
{
}

FeedFetcher::~FeedFetcher()
{
    if (m_reply) {
        // Its finished() must not reach a fetcher that is gone.
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

QByteArray FeedFetcher::userAgent()
{
    return QByteArrayLiteral("newsbar/" NEWSBAR_VERSION);
}

void FeedFetcher::fetch(const FeedValidators& validators)
{
    if (m_reply)
        return;
    if (m_retryTimer) {
        m_retryTimer->deleteLater();
        m_retryTimer = nullptr;
    }
    QNetworkRequest request(m_url);
    request.setTransferTimeout(static_cast<int>(transferTimeout.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // Only http -> http(s) and https -> https; never file: or another scheme.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    if (!validators.entityTag.isEmpty())
        request.setRawHeader("If-None-Match", validators.entityTag);
    if (!validators.lastModified.isEmpty())
        request.setRawHeader("If-Modified-Since", validators.lastModified);
    QNetworkReply* reply = m_network->get(request);
    m_reply = reply;

    auto download = std::make_shared<DownloadState>();
    // Give up as soon as the body is known to be too large instead of buffering all of it.
    const auto checkSize = [reply, download](qint64 size) {
        if (size > maximumFeedSize && !download->tooLarge) {
            download->tooLarge = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, checkSize] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid())
            checkSize(length.toLongLong());
    });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [checkSize](qint64 received, qint64) { checkSize(received); });
    // The idle timeout does not stop a server that trickles; the deadline does.
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply, download] {
        download->pastDeadline = true;
        reply->abort();
    });
    deadline->start(m_downloadDeadline);
    // Qt fails the request on any certificate error unless told to ignore it; only the reasons
    // are kept for the log line.
    connect(reply, &QNetworkReply::sslErrors, this, [download](const QList<QSslError>& errors) {
        for (const QSslError& error : errors)
            download->sslErrors.append(error.errorString());
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, download] { handleReply(reply, *download); });
}

std::optional<std::chrono::milliseconds> FeedFetcher::retryAfter(const QNetworkReply* reply) const
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    if (value.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    const qlonglong seconds = value.toLongLong(&isNumber);
    if (isNumber) {
        if (seconds < 0)
            return std::nullopt;
        const auto longest = std::chrono::duration_cast<std::chrono::seconds>(m_longestRetry);
        return std::chrono::seconds(std::min<qlonglong>(seconds, longest.count()));
    }
    // An HTTP date, always in GMT: "Wed, 21 Oct 2015 07:28:00 GMT".
    QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(value),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    date.setTimeSpec(Qt::UTC);
    if (!date.isValid())
        return std::nullopt;
    return std::chrono::milliseconds(
        std::clamp<qint64>(m_clock().msecsTo(date), 0, m_longestRetry.count()));
}

void FeedFetcher::handleReply(QNetworkReply* reply, const DownloadState& download)
{
    m_reply = nullptr;
    reply->deleteLater();
    const QString source = reply->url().toDisplayString(QUrl::RemoveUserInfo);

    using Kind = FeedFailure::Kind;
    if (download.tooLarge) {
        fail(QStringLiteral("Feed download from %1 refused: larger than %2 bytes")
                 .arg(source, QString::number(maximumFeedSize)),
             {Kind::TooLarge, 0});
        return;
    }
    if (download.pastDeadline) {
        fail(QStringLiteral("Feed download from %1 failed: not complete within %2 s")
                 .arg(source, QString::number(m_downloadDeadline.count() / 1000.0)),
             {Kind::Deadline, 0});
        return;
    }
    if (!download.sslErrors.isEmpty()) {
        fail(QStringLiteral("Feed download from %1 failed: certificate not accepted: %2")
                 .arg(source, download.sslErrors.join(QStringLiteral("; "))),
             {Kind::Certificate, 0});
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() == 304) {
        succeed();
        Q_EMIT notModified(source);
        return;
    }
    // A server's error page, a captive portal or a refused redirect is no feed.
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const int code = status.toInt();
        QString message = QStringLiteral("Feed download from %1 failed: HTTP status %2")
                              .arg(source, QString::number(code));
        const QByteArray target = reply->rawHeader("Location");
        if (code >= 300 && code <= 399 && !target.isEmpty())
            message += QStringLiteral(", redirect to %1 not followed")
                           .arg(QUrl(QString::fromUtf8(target)).toDisplayString(QUrl::RemoveUserInfo));
        const Kind kind = code == 429 || code == 503         ? Kind::Busy
                        : code >= 300 && code <= 399 ? Kind::Redirect
                                                     : Kind::HttpError;
        fail(message, {kind, code}, code == 429 || code == 503 ? retryAfter(reply) : std::nullopt);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        Kind kind = Kind::Other;
        switch (reply->error()) {
        case QNetworkReply::ConnectionRefusedError:
        case QNetworkReply::HostNotFoundError:
        case QNetworkReply::NetworkSessionFailedError:
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::UnknownNetworkError:
        case QNetworkReply::ProxyConnectionRefusedError:
        case QNetworkReply::ProxyNotFoundError:
            kind = Kind::Unreachable;
            break;
        // The idle timeout aborts the reply: Qt reports that as cancelled.
        case QNetworkReply::OperationCanceledError:
        case QNetworkReply::TimeoutError:
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::ProxyTimeoutError:
            kind = Kind::Timeout;
            break;
        case QNetworkReply::SslHandshakeFailedError:
            kind = Kind::Certificate;
            break;
        case QNetworkReply::InsecureRedirectError:
        case QNetworkReply::TooManyRedirectsError:
            kind = Kind::Redirect;
            break;
        default:
            break;
        }
        fail(QStringLiteral("Feed download from %1 failed: %2").arg(source, reply->errorString()),
             {kind, 0});
        return;
    }
    const QByteArray body = reply->readAll();
    if (body.size() > maximumFeedSize) {
        fail(QStringLiteral("Feed download from %1 refused: larger than %2 bytes")
                 .arg(source, QString::number(maximumFeedSize)),
             {Kind::TooLarge, 0});
        return;
    }
    if (body.isEmpty()) {
        fail(QStringLiteral("Feed download from %1 failed: no body").arg(source), {Kind::Empty, 0});
        return;
    }
    Q_EMIT fetched(body, FeedValidators{reply->rawHeader("ETag"), reply->rawHeader("Last-Modified")},
                   source);
}

void FeedFetcher::accept()
{
    succeed();
}

void FeedFetcher::reject(const QString& reason, FeedFailure failure)
{
    fail(reason, failure);
}

void FeedFetcher::succeed()
{
    m_failures = 0;
    if (m_retryTimer) {
        m_retryTimer->deleteLater();
        m_retryTimer = nullptr;
    }
}

void FeedFetcher::fail(const QString& reason, FeedFailure failure,
                       std::optional<std::chrono::milliseconds> retryAfter)
{
    const int failures = ++m_failures;
    std::optional<std::chrono::milliseconds> delay = retryAfter;
    if (!delay && failures <= m_retrySchedule.size())
        delay = m_retrySchedule.at(failures - 1);
    if (delay) {
        if (!m_retryTimer) {
            m_retryTimer = new QTimer(this);
            m_retryTimer->setSingleShot(true);
            connect(m_retryTimer, &QTimer::timeout, this, &FeedFetcher::retryDue);
        }
        m_retryTimer->start(*delay);
    }
    Q_EMIT failed(reason, delay, failure);
}
