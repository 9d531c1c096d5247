#include "applicationcontroller.h"

#include "desktopappearance.h"
#include "localization.h"
#include "logging.h"
#include "statusitemcontroller.h"
#include "windowcontroller.h"
#include "xembedtraycolors.h"

#include "feed/bundleinfo.h"
#include "feed/informationmanager.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <algorithm>

QList<RunningApplication> ApplicationController::runningAnotherInfoApplications(
    const QList<RunningApplication>& running, const RunningApplication& current)
{
    if (running.isEmpty())
        return {};
    if (running.size() == 1 && running.first().processIdentifier == current.processIdentifier)
        return {};
    QList<RunningApplication> others;
    others.reserve(running.size() - 1);
    for (const RunningApplication& application : running) {
        if (application.processIdentifier != current.processIdentifier)
            others.append(application);
    }
    return others;
}

QList<Information> ApplicationController::informationsToNotify(
    const QList<Information>& list, const std::function<bool(const Information&)>& isNotified)
{
    QList<Information> chosen;
    QSet<QString> chosenIdentifiers;
    for (auto it = list.crbegin(); it != list.crend(); ++it) {
        if (isNotified(*it))
            continue;
        // Delivering marks the identifier notified, so its second listing is skipped.
        const QString identifier = it->identifier();
        if (chosenIdentifiers.contains(identifier))
            continue;
        chosenIdentifiers.insert(identifier);
        chosen.append(*it);
    }
    return chosen;
}

QList<UserNotification> ApplicationController::deliveredNotificationsToRemove(
    const QList<UserNotification>& delivered)
{
    if (delivered.size() <= maximumDeliveredNotifications)
        return {};
    return delivered.mid(maximumDeliveredNotifications);
}

ApplicationController::ApplicationController(const QString& bundleIdentifier,
                                             RunningApplications* applications,
                                             UserNotificationCenter* center, QObject* parent)
    : QObject(parent), m_bundleIdentifier(bundleIdentifier), m_applications(applications),
      m_center(center)
{
}

ApplicationController::~ApplicationController() = default;

void ApplicationController::setStatusMenu(QMenu* menu)
{
    m_statusMenu = menu;
    if (!menu)
        return;
    const QList<QAction*> actions = menu->actions();
    for (QAction* action : actions) {
        const QString name = action->objectName();
        if (name == QLatin1String("actionShowNews")) {
            connect(action, &QAction::triggered, this, [this, action] { orderFrontInfoWindow(action); });
        } else if (name == QLatin1String("actionMarkAllRead")) {
            connect(action, &QAction::triggered, this,
                    [this, action] { makeAllInformationsAsRead(action); });
        } else if (name == QLatin1String("actionShowWebsite")) {
            connect(action, &QAction::triggered, this, [this, action] { showWebsite(action); });
            // Without a website there is nothing to show.
            const auto text = BundleInfo::value(QStringLiteral("QZWebsiteURL"));
            action->setVisible(text && Url::fromString(*text));
        } else if (name == QLatin1String("actionQuit")) {
            connect(action, &QAction::triggered, this, [this] { terminate(); });
        }
    }
}

void ApplicationController::applicationDidFinishLaunching(const LaunchInfo& launch)
{
    m_isDefaultLaunch = launch.isDefaultLaunch;
    // Whatever the launch, a running instance shows its window and this one is not needed.
    if (m_applications->activateRunningApplication(m_bundleIdentifier)) {
        qCInfo(lcApp) << "The running instance shows its window; this one quits";
        terminate();
        return;
    }
    if (m_isDefaultLaunch) {
        if (!runningAnotherInfoApplications().isEmpty()) {
            qCInfo(lcApp) << "Another instance is running; this one quits";
            terminate();
            return;
        }
        // An instance started at the same moment may not have been visible yet.
        for (int check = 1; check <= instanceCheckCount; ++check) {
            QTimer::singleShot(check * instanceCheckIntervalMs, this, [this] {
                if (!runningAnotherInfoApplications().isEmpty()) {
                    qCInfo(lcApp) << "Another instance is running; this one quits";
                    terminate();
                }
            });
        }
    }

    // From here on this instance runs: the others see it, and it sees the ones started later.
    // An instance that quit above was never announced, so it caused no other to quit.
    m_applications->registerCurrentApplication(m_bundleIdentifier);

    m_statusItemController = new StatusItemController(m_statusMenu, this);
    // The tray image follows the desktop's light or dark scheme where it publishes one.
    auto* appearance = new DesktopAppearance(QDBusConnection::sessionBus(), this);
    connect(appearance, &DesktopAppearance::colorSchemeChanged, m_statusItemController,
            &StatusItemController::setColorScheme);
    // On X the tray itself may say which colour its icons should be (it goes before the scheme).
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        auto* trayColors = new XEmbedTrayColors(QByteArray(), this);
        m_statusItemController->setTrayForeground(trayColors->foreground());
        connect(trayColors, &XEmbedTrayColors::foregroundChanged, m_statusItemController,
                &StatusItemController::setTrayForeground);
    }
    // The first use of the shared manager, which restores the stored state.
    m_manager = InformationManager::sharedManager();
    m_windowController = new WindowController(m_manager, this);
    if (m_statusMenu) {
        // The window offers the status menu too (right click, Ctrl+Q): without a tray it is
        // the only way to quit.
        QWidget* window = m_windowController->window();
        window->addActions(m_statusMenu->actions());
        window->setContextMenuPolicy(Qt::ActionsContextMenu);
    }

    connect(m_center, &UserNotificationCenter::didActivateNotification, this,
            &ApplicationController::userNotificationCenterDidActivateNotification);
    connect(m_center, &UserNotificationCenter::didInvokeOpenAction, this,
            &ApplicationController::userNotificationCenterDidInvokeOpenAction);
    // Another launch hands over: the window comes forward and the feed is downloaded again, as
    // the menu's "Show news" does.
    connect(m_applications, &RunningApplications::activationRequested, this,
            [this] { orderFrontInfoWindow(this); });
    connect(m_applications, &RunningApplications::didLaunchApplication, this,
            &ApplicationController::workspaceDidLaunchApplication);
    connect(m_manager, &InformationManager::InformationManagerDidUpdate, this,
            &ApplicationController::informationManagerDidUpdate);

    // The last feed that arrived is shown until a download brings a new one.
    m_manager->restoreStoredFeed();
    m_manager->refresh();
    m_manager->startPeriodicalUpdate();

    // Without a tray the window is the only way in, so it is shown at every launch.
    if (launch.showWindow || !QSystemTrayIcon::isSystemTrayAvailable()) {
        m_windowController->showWindow(this);
        bringToFront();
    }
}

