#include "feed/informationmanager.h"

#include "feed/bundleinfo.h"
#include "feed/feedparser.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

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
    if (!m_notifiedItems) {
        m_notifiedItems.emplace();
        m_notifiedItems->reserve(m_informations ? m_informations->size() : 0);
    }
    m_notifiedItems->insert(information.identifier());
    saveState();
}

bool InformationManager::isInformationNotified(const Information& information) const
{
    return m_notifiedItems && m_notifiedItems->contains(information.identifier());
}

void InformationManager::setInformationRead(const Information& information)
{
    if (!m_readItems) {
        m_readItems.emplace();
        m_readItems->reserve(m_informations ? m_informations->size() : 0);
    }
    m_readItems->insert(information.identifier());
    saveState();
    Q_EMIT InformationManagerDidUpdate(this);
}

bool InformationManager::isInformationRead(const Information& information) const
{
    return m_readItems && m_readItems->contains(information.identifier());
}

void InformationManager::makeAllInformationsAsRead()
{
    if (!m_readItems) {
        m_readItems.emplace();
        m_readItems->reserve(m_informations ? m_informations->size() : 0);
    }
    if (m_informations) {
        for (const Information& information : *m_informations)
            m_readItems->insert(information.identifier());
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
    m_settings->sync();
    QString error;
    switch (m_settings->status()) {
    case QSettings::NoError:
        break;
    case QSettings::AccessError:
        error = QStringLiteral("Settings could not be saved to %1: not writable")
                    .arg(m_settings->fileName());
        break;
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

void InformationManager::refresh()
{
    if (!m_feedURL)
        return;
    QNetworkRequest request(*m_feedURL);
    request.setTransferTimeout(static_cast<int>(transferTimeout.count()));
    QNetworkReply* reply = m_network->get(request);

    // Give up as soon as the body is known to be too large instead of buffering all of it.
    auto tooLarge = std::make_shared<bool>(false);
    const auto checkSize = [reply, tooLarge](qint64 size) {
        if (size > maximumFeedSize && !*tooLarge) {
            *tooLarge = true;
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
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, tooLarge] { handleReply(reply, *tooLarge); });
}

void InformationManager::handleReply(QNetworkReply* reply, bool tooLarge)
{
    reply->deleteLater();
    const QString source = reply->url().toDisplayString(QUrl::RemoveUserInfo);

    if (tooLarge) {
        failRefresh(QStringLiteral("Feed download from %1 refused: larger than %2 bytes")
                        .arg(source, QString::number(maximumFeedSize)));
        return;
    }
    // A server's error page or a captive portal must not replace the list.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        failRefresh(QStringLiteral("Feed download from %1 failed: HTTP status %2")
                        .arg(source, QString::number(status.toInt())));
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

    m_parsePool.start([this, source, body = std::move(body)] {
        FeedParseResult result = parseFeed(body);
        const bool isRss = result.status == FeedParseResult::Status::Rss;
        QMetaObject::invokeMethod(
            this,
            [this, source, isRss, informations = std::move(result.informations)]() mutable {
                installParsed(source, isRss, std::move(informations));
            },
            Qt::QueuedConnection);
    });
}

void InformationManager::installParsed(const QString& source, bool isRss,
                                       QList<Information> informations)
{
    if (!isRss) {
        failRefresh(QStringLiteral("Feed download from %1 ignored: not an RSS document").arg(source));
        return;
    }
    setInformations(std::make_shared<const QList<Information>>(std::move(informations)));
    setDownloadOutcome(QDateTime::currentDateTimeUtc(), QString());
    Q_EMIT refreshDidFinish(true);
}

void InformationManager::failRefresh(const QString& message)
{
    qCWarning(lcManager).noquote() << message;
    setDownloadOutcome(m_lastSuccessTime, message);
    Q_EMIT refreshDidFinish(false);
}
