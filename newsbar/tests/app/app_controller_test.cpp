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

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

RunningApplication app(qint64 pid)
{
    return {QStringLiteral("org.example.app"), pid,
            QStringLiteral("org.example.app.instance_%1").arg(pid)};
}

QList<UserNotification> delivered(int count)
{
    // Newest first, as the centre lists them: ids count, count - 1, ..., 1.
    QList<UserNotification> list;
    for (int id = count; id >= 1; --id) {
        UserNotification notification;
        notification.identifier = uint(id);
        list.append(notification);
    }
    return list;
}

QList<uint> ids(const QList<UserNotification>& list)
{
    QList<uint> out;
    for (const UserNotification& notification : list)
        out.append(notification.identifier);
    return out;
}

QStringList titles(const QList<Information>& list)
{
    QStringList out;
    for (const Information& information : list)
        out.append(information.title().value_or(QString()));
    return out;
}

QStringList logLines;

void captureLog(QtMsgType, const QMessageLogContext&, const QString& message)
{
    logLines.append(message);
}

} // namespace

Q_DECLARE_METATYPE(QList<RunningApplication>)

class ControllerTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runningAnotherInfoApplications_data()
    {
        QTest::addColumn<QList<RunningApplication>>("running");
        QTest::addColumn<QList<RunningApplication>>("expected");
        const RunningApplication self = app(100);
        QTest::newRow("none") << QList<RunningApplication>{} << QList<RunningApplication>{};
        QTest::newRow("only this one") << QList<RunningApplication>{self} << QList<RunningApplication>{};
        QTest::newRow("only another") << QList<RunningApplication>{app(7)} << QList<RunningApplication>{app(7)};
        QTest::newRow("this and another") << QList<RunningApplication>{self, app(7)}
                                          << QList<RunningApplication>{app(7)};
        QTest::newRow("order kept") << QList<RunningApplication>{app(9), self, app(3)}
                                    << QList<RunningApplication>{app(9), app(3)};
        QTest::newRow("this one twice") << QList<RunningApplication>{self, self}
                                        << QList<RunningApplication>{};
    }
    void runningAnotherInfoApplications()
    {
        QFETCH(QList<RunningApplication>, running);
        QFETCH(QList<RunningApplication>, expected);
        QCOMPARE(ApplicationController::runningAnotherInfoApplications(running, app(100)), expected);
    }

    void bundleIdentifierOfBusName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");  // empty: not an instance name
        QTest::newRow("instance") << "org.qzimg.newsbar.instance_1234" << "org.qzimg.newsbar";
        QTest::newRow("nested") << "org.qzimg.newsbar.tool.instance_5" << "org.qzimg.newsbar.tool";
        QTest::newRow("bare identifier") << "org.qzimg.newsbar" << "";
        QTest::newRow("no pid") << "org.qzimg.newsbar.instance_" << "";
        QTest::newRow("negative pid") << "org.qzimg.newsbar.instance_-3" << "";
        QTest::newRow("text pid") << "org.qzimg.newsbar.instance_abc" << "";
        QTest::newRow("no identifier") << ".instance_12" << "";
        QTest::newRow("unique name") << ":1.42" << "";
    }
    void bundleIdentifierOfBusName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QCOMPARE(RunningApplications::bundleIdentifierOf(name).value_or(QString()), expected);
        if (!expected.isEmpty())
            QCOMPARE(RunningApplications::bundleIdentifierOf(
                         RunningApplications::busNameFor(expected, 77)), std::optional<QString>(expected));
    }

    // Last record first, skipping notified ones, each record once.
    void informationsToNotify_data()
    {
        QTest::addColumn<QStringList>("feed");
        QTest::addColumn<QStringList>("notified");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all new") << QStringList{"A", "B", "C"} << QStringList{} << QStringList{"C", "B", "A"};
        QTest::newRow("one notified") << QStringList{"A", "B", "C"} << QStringList{"B"} << QStringList{"C", "A"};
        QTest::newRow("all notified") << QStringList{"A", "B"} << QStringList{"A", "B"} << QStringList{};
        QTest::newRow("empty") << QStringList{} << QStringList{} << QStringList{};
        QTest::newRow("listed twice") << QStringList{"A", "B", "A"} << QStringList{} << QStringList{"A", "B"};
    }
    void informationsToNotify()
    {
        QFETCH(QStringList, feed);
        QFETCH(QStringList, notified);
        QFETCH(QStringList, expected);
        QList<Information> list;
        for (const QString& title : feed)
            list.append(makeInformation(title, QStringLiteral("news")));
        const auto isNotified = [&](const Information& information) {
            return notified.contains(*information.title());
        };
        QCOMPARE(titles(ApplicationController::informationsToNotify(list, isNotified)), expected);
    }

    // The centre lists newest first; all after the fifth go, that is the oldest.
    void deliveredNotificationsToRemove_data()
    {
        QTest::addColumn<int>("listed");
        QTest::addColumn<QList<uint>>("removed");
        QTest::newRow("none") << 0 << QList<uint>{};
        QTest::newRow("five") << 5 << QList<uint>{};
        QTest::newRow("six") << 6 << QList<uint>{1};
        QTest::newRow("nine") << 9 << QList<uint>{4, 3, 2, 1};
    }
    void deliveredNotificationsToRemove()
    {
        QFETCH(int, listed);
        QFETCH(QList<uint>, removed);
        QCOMPARE(ids(ApplicationController::deliveredNotificationsToRemove(delivered(listed))), removed);
    }

    void websiteItemOnlyWithAWebsite_data()
    {
        QTest::addColumn<QString>("website");  // empty: absent
        QTest::addColumn<bool>("visible");
        QTest::newRow("absent") << "" << false;
        QTest::newRow("not a URL") << "not a url" << false;
        QTest::newRow("configured") << "https://example.com/" << true;
    }
    void websiteItemOnlyWithAWebsite()
    {
        QFETCH(QString, website);
        QFETCH(bool, visible);
        BundleInfo::setValue(QStringLiteral("QZWebsiteURL"),
                             website.isEmpty() ? std::nullopt : std::optional<QString>(website));
        QMenu menu;
        QAction* showWebsite = menu.addAction(QStringLiteral("Website"));
        showWebsite->setObjectName(QStringLiteral("actionShowWebsite"));
        QAction* other = menu.addAction(QStringLiteral("Other"));
        RunningApplications applications(QDBusConnection(QStringLiteral("none")));
        UserNotificationCenter center(QDBusConnection(QStringLiteral("none")));
        ApplicationController controller(QStringLiteral("org.example.app"), &applications, &center);
        controller.setStatusMenu(&menu);
        QCOMPARE(showWebsite->isVisible(), visible);
        QVERIFY(other->isVisible());
        BundleInfo::clearOverrides();
    }

    // Without a notification server: one log line per delivery, every item still marked
    // notified, the badge set; the window works.
    void updateWithoutNotificationServer()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray feed =
            "<rss><channel>"
            "<item><title>Newest</title><category>news</category><link>https://example.com/3</link></item>"
            "<item><title>Middle</title><category>info</category><link>https://example.com/2</link></item>"
            "<item><title>Oldest</title><category>event</category><link>https://example.com/1</link></item>"
            "</channel></rss>";
        QFile file(dir.filePath(QStringLiteral("feed.xml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(feed);
        file.close();
        BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"),
                             QUrl::fromLocalFile(file.fileName()).toString());
        // Not a first run: nothing read yet, so every record is new.
        {
            QSettings settings;
            settings.clear();
            settings.beginWriteArray(QStringLiteral("ReadItems"), 0);
            settings.endArray();
            settings.sync();
        }

        RunningApplications applications(QDBusConnection(QStringLiteral("none")));
        UserNotificationCenter center(QDBusConnection(QStringLiteral("none")));
        ApplicationController controller(QStringLiteral("org.example.app"), &applications, &center);
        QMenu menu;
        controller.setStatusMenu(&menu);

        logLines.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureLog);
        controller.applicationDidFinishLaunching({/*isDefaultLaunch=*/false, /*showWindow=*/true});
        InformationManager* manager = InformationManager::sharedManager();
        QSignalSpy finished(manager, &InformationManager::refreshDidFinish);
        QVERIFY(finished.wait(10000));
        qInstallMessageHandler(previous);

        QCOMPARE(manager->informations()->size(), 3);
        for (const Information& information : *manager->informations())
            QVERIFY(manager->isInformationNotified(information));
        QCOMPARE(logLines.filter(QStringLiteral("Notification not delivered")).size(), 3);
        QCOMPARE(logLines.filter(QStringLiteral("No system tray")).size(), 1);
        QVERIFY(center.deliveredNotifications().isEmpty());
        QCOMPARE(controller.statusItemController()->badge(), quint64(3));
        QVERIFY(controller.windowController()->window()->isVisible());

        // A second update delivers nothing again; reading one lowers the badge.
        logLines.clear();
        qInstallMessageHandler(captureLog);
        manager->setInformationRead(manager->informations()->first());
        qInstallMessageHandler(previous);
        QVERIFY(logLines.filter(QStringLiteral("Notification not delivered")).isEmpty());
        QCOMPARE(controller.statusItemController()->badge(), quint64(2));

        controller.makeAllInformationsAsRead(nullptr);
        QCOMPARE(controller.statusItemController()->badge(), quint64(0));
        BundleInfo::clearOverrides();
    }
};

NEWSBAR_APP_TEST_MAIN(ControllerTest)
#include "app_controller_test.moc"
