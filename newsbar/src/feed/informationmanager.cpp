#include "feed/informationmanager.h"

#include "feed/bundleinfo.h"
#include "feed/feedparser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkInformation>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>
#include <QSslError>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>

Q_LOGGING_CATEGORY(lcManager, "newsbar.feed.manager")

namespace {

const QString notifiedItemsKey = QStringLiteral("NotifiedItems");
const QString readItemsKey = QStringLiteral("ReadItems");
const QString identifierKey = QStringLiteral("identifier");

// A download that stalls this long is given up, as the platform's default session does.
constexpr std::chrono::milliseconds transferTimeout{60000};

bool isIdentifier(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9a-f]{64}\\z"));
    return pattern.match(text).hasMatch();
}

std::optional<QSet<QString>> readIdentifierArray(QSettings& settings, const QString& key)
{
    const QVariant sizeValue = settings.value(key + QStringLiteral("/size"));
    if (sizeValue.typeId() != QMetaType::QString && sizeValue.typeId() != QMetaType::Int
        && sizeValue.typeId() != QMetaType::LongLong)
        return std::nullopt;
    bool ok = false;
    const int size = sizeValue.toInt(&ok);
    if (!ok || size < 0)
        return std::nullopt;

    QSet<QString> identifiers;
    settings.beginGroup(key);
    // Walk the entries that exist rather than trusting a stored size.
    const QStringList entries = settings.childGroups();
    for (const QString& entry : entries) {
        bool isIndex = false;
        const int index = entry.toInt(&isIndex);
        if (!isIndex || index < 1 || index > size)
            continue;
        const QVariant value = settings.value(entry + u'/' + identifierKey);
        if (value.typeId() == QMetaType::QString && isIdentifier(value.toString()))
            identifiers.insert(value.toString());
    }
    settings.endGroup();
    return identifiers;
}

void writeIdentifierArray(QSettings& settings, const QString& key,
                          const std::optional<QSet<QString>>& identifiers)
{
    settings.remove(key);
    if (!identifiers)
        return;
    settings.beginWriteArray(key, static_cast<int>(identifiers->size()));
    int index = 0;
    for (const QString& identifier : *identifiers) {
        settings.setArrayIndex(index++);
        settings.setValue(identifierKey, identifier);
    }
    settings.endArray();
}

// The set, created empty (with room for a list of the given size) when it is absent.
QSet<QString>& ensureSet(std::optional<QSet<QString>>& set, qsizetype expected)
{
    if (!set) {
        set.emplace();
        set->reserve(expected);
    }
    return *set;
}

} // namespace

InformationManager* InformationManager::sharedManager()
{
    static InformationManager* const instance = [] {
        std::optional<QUrl> feedURL;
        const auto text = BundleInfo::value(QStringLiteral("QZInformationFeedURL"));
        if (const auto url = text ? Url::fromString(*text) : std::nullopt)
            feedURL = url->toQUrl();
        else
            qCWarning(lcManager) << "No feed URL under \"QZInformationFeedURL\" in the bundle"
                                    " information; no news will arrive";
        auto* settings = new QSettings;
        auto* network = createDefaultNetworkAccessManager();
        auto* manager = new InformationManager(feedURL, settings, network);
        settings->setParent(manager);
        network->setParent(manager);
        // The timer and the replies need the main thread's event loop.
        if (QCoreApplication* app = QCoreApplication::instance();
            app && manager->thread() != app->thread())
            manager->moveToThread(app->thread());
        // Where the platform can tell, a pending retry need not wait for its timer.
        if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
            QObject::connect(QNetworkInformation::instance(),
                             &QNetworkInformation::reachabilityChanged, manager,
                             [manager](QNetworkInformation::Reachability reachability) {
                                 if (reachability == QNetworkInformation::Reachability::Online)
                                     manager->networkDidComeBack();
                             });
        }
        return manager;
    }();
    return instance;
}

QNetworkAccessManager* InformationManager::createDefaultNetworkAccessManager(QObject* parent)
{
    auto* network = new QNetworkAccessManager(parent);
    const QString location = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!location.isEmpty()) {
        auto* cache = new QNetworkDiskCache(network);
        cache->setCacheDirectory(location + QStringLiteral("/feed"));
        network->setCache(cache);
    }
    return network;
}

