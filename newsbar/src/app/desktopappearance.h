#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariant>

#include <optional>

class QDBusVariant;

// The colour scheme the desktop publishes: the freedesktop appearance setting "color-scheme"
// (0 no preference, 1 dark, 2 light), read through the settings portal.
enum class ColorScheme { NoPreference = 0, Dark = 1, Light = 2 };

// Follows the desktop's colour scheme: asks the settings portal once, without waiting for it
// (the portal may have to be started first), and then listens for its changes. Without a portal,
// or on a bus that is not connected, the scheme stays NoPreference.
class DesktopAppearance : public QObject
{
    Q_OBJECT

public:
    explicit DesktopAppearance(QDBusConnection bus, QObject* parent = nullptr);

    ColorScheme colorScheme() const { return m_colorScheme; }

    // The scheme a portal value names, however deeply it is wrapped in variants (the older
    // "Read" method wraps it twice); nothing for anything else.
    static std::optional<ColorScheme> fromPortalValue(const QVariant& value);

Q_SIGNALS:
    void colorSchemeChanged(ColorScheme scheme);

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void setColorScheme(ColorScheme scheme);

    QDBusConnection m_bus;
    ColorScheme m_colorScheme = ColorScheme::NoPreference;
};
