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

    // Shows it at once with a "default" action. Without a server (or on its error) it is not
    // listed and one line is logged; nothing else happens.
    void deliverNotification(UserNotification notification);

    const QList<UserNotification>& deliveredNotifications() const { return m_delivered; }

    // Closes it on the server and drops it from the list.
    void removeDeliveredNotification(const UserNotification& notification);

Q_SIGNALS:
    // The user clicked one of this program's notifications.
    void didActivateNotification(const UserNotification& notification);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& actionKey);
    void notificationClosed(uint id, uint reason);

private:
    bool serverSupportsBodyMarkup();

    QDBusConnection m_connection;
    QList<UserNotification> m_delivered;
    // Every notification this process delivered, closed or not: a server may still let the user
    // click one it keeps in its history.
    QHash<uint, UserNotification> m_known;
    std::optional<bool> m_bodyMarkup;
};
