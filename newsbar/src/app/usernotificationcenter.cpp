#include "usernotificationcenter.h"

#include "localization.h"
#include "logging.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusReply>
#include <QGuiApplication>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

const QString UserNotificationCenter::defaultActionKey = QStringLiteral("default");
const QString UserNotificationCenter::openActionKey = QStringLiteral("open");

UserNotificationCenter* UserNotificationCenter::defaultUserNotificationCenter()
{
    static UserNotificationCenter* const center =
        new UserNotificationCenter(QDBusConnection::sessionBus(), QCoreApplication::instance());
    return center;
}

UserNotificationCenter::UserNotificationCenter(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), m_connection(connection)
{
    if (!m_connection.isConnected())
        return;
    m_connection.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                         SLOT(actionInvoked(uint,QString)));
    m_connection.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                         SLOT(notificationClosed(uint,uint)));
}

std::optional<QStringList> UserNotificationCenter::serverCapabilities()
{
    if (!m_capabilities) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                           QStringLiteral("GetCapabilities"));
        const QDBusReply<QStringList> reply = m_connection.call(call, QDBus::Block, callTimeoutMs);
        if (reply.isValid())
            m_capabilities = reply.value();
    }
    return m_capabilities;
}

void UserNotificationCenter::deliverNotification(UserNotification notification)
{
    if (!m_connection.isConnected()) {
        qCWarning(lcApp) << "Notification not delivered: no session bus";
        return;
    }
    const QStringList capabilities = serverCapabilities().value_or(QStringList());
    // Servers that understand markup in the body would take a title's '&' or '<' for it.
    const QString body = capabilities.contains(QStringLiteral("body-markup"))
                             ? notification.informativeText.toHtmlEscaped()
                             : notification.informativeText;
    QStringList actions{defaultActionKey, localizedString(QT_TRID_NOOP("NOTIFICATION_ACTION_SHOW"),
                                                          QStringLiteral("Show"))};
    if (capabilities.contains(QStringLiteral("actions")))
        actions << openActionKey
                << localizedString(QT_TRID_NOOP("NOTIFICATION_ACTION_OPEN"), QStringLiteral("Open"));
    QVariantMap hints;
    const QString desktopEntry = QGuiApplication::desktopFileName();
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << uint(0) << desktopEntry << notification.title
         << body << actions << hints
         << int(-1);
    const QDBusReply<uint> reply = m_connection.call(call, QDBus::Block, callTimeoutMs);
    if (!reply.isValid()) {
        qCWarning(lcApp).noquote() << "Notification not delivered:" << reply.error().message();
        return;
    }
    notification.identifier = reply.value();
    m_known.insert(notification.identifier, notification);
    m_delivered.prepend(notification);
}

void UserNotificationCenter::removeDeliveredNotification(const UserNotification& notification)
{
    for (qsizetype i = 0; i < m_delivered.size(); ++i) {
        if (m_delivered.at(i).identifier == notification.identifier) {
            m_delivered.removeAt(i);
            break;
        }
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << notification.identifier;
    m_connection.send(call);
}

void UserNotificationCenter::actionInvoked(uint id, const QString& actionKey)
{
    const auto it = m_known.constFind(id);
    if (it == m_known.cend())
        return;  // another program's notification
    if (actionKey == defaultActionKey)
        Q_EMIT didActivateNotification(*it);
    else if (actionKey == openActionKey)
        Q_EMIT didInvokeOpenAction(*it);
}

void UserNotificationCenter::notificationClosed(uint id, uint /*reason*/)
{
    for (qsizetype i = 0; i < m_delivered.size(); ++i) {
        if (m_delivered.at(i).identifier == id) {
            m_delivered.removeAt(i);
            return;
        }
    }
}
