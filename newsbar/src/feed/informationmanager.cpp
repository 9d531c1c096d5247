#include "feed/informationmanager.h"

#include "feed/bundleinfo.h"
#include "feed/feedparser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QNetworkInformation>
#include <QRegularExpression>
#include <QSettings>
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
const QString utcIdentifiersKey = QStringLiteral("UTCIdentifiers");

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
        if (const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
            !cache.isEmpty())
            manager->setStoredFeedPath(cache + QStringLiteral("/last-feed.xml"));
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
      m_clock([] { return QDateTime::currentDateTimeUtc(); }),
      m_settings(settings),
      m_network(network ? network : createDefaultNetworkAccessManager(this))
{
    m_fetcher = new FeedFetcher(m_feedURL.value_or(QUrl()), m_network, this);
    m_fetcher->setLongestRetry(std::chrono::milliseconds(static_cast<qint64>(m_interval * 1000.0)));
    connect(m_fetcher, &FeedFetcher::fetched, this, &InformationManager::parseFetched);
    connect(m_fetcher, &FeedFetcher::notModified, this, [this](const QString& source) {
        // The current list stays, as the validators it was sent with say.
        qCInfo(lcManager).noquote() << "Feed at" << source << "not modified";
        succeedRefresh(false);
    });
    connect(m_fetcher, &FeedFetcher::failed, this, &InformationManager::failRefresh);
    connect(m_fetcher, &FeedFetcher::retryDue, this, &InformationManager::refresh);
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
    if (m_carryOverPending && m_informations && !m_informations->isEmpty())
        carryOverLocalZoneIdentifiers();

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
        m_carryOverPending = false;
        return;
    }
    m_notifiedItems = readIdentifierArray(*m_settings, notifiedItemsKey);
    m_readItems = readIdentifierArray(*m_settings, readItemsKey);
    m_carryOverPending = (m_notifiedItems || m_readItems)
                         && !m_settings->value(utcIdentifiersKey).toBool();
}

void InformationManager::carryOverLocalZoneIdentifiers()
{
    qsizetype carried = 0;
    for (const Information& information : *m_informations) {
        const QString identifier = information.identifier();
        const QString old = information.localZoneIdentifier();
        if (old == identifier)
            continue;
        for (std::optional<QSet<QString>>* set : {&m_readItems, &m_notifiedItems}) {
            if (*set && (*set)->contains(old) && !(*set)->contains(identifier)) {
                (*set)->insert(identifier);
                ++carried;
            }
        }
    }
    m_carryOverPending = false;
    qCInfo(lcManager) << "Stored read and notified state carried over to identifiers in UTC:"
                      << carried << "entries added";
    saveState();
}

