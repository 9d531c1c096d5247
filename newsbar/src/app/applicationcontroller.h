#pragma once

#include "runningapplications.h"
#include "usernotificationcenter.h"

#include "feed/information.h"

#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include <functional>

class InformationManager;
class StatusItemController;
class WindowController;

// How the program was started.
struct LaunchInfo
{
    // A plain start. Starts that ask for something (newsbar --show) are not default launches.
    bool isDefaultLaunch = true;
    // The start asks for the window at once, as a start from a notification does.
    bool showWindow = false;
};

// The top of the program: single-instance rule, status item, window, notifications, menu.
class ApplicationController : public QObject
{
    Q_OBJECT

public:
    // At most this many of the program's notifications stay listed.
    static constexpr qsizetype maximumDeliveredNotifications = 5;
    // The delayed checks for another instance after a default launch.
    static constexpr int instanceCheckCount = 10;
    static constexpr int instanceCheckIntervalMs = 3000;

    // runningAnotherInfoApplications over given lists: the entries of running (all instances
    // with the program's bundle identifier, in the order reported) that are not current.
    static QList<RunningApplication> runningAnotherInfoApplications(
        const QList<RunningApplication>& running, const RunningApplication& current);

    // The records of list (feed order) to notify now, in delivery order: last record first,
    // skipping those isNotified accepts. Each delivery marks its record notified at once, so a
    // record listed twice is delivered once.
    static QList<Information> informationsToNotify(
        const QList<Information>& list, const std::function<bool(const Information&)>& isNotified);

    // The delivered notifications (newest first) to remove: all after the first five.
    static QList<UserNotification> deliveredNotificationsToRemove(
        const QList<UserNotification>& delivered);

    // bundleIdentifier: the program's; applications and center: the session bus's views.
    ApplicationController(const QString& bundleIdentifier, RunningApplications* applications,
                          UserNotificationCenter* center, QObject* parent = nullptr);
    ~ApplicationController() override;

    // The menu of the status item, with the actions named actionShowNews, actionMarkAllRead,
    // actionShowWebsite and actionQuit, which are connected here. Not owned.
    void setStatusMenu(QMenu* menu);
    QMenu* statusMenu() const { return m_statusMenu; }

    StatusItemController* statusItemController() const { return m_statusItemController; }
    WindowController* windowController() const { return m_windowController; }
    bool isDefaultLaunch() const { return m_isDefaultLaunch; }

    // The launch sequence: a running instance asked to show its window (this one then quits),
    // single-instance rule, status item, window (shown at once without a tray), observers,
    // downloads.
    void applicationDidFinishLaunching(const LaunchInfo& launch);

    // Menu actions; sender is the menu item or the caller.
    void orderFrontInfoWindow(QObject* sender);
    void makeAllInformationsAsRead(QObject* sender);
    void showWebsite(QObject* sender);

    // The other running instances of this program.
    QList<RunningApplication> runningAnotherInfoApplications() const;
    void deliverNotificationWithInformation(const Information& information);
    void adjustDeliveredNotifications();

    void workspaceDidLaunchApplication(const RunningApplication& application);
    void informationManagerDidUpdate();
    void userNotificationCenterDidActivateNotification(const UserNotification& notification);
    // The notification's "Open" button: opens the record's link and marks it read, as opening
    // it from the window does.
    void userNotificationCenterDidInvokeOpenAction(const UserNotification& notification);

    // Asks the application to quit, once its event loop runs.
    void terminate();

private:
    void bringToFront();

    QString m_bundleIdentifier;
    RunningApplications* m_applications;
    UserNotificationCenter* m_center;
    QPointer<QMenu> m_statusMenu;
    StatusItemController* m_statusItemController = nullptr;
    WindowController* m_windowController = nullptr;
    InformationManager* m_manager = nullptr;
    bool m_isDefaultLaunch = false;
};
