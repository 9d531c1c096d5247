#include "runningapplications.h"

#include "logging.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDBusServiceWatcher>

namespace {

const QString instanceMarker = QStringLiteral(".instance_");

} // namespace

QString RunningApplications::busNameFor(const QString& bundleIdentifier, qint64 processIdentifier)
{
    return bundleIdentifier + instanceMarker + QString::number(processIdentifier);
}

std::optional<QString> RunningApplications::bundleIdentifierOf(const QString& busName)
{
    const qsizetype marker = busName.lastIndexOf(instanceMarker);
    if (marker <= 0)
        return std::nullopt;
    const QString pid = busName.mid(marker + instanceMarker.size());
    bool isNumber = false;
    pid.toLongLong(&isNumber);
    if (!isNumber || pid.startsWith(u'+') || pid.startsWith(u'-'))
        return std::nullopt;
    return busName.left(marker);
}

RunningApplications::RunningApplications(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), m_connection(connection)
{
    m_current.processIdentifier = QCoreApplication::applicationPid();
}

bool RunningApplications::registerCurrentApplication(const QString& bundleIdentifier)
{
    m_current.bundleIdentifier = bundleIdentifier;
    m_current.busName = busNameFor(bundleIdentifier, m_current.processIdentifier);
    if (!m_connection.isConnected()) {
        qCWarning(lcApp) << "No session bus: other instances cannot be detected";
        return false;
    }
    if (!m_connection.registerService(m_current.busName)) {
        qCWarning(lcApp).noquote() << "Could not announce this instance on the session bus:"
                                   << m_connection.lastError().message();
        return false;
    }
    // A trailing '*' after a whole name watches that name and every name below it.
    m_watcher = new QDBusServiceWatcher(bundleIdentifier + u'*', m_connection,
                                        QDBusServiceWatcher::WatchForRegistration, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceRegistered, this,
            &RunningApplications::serviceRegistered);
    return true;
}

QList<RunningApplication> RunningApplications::runningApplicationsWithBundleIdentifier(
    const QString& bundleIdentifier) const
{
    QList<RunningApplication> running;
    if (!m_connection.isConnected())
        return running;
    QDBusConnectionInterface* bus = m_connection.interface();
    const QDBusReply<QStringList> names = bus->registeredServiceNames();
    if (!names.isValid())
        return running;
    for (const QString& name : names.value()) {
        if (bundleIdentifierOf(name) != bundleIdentifier)
            continue;
        const QDBusReply<uint> pid = bus->servicePid(name);
        if (!pid.isValid())
            continue;  // gone since the list was made
        running.append({bundleIdentifier, qint64(pid.value()), name});
    }
    return running;
}

void RunningApplications::serviceRegistered(const QString& busName)
{
    if (busName == m_current.busName)
        return;
    const std::optional<QString> bundleIdentifier = bundleIdentifierOf(busName);
    if (!bundleIdentifier)
        return;
    RunningApplication launched{*bundleIdentifier, 0, busName};
    const QDBusReply<uint> pid = m_connection.interface()->servicePid(busName);
    if (pid.isValid())
        launched.processIdentifier = pid.value();
    Q_EMIT didLaunchApplication(launched);
}
