// newsbar: the maker's news in the system tray.
//
//   newsbar                 a default launch
//   newsbar --show          shows the news window at once (the launcher's "Show news")
//   newsbar --feed-url URL  reads the feed from URL (http or https) for this run
//   newsbar --parse FILE    prints the records of a feed file as JSON lines, needs no display
//                           (with --feed-url URL: the address relative links resolve against)
//   newsbar --version, --help
// Every launch first asks a running instance to show its window and ends when one answers.
#include "applicationcontroller.h"
#include "localization.h"
#include "logging.h"
#include "runningapplications.h"
#include "statusitemcontroller.h"
#include "usernotificationcenter.h"

#include "feed/bundleinfo.h"
#include "feed/parsemode.h"
#include "feed/url.h"

#include "ui_MainMenu.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QIcon>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <libxml/parser.h>
#include <unicode/uversion.h>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>


namespace {

// Exit statuses besides 0.
constexpr int exitNoDisplay = 1;
constexpr int exitUsage = 2;

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
                               QStringLiteral("Read the news feed from URL (http or https) for this run."),
                               QStringLiteral("URL")};
    QCommandLineOption parse{QStringLiteral("parse"),
                             QStringLiteral("Print the records of a feed file as JSON lines and exit."),
                             QStringLiteral("FILE")};
};

// The options that the GUI application takes out of the arguments itself, with whether a value
// follows. Our parser runs before it exists, so it must pass over them.
bool isToolkitOption(const QString& argument, bool* takesValue)
{
    static const QStringList withValue = {
        QStringLiteral("platform"), QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"), QStringLiteral("plugin"), QStringLiteral("qwindowgeometry"),
        QStringLiteral("geometry"), QStringLiteral("qwindowtitle"), QStringLiteral("title"),
        QStringLiteral("qwindowicon"), QStringLiteral("icon"), QStringLiteral("display"),
        QStringLiteral("session"), QStringLiteral("style"), QStringLiteral("stylesheet"),
        QStringLiteral("name"), QStringLiteral("visual")};
    static const QStringList flags = {
        QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
        QStringLiteral("dograb"), QStringLiteral("testability"), QStringLiteral("qmljsdebugger")};
    if (!argument.startsWith(u'-'))
        return false;
    QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const qsizetype equals = name.indexOf(u'=');
    if (equals >= 0)
        name.truncate(equals);
    *takesValue = equals < 0 && withValue.contains(name);
    return withValue.contains(name) || flags.contains(name);
}

QStringList withoutToolkitOptions(const QStringList& arguments)
{
    QStringList own;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            own.append(arguments.mid(i));
            break;
        }
        bool takesValue = false;
        if (i > 0 && isToolkitOption(argument, &takesValue)) {
            i += takesValue ? 1 : 0;
            continue;
        }
        own.append(argument);
    }
    return own;
}

bool hasDisplay(const QStringList& arguments)
{
    // A platform named explicitly (offscreen, a test's xcb) knows what it needs.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")
        || arguments.contains(QLatin1String("-platform"))
        || arguments.contains(QLatin1String("--platform")))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// libxml2 reports its version as one number, 20914 for 2.9.14.
QString libxml2Version()
{
    bool ok = false;
    const int number = QString::fromLatin1(xmlParserVersion).toInt(&ok);
    if (!ok)
        return QString::fromLatin1(xmlParserVersion);
    return QStringLiteral("%1.%2.%3").arg(number / 10000).arg(number / 100 % 100).arg(number % 100);
}

QString versionText()
{
    return QStringLiteral("newsbar %1\nQt %2 (built with %3), libxml2 %4, ICU %5\n")
        .arg(QStringLiteral(NEWSBAR_VERSION), QString::fromLatin1(qVersion()),
             QStringLiteral(QT_VERSION_STR), libxml2Version(),
             QStringLiteral(U_ICU_VERSION));
}

bool isWebURL(const QString& text)
{
    const std::optional<Url> url = Url::fromString(text);
    if (!url)
        return false;
    const QString scheme = url->scheme().toLower();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
           && !url->toQUrl().host().isEmpty();
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "newsbar: %s\nTry 'newsbar --help' for more information.\n",
                 qPrintable(message));
    return exitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // Before any application object: help, version, option errors and the modes that need no
    // display or bus.
    Options options;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The maker's news in the system tray."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOptions({options.show, options.feedURL, options.parse});
    if (!parser.parse(withoutToolkitOptions(arguments)))
        return usageError(parser.errorText());
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        QString text = parser.helpText();
        text.replace(QLatin1String("<executable_name>"), QLatin1String("newsbar"));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::fputs(qPrintable(versionText()), stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'.").arg(parser.positionalArguments().first()));
    if (parser.isSet(options.feedURL) && !isWebURL(parser.value(options.feedURL)))
        return usageError(QStringLiteral("--feed-url needs an http or https URL, not '%1'.")
                              .arg(parser.value(options.feedURL)));
    if (parser.isSet(options.parse)) {
        // The headless check mode: no display, no bus, no settings.
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        QTextStream err(stderr);
        // --feed-url says where the file came from: relative links of an Atom feed resolve
        // against it.
        return runParseMode(parser.value(options.parse), out, err,
                            parser.isSet(options.feedURL) ? QUrl(parser.value(options.feedURL)) : QUrl());
    }
    if (!hasDisplay(arguments)) {
        std::fputs("newsbar: no display to show the tray item and window on"
                   " (neither DISPLAY nor WAYLAND_DISPLAY is set)\n", stderr);
        return exitNoDisplay;
    }

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("newsbar"));
    QCoreApplication::setApplicationName(QStringLiteral("newsbar"));
    QCoreApplication::setApplicationVersion(QStringLiteral(NEWSBAR_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("newsbar"));
    // The installed icon where the theme has it, else the mark drawn here.
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("newsbar"), StatusItemController::applicationIcon()));
    // The program lives in the tray: closing its window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    installTerminationHandler(app);
    installTranslations();

    if (parser.isSet(options.feedURL))
        BundleInfo::setValue(QStringLiteral("QZInformationFeedURL"), parser.value(options.feedURL));
    const QString bundleIdentifier =
        BundleInfo::value(QStringLiteral("QZBundleIdentifier")).value_or(QStringLiteral("newsbar"));

    RunningApplications applications(QDBusConnection::sessionBus());

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