void ApplicationController::orderFrontInfoWindow(QObject* sender)
{
    m_manager->refresh();
    m_windowController->showWindow(sender);
    bringToFront();
}

void ApplicationController::makeAllInformationsAsRead(QObject* /*sender*/)
{
    m_manager->makeAllInformationsAsRead();
}

void ApplicationController::showWebsite(QObject* /*sender*/)
{
    const auto text = BundleInfo::value(QStringLiteral("QZWebsiteURL"));
    const std::optional<Url> url = text ? Url::fromString(*text) : std::nullopt;
    if (url)
        QDesktopServices::openUrl(url->toQUrl());
}

QList<RunningApplication> ApplicationController::runningAnotherInfoApplications() const
{
    return runningAnotherInfoApplications(
        m_applications->runningApplicationsWithBundleIdentifier(m_bundleIdentifier),
        m_applications->currentApplication());
}

void ApplicationController::deliverNotificationWithInformation(const Information& information)
{
    UserNotification notification;
    notification.title = localizedString("NOTIFICATION_TITLE");
    notification.informativeText = information.title().value_or(QString());
    notification.userInfo = information.dictionary();
    m_center->deliverNotification(notification);
    adjustDeliveredNotifications();
}

void ApplicationController::adjustDeliveredNotifications()
{
    const QList<UserNotification> excess =
        deliveredNotificationsToRemove(m_center->deliveredNotifications());
    for (const UserNotification& notification : excess)
        m_center->removeDeliveredNotification(notification);
}

void ApplicationController::workspaceDidLaunchApplication(const RunningApplication& application)
{
    if (!m_isDefaultLaunch)
        return;
    if (application.bundleIdentifier == m_bundleIdentifier) {
        qCInfo(lcApp) << "Another instance was started; this one quits";
        terminate();
    }
}

void ApplicationController::informationManagerDidUpdate()
{
    // Held here: delivering talks to the bus, and the list must outlive the walk.
    const InformationList list = m_manager->informations();
    if (list) {
        const QList<Information> toNotify = informationsToNotify(
            *list, [this](const Information& information) {
                return m_manager->isInformationNotified(information);
            });
        // Only the ones that stay listed after trimming are posted (the last delivered); the
        // others are marked notified without a pop-up, and all of them in one save.
        const qsizetype firstPosted = std::max<qsizetype>(0, toNotify.size() - maximumDeliveredNotifications);
        for (qsizetype i = firstPosted; i < toNotify.size(); ++i)
            deliverNotificationWithInformation(toNotify.at(i));
        m_manager->setInformationsNotified(toNotify);
    }
    m_statusItemController->setBadge(m_manager->numberOfUnreadItems());
}

void ApplicationController::userNotificationCenterDidActivateNotification(
    const UserNotification& /*notification*/)
{
    m_windowController->showWindow(this);
    bringToFront();
}

void ApplicationController::userNotificationCenterDidInvokeOpenAction(
    const UserNotification& notification)
{
    m_windowController->openInformation(Information::initWithDictionary(notification.userInfo));
}

void ApplicationController::terminate()
{
    // Queued, so that it also ends an event loop that has not started turning yet.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

void ApplicationController::bringToFront()
{
    if (QWidget* window = m_windowController->window()) {
        window->raise();
        window->activateWindow();
    }
}