InformationManager::InformationManager(std::optional<QUrl> feedURL, QSettings* settings,
                                       QNetworkAccessManager* network, QObject* parent)
    : QObject(parent),
      m_feedURL(std::move(feedURL)),
      m_retrySchedule{std::chrono::minutes(1), std::chrono::minutes(5), std::chrono::minutes(15),
                      std::chrono::minutes(60)},
      m_clock([] { return QDateTime::currentDateTimeUtc(); }),
      m_settings(settings),
      m_network(network ? network : createDefaultNetworkAccessManager(this))
{
    m_parsePool.setMaxThreadCount(1);
    restoreState();
}

InformationManager::~InformationManager()
{
    // A parse still running posts its result to this object; ~QObject discards such events.
    m_parsePool.waitForDone();
}

void InformationManager::setInformations(InformationList informations)
{
    if (informations == m_informations)
        return;
    m_informations = std::move(informations);
    // Validators belong to the response that brought a list; the caller sets them afterwards.
    m_validators = {};

    if (!m_readItems) {
        // First run: whatever the first list holds counts as seen, so no burst of notifications.
        QSet<QString> identifiers;
        if (m_informations) {
            identifiers.reserve(m_informations->size());
            for (const Information& information : *m_informations)
                identifiers.insert(information.identifier());
        }
        m_notifiedItems = identifiers;
        m_readItems = identifiers;
        saveState();
    }
    Q_EMIT InformationManagerDidUpdate(this);
}

void InformationManager::setInformationNotified(const Information& information)
{
    ensureSet(m_notifiedItems, m_informations ? m_informations->size() : 0)
        .insert(information.identifier());
    saveState();
}

void InformationManager::setInformationsNotified(const QList<Information>& informations)
{
    if (informations.isEmpty())
        return;
    QSet<QString>& notified = ensureSet(m_notifiedItems, 0);
    notified.reserve(notified.size() + informations.size());
    for (const Information& information : informations)
        notified.insert(information.identifier());
    saveState();
}

bool InformationManager::isInformationNotified(const Information& information) const
{
    return m_notifiedItems && m_notifiedItems->contains(information.identifier());
}

void InformationManager::setInformationRead(const Information& information)
{
    ensureSet(m_readItems, m_informations ? m_informations->size() : 0)
        .insert(information.identifier());
    saveState();
    Q_EMIT InformationManagerDidUpdate(this);
}

bool InformationManager::isInformationRead(const Information& information) const
{
    return m_readItems && m_readItems->contains(information.identifier());
}

void InformationManager::makeAllInformationsAsRead()
{
    QSet<QString>& read = ensureSet(m_readItems, m_informations ? m_informations->size() : 0);
    if (m_informations) {
        for (const Information& information : *m_informations)
            read.insert(information.identifier());
    }
    saveState();
    Q_EMIT InformationManagerDidUpdate(this);
}

std::size_t InformationManager::numberOfUnreadItems() const
{
    if (!m_informations)
        return 0;
    std::size_t count = 0;
    for (const Information& information : *m_informations) {
        if (!isInformationRead(information))
            ++count;
    }
    return count;
}

void InformationManager::startPeriodicalUpdate()
{
    if (m_timer)
        return;
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::VeryCoarseTimer);
    m_timer->setSingleShot(false);
    m_timer->setInterval(std::chrono::milliseconds(static_cast<qint64>(m_interval * 1000.0)));
    connect(m_timer, &QTimer::timeout, this, &InformationManager::refresh);
    m_timer->start();
}

void InformationManager::endPeriodicalUpdate()
{
    if (!m_timer)
        return;
    m_timer->stop();
    delete m_timer;
    m_timer = nullptr;
}

void InformationManager::restoreState()
{
    if (!m_settings) {
        m_notifiedItems.reset();
        m_readItems.reset();
        return;
    }
    m_notifiedItems = readIdentifierArray(*m_settings, notifiedItemsKey);
    m_readItems = readIdentifierArray(*m_settings, readItemsKey);
}

