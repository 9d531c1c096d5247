#include "runningapplications.h"

#include "logging.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QVariantMap>

namespace {

const QString instanceMarker = QStringLiteral(".instance_");
const QString applicationInterface = QStringLiteral("org.freedesktop.Application");

} // namespace

// The instance's object on the bus: Activate(platform data) asks it to show its window.
class ApplicationActivationAdaptor : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationActivationAdaptor(RunningApplications* applications)
        : QObject(applications), m_applications(applications)
    {
    }

public Q_SLOTS:
    Q_SCRIPTABLE void Activate(const QVariantMap& /*platformData*/)
    {
        Q_EMIT m_applications->activationRequested();
    }

private:
    RunningApplications* m_applications;
};

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

QString RunningApplications::objectPathFor(const QString& bundleIdentifier)
{
    QString path = QStringLiteral("/");
    for (const QChar c : bundleIdentifier) {
        const bool allowed = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')
                             || (c >= u'0' && c <= u'9') || c == u'_';
        path.append(c == u'.' ? QChar(u'/') : allowed ? c : QChar(u'_'));
    }
    return path;
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
    m_connection.registerObject(objectPathFor(bundleIdentifier), new ApplicationActivationAdaptor(this),
                                QDBusConnection::ExportScriptableSlots);
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

bool RunningApplications::activateRunningApplication(const QString& bundleIdentifier) const
{
    const QList<RunningApplication> running = runningApplicationsWithBundleIdentifier(bundleIdentifier);
    for (const RunningApplication& application : running) {
        if (application.processIdentifier == m_current.processIdentifier)
            continue;
        QDBusMessage call = QDBusMessage::createMethodCall(
            application.busName, objectPathFor(bundleIdentifier), applicationInterface,
            QStringLiteral("Activate"));
        call << QVariantMap();
        const QDBusMessage reply = m_connection.call(call, QDBus::Block, activationTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return true;
        qCInfo(lcApp).noquote() << "Instance" << application.busName
                                << "did not answer:" << reply.errorMessage();
    }
    return false;
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

#include "runningapplications.moc"
