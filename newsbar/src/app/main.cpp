// newsbar: the maker's news in the system tray.
//
//   newsbar                 a default launch: quits when another instance runs
//   newsbar --show          shows the news window at once (the launcher's "Show news")
//   newsbar --feed-url URL  reads the feed from URL for this run
//   newsbar --parse FILE    prints the records of a feed file as JSON lines, needs no display
#include "applicationcontroller.h"
#include "localization.h"
#include "logging.h"
#include "runningapplications.h"
#include "usernotificationcenter.h"

#include "feed/bundleinfo.h"
#include "feed/parsemode.h"

#include "ui_MainMenu.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>


namespace {

int terminationSockets[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    // Nothing else is safe in a signal handler; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(terminationSockets[0], &byte, 1);
}

// SIGTERM and SIGINT (a session ending, ^C) end the program the orderly way.
void installTerminationHandler(QCoreApplication& app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, terminationSockets) != 0)
        return;
    auto* notifier = new QSocketNotifier(terminationSockets[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(terminationSockets[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

struct Options
{
    QCommandLineOption show{QStringLiteral("show"), QStringLiteral("Show the news window at once.")};
    QCommandLineOption feedURL{QStringLiteral("feed-url"),
                               QStringLiteral("Read the news feed from URL for this run."),
                               QStringLiteral("URL")};
    QCommandLineOption parse{QStringLiteral("parse"),
                             QStringLiteral("Print the records of a feed file as JSON lines and exit."),
                             QStringLiteral("FILE")};
};

bool hasDisplay(const QStringList& arguments)
{
    // A platform named explicitly (offscreen, a test's xcb) knows what it needs.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || arguments.contains(QLatin1String("-platform"))
        || arguments.contains(QLatin1String("--platform")))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The maker's news in the system tray."));
    parser.addHelpOption();
    parser.addOptions({options.show, options.feedURL, options.parse});
    // Before any application object: the modes that need no display. Qt's own options (such
    // as -platform) are unknown here; the application takes them out and the full check follows.
    const bool parsed = parser.parse(arguments);
    if (parsed && parser.isSet(QStringLiteral("help"))) {
        QString help = parser.helpText();
        help.replace(QLatin1String("<executable_name>"), QLatin1String("newsbar"));
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    if (parsed && parser.isSet(options.parse)) {
        // The headless check mode: no display, no bus, no settings.
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        QTextStream err(stderr);
        return runParseMode(parser.value(options.parse), out, err);
    }
    if (!hasDisplay(arguments)) {
        std::fputs("newsbar: no display to show the tray item and window on"
                   " (neither DISPLAY nor WAYLAND_DISPLAY is set)\n", stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("newsbar"));
    QCoreApplication::setApplicationName(QStringLiteral("newsbar"));
    parser.process(app);  // ends the program on an unknown option
    QGuiApplication::setDesktopFileName(QStringLiteral("newsbar"));
    // The program lives in the tray: closing its window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    installTerminationHandler(app);
    installTranslations();

    if (parser.isSet(options.feedURL))
        BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"), parser.value(options.feedURL));
    const QString bundleIdentifier =
        BundleInfo::value(QStringLiteral("QZBundleIdentifier")).value_or(QStringLiteral("newsbar"));

    RunningApplications applications(QDBusConnection::sessionBus());

    // The main interface: the status menu and its actions.
    QWidget mainInterface;
    Ui::MainMenu mainMenu;
    mainMenu.setupUi(&mainInterface);

    ApplicationController controller(bundleIdentifier, &applications,
                                     UserNotificationCenter::defaultUserNotificationCenter());
    controller.setStatusMenu(mainMenu.statusMenu);

    LaunchInfo launch;
    launch.isDefaultLaunch = !parser.isSet(options.show);
    launch.showWindow = parser.isSet(options.show);
    QTimer::singleShot(0, &controller, [&controller, launch] {
        controller.applicationDidFinishLaunching(launch);
    });
    return app.exec();
}
