#include "usernotificationcenter.h"

#include "logging.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusReply>
#include <QGuiApplication>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

} // namespace

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

bool UserNotificationCenter::serverSupportsBodyMarkup()
{
    if (!m_bodyMarkup) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                           QStringLiteral("GetCapabilities"));
        const QDBusReply<QStringList> reply = m_connection.call(call, QDBus::Block, callTimeoutMs);
        if (!reply.isValid())
            return false;  // asked again next time
        m_bodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
    }
    return *m_bodyMarkup;
}

void UserNotificationCenter::deliverNotification(UserNotification notification)
{
    if (!m_connection.isConnected()) {
        qCWarning(lcApp) << "Notification not delivered: no session bus";
        return;
    }
    // Servers that understand markup in the body would take a title's '&' or '<' for it.
    const QString body = serverSupportsBodyMarkup() ? notification.informativeText.toHtmlEscaped()
                                                    : notification.informativeText;
    QVariantMap hints;
    const QString desktopEntry = QGuiApplication::desktopFileName();
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);

    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << uint(0) << desktopEntry << notification.title
         << body << QStringList{defaultAction, qtTrId("NOTIFICATION_ACTION_SHOW")} << hints
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
    if (actionKey != defaultAction)
        return;
    const auto it = m_known.constFind(id);
    if (it == m_known.cend())
        return;  // another program's notification
    Q_EMIT didActivateNotification(*it);
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