void InformationManager::saveState()
{
    if (!m_settings)
        return;
    writeIdentifierArray(*m_settings, notifiedItemsKey, m_notifiedItems);
    writeIdentifierArray(*m_settings, readItemsKey, m_readItems);
    const QSettings::Status before = m_settings->status();
    m_settings->sync();
    // QSettings keeps its first error for good: once one is recorded, whether the file can be
    // written now tells a lasting failure from a recovered one.
    const QSettings::Status status = m_settings->status();
    const bool failed = status != QSettings::NoError
        && (before == QSettings::NoError || !m_settings->isWritable());
    QString error;
    switch (failed ? status : QSettings::NoError) {
    case QSettings::NoError:
        break;
    case QSettings::AccessError: {
        const QFileInfo file(m_settings->fileName());
        const QString reason = file.isDir()     ? QStringLiteral("a folder is in its place")
                             : file.exists()    ? QStringLiteral("the file cannot be written")
                             : QStringLiteral("its folder cannot be written");
        error = QStringLiteral("Settings could not be saved to %1: %2").arg(file.filePath(), reason);
        break;
    }
    case QSettings::FormatError:
        error = QStringLiteral("Settings could not be saved to %1: format error")
                    .arg(m_settings->fileName());
        break;
    }
    setSettingsErrorText(error);
}

void InformationManager::setSettingsErrorText(QString text)
{
    if (text == m_settingsErrorText)
        return;
    // One line per distinct failure, not per save.
    if (!text.isEmpty())
        qCWarning(lcManager).noquote() << text;
    m_settingsErrorText = std::move(text);
    Q_EMIT updateStatusChanged();
}

void InformationManager::setDownloadOutcome(QDateTime successTime, QString errorText)
{
    if (successTime == m_lastSuccessTime && errorText == m_lastErrorText)
        return;
    m_lastSuccessTime = std::move(successTime);
    m_lastErrorText = std::move(errorText);
    Q_EMIT updateStatusChanged();
}

struct InformationManager::DownloadState
{
    bool tooLarge = false;
    bool pastDeadline = false;
    QStringList sslErrors;
};

QByteArray InformationManager::userAgent()
{
    return QByteArrayLiteral("newsbar/" NEWSBAR_VERSION);
}

void InformationManager::refresh()
{
    if (!m_feedURL || m_refreshing)
        return;
    m_refreshing = true;
    if (m_retryTimer) {
        m_retryTimer->deleteLater();
        m_retryTimer = nullptr;
    }
    QNetworkRequest request(*m_feedURL);
    request.setTransferTimeout(static_cast<int>(transferTimeout.count()));
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // Only http -> http(s) and https -> https; never file: or another scheme.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    if (m_informations) {
        if (!m_validators.first.isEmpty())
            request.setRawHeader("If-None-Match", m_validators.first);
        if (!m_validators.second.isEmpty())
            request.setRawHeader("If-Modified-Since", m_validators.second);
    }
    QNetworkReply* reply = m_network->get(request);

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

void InformationManager::networkDidComeBack()
{
    if (m_retryTimer && !m_refreshing)
        refresh();
}

std::optional<std::chrono::milliseconds> InformationManager::retryAfter(const QNetworkReply* reply) const
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    if (value.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    const qlonglong seconds = value.toLongLong(&isNumber);
    std::chrono::milliseconds delay;
    if (isNumber) {
        if (seconds < 0)
            return std::nullopt;
        delay = std::chrono::seconds(std::min<qlonglong>(seconds, qlonglong(m_interval)));
    } else {
        // An HTTP date, always in GMT: "Wed, 21 Oct 2015 07:28:00 GMT".
        QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(value),
                                                 QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
        date.setTimeSpec(Qt::UTC);
        if (!date.isValid())
            return std::nullopt;
        delay = std::chrono::milliseconds(std::clamp<qint64>(
            m_clock().msecsTo(date), 0, qint64(m_interval * 1000.0)));
    }
    return delay;
}

