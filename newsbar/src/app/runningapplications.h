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
// name "<bundle identifier>.instance_<pid>" for as long as it runs.
class RunningApplications : public QObject
{
    Q_OBJECT

public:
    // "<bundleIdentifier>.instance_<pid>".
    static QString busNameFor(const QString& bundleIdentifier, qint64 processIdentifier);
    // The bundle identifier in an instance name, or nothing for a name of another form.
    static std::optional<QString> bundleIdentifierOf(const QString& busName);

    explicit RunningApplications(const QDBusConnection& connection, QObject* parent = nullptr);

    bool isConnected() const { return m_connection.isConnected(); }

    // Announces this process as a running instance of bundleIdentifier and starts watching for
    // instances launched later. False (and a log line) without a session bus.
    bool registerCurrentApplication(const QString& bundleIdentifier);

    // This process.
    RunningApplication currentApplication() const { return m_current; }

    // Every running instance with that bundle identifier, this one included, in the order the
    // bus lists them.
    QList<RunningApplication> runningApplicationsWithBundleIdentifier(
        const QString& bundleIdentifier) const;

Q_SIGNALS:
    // Another instance with a bundle identifier in the registered one's namespace started.
    void didLaunchApplication(const RunningApplication& application);

private:
    void serviceRegistered(const QString& busName);

    QDBusConnection m_connection;
    RunningApplication m_current;
    QDBusServiceWatcher* m_watcher = nullptr;
};
