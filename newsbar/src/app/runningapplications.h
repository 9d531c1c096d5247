#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class QDBusServiceWatcher;

// A running instance of a program that announces itself on the session bus.
struct RunningApplication
{
    QString bundleIdentifier;
    qint64 processIdentifier = 0;
    QString busName;

    friend bool operator==(const RunningApplication& a, const RunningApplication& b)
    {
        return a.bundleIdentifier == b.bundleIdentifier
               && a.processIdentifier == b.processIdentifier && a.busName == b.busName;
    }
};

// The running instances of programs, as the session bus knows them: every instance owns the
// name "<bundle identifier>.instance_<pid>" for as long as it runs, and answers there at
// objectPathFor(bundle identifier) to org.freedesktop.Application's Activate, which asks it to
// show its window.
class RunningApplications : public QObject
{
    Q_OBJECT

public:
    // "<bundleIdentifier>.instance_<pid>".
    static QString busNameFor(const QString& bundleIdentifier, qint64 processIdentifier);
    // The bundle identifier in an instance name, or nothing for a name of another form.
    static std::optional<QString> bundleIdentifierOf(const QString& busName);
    // "/org/qzimg/newsbar" for "org.qzimg.newsbar": dots become slashes, other characters that
    // object paths do not allow become '_'.
    static QString objectPathFor(const QString& bundleIdentifier);

    // How long a launch waits for a running instance to answer.
    static constexpr int activationTimeoutMs = 5000;

    explicit RunningApplications(const QDBusConnection& connection, QObject* parent = nullptr);

    bool isConnected() const { return m_connection.isConnected(); }

    // Announces this process as a running instance of bundleIdentifier and starts watching for
    // instances launched later. False (and a log line) without a session bus.
    bool registerCurrentApplication(const QString& bundleIdentifier);

    // Asks the other running instances of bundleIdentifier, in the order the bus lists them, to
    // show their window; true as soon as one answered. False without a session bus or another
    // instance that answers.
    bool activateRunningApplication(const QString& bundleIdentifier) const;

    RunningApplication currentApplication() const { return m_current; }

    // Every running instance with that bundle identifier, this one included, in the order the
    // bus lists them.
    QList<RunningApplication> runningApplicationsWithBundleIdentifier(
        const QString& bundleIdentifier) const;

Q_SIGNALS:
    // Another instance with a bundle identifier in the registered one's namespace started.
    void didLaunchApplication(const RunningApplication& application);
    // Another launch asked this instance to show its window.
    void activationRequested();

private:
    void serviceRegistered(const QString& busName);

    QDBusConnection m_connection;
    RunningApplication m_current;
    QDBusServiceWatcher* m_watcher = nullptr;
};