void InformationManager::handleReply(QNetworkReply* reply, const DownloadState& download)
{
    reply->deleteLater();
    const QString source = reply->url().toDisplayString(QUrl::RemoveUserInfo);

    if (download.tooLarge) {
        failRefresh(QStringLiteral("Feed download from %1 refused: larger than %2 bytes")
                        .arg(source, QString::number(maximumFeedSize)));
        return;
    }
    if (download.pastDeadline) {
        failRefresh(QStringLiteral("Feed download from %1 failed: not complete within %2 s")
                        .arg(source, QString::number(m_downloadDeadline.count() / 1000.0)));
        return;
    }
    if (!download.sslErrors.isEmpty()) {
        failRefresh(QStringLiteral("Feed download from %1 failed: certificate not accepted: %2")
                        .arg(source, download.sslErrors.join(QStringLiteral("; "))));
        return;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() == 304) {
        // Not modified: the current list stays, as the validators it was sent with say.
        qCInfo(lcManager).noquote() << "Feed at" << source << "not modified";
        succeedRefresh(false);
        return;
    }
    // A server's error page, a captive portal or a refused redirect must not replace the list.
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        const int code = status.toInt();
        QString message = QStringLiteral("Feed download from %1 failed: HTTP status %2")
                              .arg(source, QString::number(code));
        const QByteArray target = reply->rawHeader("Location");
        if (code >= 300 && code <= 399 && !target.isEmpty())
            message += QStringLiteral(", redirect to %1 not followed")
                           .arg(QUrl(QString::fromUtf8(target)).toDisplayString(QUrl::RemoveUserInfo));
        failRefresh(message, code == 429 || code == 503 ? retryAfter(reply) : std::nullopt);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        failRefresh(QStringLiteral("Feed download from %1 failed: %2")
                        .arg(source, reply->errorString()));
        return;
    }
    QByteArray body = reply->readAll();
    if (body.size() > maximumFeedSize) {
        failRefresh(QStringLiteral("Feed download from %1 refused: larger than %2 bytes")
                        .arg(source, QString::number(maximumFeedSize)));
        return;
    }
    if (body.isEmpty()) {
        failRefresh(QStringLiteral("Feed download from %1 failed: no body").arg(source));
        return;
    }
    std::pair<QByteArray, QByteArray> validators{reply->rawHeader("ETag"),
                                                 reply->rawHeader("Last-Modified")};

    m_parsePool.start([this, source, body = std::move(body), validators = std::move(validators)] {
        FeedParseResult result = parseFeed(body);
        QMetaObject::invokeMethod(
            this,
            [this, source, result = std::move(result), validators = std::move(validators)]() mutable {
                installParsed(source, result, std::move(validators));
            },
            Qt::QueuedConnection);
    });
}

void InformationManager::installParsed(const QString& source, const FeedParseResult& result,
                                       std::pair<QByteArray, QByteArray> validators)
{
    switch (result.status) {
    case FeedParseResult::Status::NotXml:
        failRefresh(QStringLiteral("Feed download from %1 ignored: not XML (%2)").arg(source, result.reason));
        return;
    case FeedParseResult::Status::NotRss:
        failRefresh(QStringLiteral("Feed download from %1 ignored: not an RSS document (root element %2)")
                        .arg(source, result.reason));
        return;
    case FeedParseResult::Status::Rss:
        break;
    }
    setInformations(std::make_shared<const QList<Information>>(result.informations));
    m_validators = std::move(validators);
    succeedRefresh(true);
}

void InformationManager::succeedRefresh(bool listInstalled)
{
    m_refreshing = false;
    m_failures = 0;
    if (m_retryTimer) {
        m_retryTimer->deleteLater();
        m_retryTimer = nullptr;
    }
    setDownloadOutcome(m_clock(), QString());
    Q_EMIT refreshDidFinish(listInstalled);
}

void InformationManager::failRefresh(const QString& message,
                                     std::optional<std::chrono::milliseconds> retryAfter)
{
    m_refreshing = false;
    qCWarning(lcManager).noquote() << message;
    const int failures = ++m_failures;
    std::optional<std::chrono::milliseconds> delay = retryAfter;
    if (!delay && failures <= m_retrySchedule.size())
        delay = m_retrySchedule.at(failures - 1);
    if (delay) {
        if (!m_retryTimer) {
            m_retryTimer = new QTimer(this);
            m_retryTimer->setSingleShot(true);
            connect(m_retryTimer, &QTimer::timeout, this, &InformationManager::refresh);
        }
        m_retryTimer->start(*delay);
    }
    setDownloadOutcome(m_lastSuccessTime, message);
    Q_EMIT refreshDidFinish(false);
}
