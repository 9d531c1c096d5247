// The application controller's decisions over lists and instances; its update handling runs in
// the end-to-end test.
#include "apptestsupport.h"
#include "../tabletest.h"

#include "applicationcontroller.h"
#include "runningapplications.h"
#include "usernotificationcenter.h"

#include "feed/bundleinfo.h"

#include <QMenu>

namespace {

using Apps = QList<RunningApplication>;

RunningApplication app(qint64 pid)
{
    return {QStringLiteral("org.example.app"), pid, QStringLiteral("org.example.app.instance_%1").arg(pid)};
}

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
    // This instance is process 100.
    void runningAnotherInfoApplications_data() { addTableRows("controller_cases.tsv", "others", {"running", "expected"}); }
    void runningAnotherInfoApplications()
    {
        const auto [running, expected] = tableRow<2>();
        const auto apps = [](const QString& pids) {
            Apps list;
            for (const QString& pid : pids.split(u',', Qt::SkipEmptyParts))
                list.append(app(pid.toLongLong()));
            return list;
        };
        QCOMPARE(ApplicationController::runningAnotherInfoApplications(apps(running), app(100)), apps(expected));
    }

    void objectPathFor()
    {
        QCOMPARE(RunningApplications::objectPathFor(QStringLiteral("org.qzimg.newsbar")),
                 QStringLiteral("/org/qzimg/newsbar"));
        QCOMPARE(RunningApplications::objectPathFor(QStringLiteral("org.qzimg.news-bar2")),
                 QStringLiteral("/org/qzimg/news_bar2"));
    }

    void bundleIdentifierOfBusName_data() { addTableRows("controller_cases.tsv", "bus name", {"name", "expected"}); }
    void bundleIdentifierOfBusName()
    {
        const auto [name, expected] = tableRow<2>();
        QCOMPARE(RunningApplications::bundleIdentifierOf(name).value_or(QString()), expected);
        if (!expected.isEmpty())
            QCOMPARE(RunningApplications::bundleIdentifierOf(RunningApplications::busNameFor(expected, 7))
                         .value_or(QString()), expected);
    }

    // Last record first, skipping notified ones, each record once.
    void informationsToNotify_data() { addTableRows("controller_cases.tsv", "to notify", {"feed", "notified", "chosen"}); }
    void informationsToNotify()
    {
        const auto [feed, notified, chosen] = tableRow<3>();
        QList<Information> list;
        for (const QString& title : feed.split(u',', Qt::SkipEmptyParts))
            list.append(makeInformation(title, QStringLiteral("news")));
        QStringList titles;
        for (const Information& information : ApplicationController::informationsToNotify(
                 list, [&](const Information& record) { return notified.split(u',').contains(*record.title()); }))
            titles.append(*information.title());
        QCOMPARE(titles.join(u','), chosen);
    }

    // Listed newest first (ids n down to 1): all after the fifth go, that is the oldest.
    void deliveredNotificationsToRemove_data() { addTableRows("controller_cases.tsv", "to remove", {"listed", "removed"}); }
    void deliveredNotificationsToRemove()
    {
        const auto [listed, removed] = tableRow<2>();
        QList<UserNotification> delivered(listed.toInt());
        for (int i = 0; i < listed.toInt(); ++i)
            delivered[i].identifier = uint(listed.toInt() - i);
        QStringList ids;
        for (const UserNotification& notification : ApplicationController::deliveredNotificationsToRemove(delivered))
            ids.append(QString::number(notification.identifier));
        QCOMPARE(ids.join(u','), removed);
    }

    void websiteItemOnlyWithAWebsite_data() { addTableRows("controller_cases.tsv", "website", {"website", "visible"}); }
    void websiteItemOnlyWithAWebsite()
    {
        const auto [website, visible] = tableRow<2>();
        BundleInfo::setValue(QStringLiteral("QZWebsiteURL"),
                             website.isEmpty() ? std::nullopt : std::optional<QString>(website));
        Offline offline;
        QCOMPARE(offline.showWebsite->isVisible(), visible == "1");
        BundleInfo::clearOverrides();
    }
};

NEWSBAR_APP_TEST_MAIN(ControllerTest)
#include "app_controller_test.moc"
