// The application controller's decisions over lists, and its update handling without a
// notification server.
#include "apptestsupport.h"

#include "applicationcontroller.h"
#include "runningapplications.h"
#include "statusitemcontroller.h"
#include "usernotificationcenter.h"
#include "windowcontroller.h"

#include "feed/bundleinfo.h"
#include "feed/informationmanager.h"

#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

using Apps = QList<RunningApplication>;

RunningApplication app(qint64 pid)
{
    return {QStringLiteral("org.example.app"), pid, QStringLiteral("org.example.app.instance_%1").arg(pid)};
}

QStringList logLines;

// A controller on no bus at all, with the status menu's website item.
struct Offline
{
    RunningApplications applications{QDBusConnection(QStringLiteral("none"))};
    UserNotificationCenter center{QDBusConnection(QStringLiteral("none"))};
    ApplicationController controller{QStringLiteral("org.example.app"), &applications, &center};
    QMenu menu;
    QAction* showWebsite = menu.addAction(QStringLiteral("Website"));
    Offline()
    {
        showWebsite->setObjectName(QStringLiteral("actionShowWebsite"));
        controller.setStatusMenu(&menu);
    }
};

} // namespace

class ControllerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runningAnotherInfoApplications()
    {
        const RunningApplication self = app(100), a = app(7), b = app(9);
        const std::pair<Apps, Apps> cases[] = {{{}, {}}, {{self}, {}}, {{a}, {a}}, {{self, a}, {a}},
                                               {{b, self, a}, {b, a}}, {{self, self}, {}}};
        for (const auto& [running, expected] : cases)
            QCOMPARE(ApplicationController::runningAnotherInfoApplications(running, self), expected);
    }

    void bundleIdentifierOfBusName()
    {
        const std::pair<QString, QString> cases[] = {  // empty: not an instance name
            {"org.qzimg.newsbar.instance_1234", "org.qzimg.newsbar"},
            {"org.qzimg.newsbar.tool.instance_5", "org.qzimg.newsbar.tool"},
            {"org.qzimg.newsbar", ""}, {"org.qzimg.newsbar.instance_", ""},
            {"org.qzimg.newsbar.instance_-3", ""}, {"org.qzimg.newsbar.instance_abc", ""},
            {".instance_12", ""}};
        const std::pair<QString, QString> paths[] = {{"org.qzimg.newsbar", "/org/qzimg/newsbar"},
                                                     {"org.qzimg.news-bar2", "/org/qzimg/news_bar2"}};
        for (const auto& [identifier, path] : paths)
            QCOMPARE(RunningApplications::objectPathFor(identifier), path);
        for (const auto& [name, expected] : cases) {
            QCOMPARE(RunningApplications::bundleIdentifierOf(name).value_or(QString()), expected);
            if (!expected.isEmpty())
                QCOMPARE(RunningApplications::bundleIdentifierOf(RunningApplications::busNameFor(expected, 7))
                             .value_or(QString()), expected);
        }
    }

    // Last record first, skipping notified ones, each record once.
    void informationsToNotify()
    {
        const QStringList abc{"A", "B", "C"}, ab{"A", "B"};
        const std::tuple<QStringList, QStringList, QStringList> cases[] = {  // feed, notified, chosen
            {abc, {}, {"C", "B", "A"}}, {abc, {"B"}, {"C", "A"}}, {ab, ab, {}},
            {{"A", "B", "A"}, {}, {"A", "B"}}};
        for (const auto& [feed, notified, expected] : cases) {
            QList<Information> list;
            for (const QString& title : feed)
                list.append(makeInformation(title, QStringLiteral("news")));
            QStringList chosen;
            for (const Information& information : ApplicationController::informationsToNotify(
                     list, [&](const Information& record) { return notified.contains(*record.title()); }))
                chosen.append(*information.title());
            QCOMPARE(chosen, expected);
        }
    }

    // Listed newest first (ids n down to 1): all after the fifth go, that is the oldest.
    void deliveredNotificationsToRemove()
    {
        const std::pair<int, QList<uint>> cases[] = {{0, {}}, {5, {}}, {6, {1}}, {9, {4, 3, 2, 1}}};
        for (const auto& [listed, removed] : cases) {
            QList<UserNotification> delivered(listed);
            for (int i = 0; i < listed; ++i)
                delivered[i].identifier = uint(listed - i);
            QList<uint> ids;
            const auto excess = ApplicationController::deliveredNotificationsToRemove(delivered);
            for (const UserNotification& notification : excess)
                ids.append(notification.identifier);
            QCOMPARE(ids, removed);
        }
    }

    void websiteItemOnlyWithAWebsite()
    {
        const std::pair<QString, bool> cases[] = {{"", false}, {"not a url", false},
                                                  {"https://example.com/", true}};
        for (const auto& [website, visible] : cases) {
            BundleInfo::setValue(QStringLiteral("QZWebsiteURL"),
                                 website.isEmpty() ? std::nullopt : std::optional<QString>(website));
            Offline offline;
            QCOMPARE(offline.showWebsite->isVisible(), visible);
        }
        BundleInfo::clearOverrides();
    }

    // Without a notification server: one log line per delivery, every item still marked
    // notified, the badge counts the unread ones.
    void updateWithoutNotificationServer()
    {
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("feed.xml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<rss><channel><item><title>Newest</title><category>news</category></item>"
                   "<item><title>Middle</title></item><item><title>Oldest</title></item></channel></rss>");
        file.close();
        BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"),
                             QUrl::fromLocalFile(file.fileName()).toString());
        QSettings settings;  // not a first run: nothing read yet, so every record is new
        settings.clear();
        settings.beginWriteArray(QStringLiteral("ReadItems"), 0);
        settings.endArray();
        settings.sync();

        Offline offline;
        logLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& message) { logLines.append(message); });
        offline.controller.applicationDidFinishLaunching({/*isDefaultLaunch=*/false, /*showWindow=*/true});
        InformationManager* manager = InformationManager::sharedManager();
        QVERIFY(QSignalSpy(manager, &InformationManager::refreshDidFinish).wait(10000));
        manager->setInformationRead(manager->informations()->first());
        qInstallMessageHandler(previous);

        QCOMPARE(manager->informations()->size(), 3);
        for (const Information& information : *manager->informations())
            QVERIFY(manager->isInformationNotified(information));
        QCOMPARE(logLines.filter(QStringLiteral("Notification not delivered")).size(), 3);
        QCOMPARE(logLines.filter(QStringLiteral("No system tray")).size(), 1);
        QVERIFY(offline.center.deliveredNotifications().isEmpty());
        QVERIFY(offline.controller.windowController()->window()->isVisible());
        QVERIFY(offline.controller.windowController()->statusLine().startsWith(QStringLiteral("Updated ")));
        QCOMPARE(offline.controller.statusItemController()->badge(), quint64(2));
        offline.controller.makeAllInformationsAsRead(nullptr);
        QCOMPARE(offline.controller.statusItemController()->badge(), quint64(0));
        BundleInfo::clearOverrides();
    }
};

NEWSBAR_APP_TEST_MAIN(ControllerTest)
#include "app_controller_test.moc"