void InformationManager::saveState()
{
    if (!m_settings)
        return;
    writeIdentifierArray(*m_settings, notifiedItemsKey, m_notifiedItems);
    writeIdentifierArray(*m_settings, readItemsKey, m_readItems);
    if (!m_carryOverPending)
        m_settings->setValue(utcIdentifiersKey, true);
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

bool InformationManager::restoreStoredFeed()
{
    if (m_informations || m_storedFeedPath.isEmpty())
        return false;
    QFile file(m_storedFeedPath);
    if (!file.exists())
        return false;
    const bool tooLarge = file.size() > maximumFeedSize;
    if (tooLarge || !file.open(QIODevice::ReadOnly)) {
        qCWarning(lcManager).noquote() << "Stored feed" << m_storedFeedPath << "not read:"
                                       << (tooLarge ? QStringLiteral("too large") : file.errorString());
        return false;
    }
    const QDateTime time = file.fileTime(QFileDevice::FileModificationTime).toUTC();
    // Relative Atom links resolve against the feed's own address.
    const FeedParseResult result = parseFeed(file.read(maximumFeedSize), m_feedURL.value_or(QUrl()));
    if (result.status != FeedParseResult::Status::Rss) {
        qCWarning(lcManager).noquote() << "Stored feed" << m_storedFeedPath << "not used:" << result.reason;
        return false;
    }
    setInformations(std::make_shared<const QList<Information>>(result.informations));
    qCInfo(lcManager).noquote() << "Showing the stored feed of" << time.toString(Qt::ISODate)
                                << "until a download succeeds";
    m_storedListTime = time;
    Q_EMIT updateStatusChanged();
    return true;
}

void InformationManager::storeFeed(const QByteArray& body)
{
    if (m_storedFeedPath.isEmpty())
        return;
    QDir().mkpath(QFileInfo(m_storedFeedPath).absolutePath());
    QSaveFile file(m_storedFeedPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
        qCWarning(lcManager).noquote() << "Feed not stored in" << m_storedFeedPath << ":" << file.errorString();
        return;
    }
    touchStoredFeed();
}

void InformationManager::touchStoredFeed()
{
    if (m_storedFeedPath.isEmpty())
        return;
    // The file's time is the time of the download that brought or confirmed it.
    QFile file(m_storedFeedPath);
    if (file.open(QIODevice::Append))
        file.setFileTime(m_clock(), QFileDevice::FileModificationTime);
}

bool InformationManager::setDownloadOutcome(QDateTime successTime, QString errorText)
{
    if (successTime == m_lastSuccessTime && errorText == m_lastErrorText)
        return false;
    m_lastSuccessTime = std::move(successTime);
    m_lastErrorText = std::move(errorText);
    Q_EMIT updateStatusChanged();
    return true;
}

void InformationManager::setDownloadDeadline(std::chrono::milliseconds deadline)
{
    m_fetcher->setDownloadDeadline(deadline);
}

void InformationManager::setRetrySchedule(QList<std::chrono::milliseconds> schedule)
{
    m_fetcher->setRetrySchedule(std::move(schedule));
}

void InformationManager::setClock(std::function<QDateTime()> clock)
{
    m_fetcher->setClock(clock);
    m_clock = std::move(clock);
}

QTimer* InformationManager::retryTimer() const
{
    return m_fetcher->retryTimer();
}

void InformationManager::refresh()
{
    if (!m_feedURL || m_refreshing)
        return;
    m_refreshing = true;
    Q_EMIT updateStatusChanged();
    m_fetcher->fetch(m_informations ? m_validators : FeedValidators{});
}

void InformationManager::networkDidComeBack()
{
    if (m_fetcher->retryTimer() && !m_refreshing)
        refresh();
}

void InformationManager::parseFetched(const QByteArray& body, const FeedValidators& validators,
                                      const QString& source)
{
    m_parsePool.start([this, source, body, validators, url = m_feedURL.value_or(QUrl())] {
        FeedParseResult result = parseFeed(body, url);
        QMetaObject::invokeMethod(
            this,
            [this, source, result = std::move(result), validators, body]() mutable {
                installParsed(source, result, std::move(validators), body);
            },
            Qt::QueuedConnection);
    });
}

void InformationManager::installParsed(const QString& source, const FeedParseResult& result,
                                       FeedValidators validators, const QByteArray& body)
{
    switch (result.status) {
    case FeedParseResult::Status::NotXml:
        m_fetcher->reject(QStringLiteral("Feed download from %1 ignored: not XML (%2)").arg(source, result.reason),
                          {FeedFailure::Kind::NotXml, 0});
        return;
    case FeedParseResult::Status::NotRss:
        m_fetcher->reject(QStringLiteral("Feed download from %1 ignored: not an RSS or Atom document (root element %2)")
                              .arg(source, result.reason),
                          {FeedFailure::Kind::NotFeed, 0});
        return;
    case FeedParseResult::Status::Rss:
        break;
    }
    setInformations(std::make_shared<const QList<Information>>(result.informations));
    m_validators = std::move(validators);
    m_fetcher->accept();
    storeFeed(body);
    succeedRefresh(true);
}

void InformationManager::succeedRefresh(bool listInstalled)
{
    m_refreshing = false;
    if (!listInstalled)
        touchStoredFeed();
    m_storedListTime = QDateTime();
    m_lastFailure = {};
    // The end of the download is a change in itself.
    if (!setDownloadOutcome(m_clock(), QString()))
        Q_EMIT updateStatusChanged();
    Q_EMIT refreshDidFinish(listInstalled);
}

void InformationManager::failRefresh(const QString& message,
                                     std::optional<std::chrono::milliseconds> /*retryIn*/,
                                     const FeedFailure& failure)
{
    m_refreshing = false;
    qCWarning(lcManager).noquote() << message;
    m_lastFailure = failure;
    if (!setDownloadOutcome(m_lastSuccessTime, message))
        Q_EMIT updateStatusChanged();
    Q_EMIT refreshDidFinish(false);
}
