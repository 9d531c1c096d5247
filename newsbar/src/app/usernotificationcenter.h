#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <optional>

// One notification of the program: what it shows and the record it speaks of.
struct UserNotification
{
    QString title;
    QString informativeText;
    QVariantMap userInfo;
    // The server's id once delivered; 0 before.
    uint identifier = 0;
};

// The program's notifications on the desktop's notification server (org.freedesktop.Notifications
// on the session bus).
//
// The server keeps no list for us, so the delivered list is ours: the notifications delivered
// and not yet closed, newest first. A notification closes when we remove it or when the server
// reports it closed (expired, dismissed).
class UserNotificationCenter : public QObject
{
    Q_OBJECT

public:
    static constexpr int callTimeoutMs = 5000;

    // The centre on the session bus, made on first use.
    static UserNotificationCenter* defaultUserNotificationCenter();

    explicit UserNotificationCenter(const QDBusConnection& connection, QObject* parent = nullptr);

    // The action keys: clicking the notification, and its "Open" button.
    static const QString defaultActionKey;
    static const QString openActionKey;

    // Shows it at once with the default action, an "Open" button where the server shows
    // action buttons, and the desktop-entry hint. Without a server (or on its error) it is not
    // listed and one line is logged; nothing else happens.
    void deliverNotification(UserNotification notification);

    const QList<UserNotification>& deliveredNotifications() const { return m_delivered; }

    // Closes it on the server and drops it from the list.
    void removeDeliveredNotification(const UserNotification& notification);

Q_SIGNALS:
    // The user clicked one of this program's notifications.
    void didActivateNotification(const UserNotification& notification);
    // The user pressed the "Open" button of one of this program's notifications.
    void didInvokeOpenAction(const UserNotification& notification);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

private:
    // The server's capabilities; asked once, and again after a failed answer.
    std::optional<QStringList> serverCapabilities();

    QDBusConnection m_connection;
    QList<UserNotification> m_delivered;
    // Every notification this process delivered, closed or not: a server may still let the user
    // click one it keeps in its history.
    QHash<uint, UserNotification> m_known;
    std::optional<QStringList> m_capabilities;
};
