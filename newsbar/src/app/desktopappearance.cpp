#include "desktopappearance.h"

#include "logging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

} // namespace

DesktopAppearance::DesktopAppearance(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected())
        return;
    m_bus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                  SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << appearanceGroup << colorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QVariant> reply = *call;
        if (reply.isError()) {
            qCDebug(lcApp).noquote() << "No colour scheme from the desktop:" << reply.error().message();
            return;
        }
        if (const auto scheme = fromPortalValue(reply.value()))
            setColorScheme(*scheme);
    });
}

std::optional<ColorScheme> DesktopAppearance::fromPortalValue(const QVariant& value)
{
    QVariant inner = value;
    for (int depth = 0; depth < 4 && inner.canConvert<QDBusVariant>()
                        && inner.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth)
        inner = inner.value<QDBusVariant>().variant();
    if (inner.metaType() != QMetaType::fromType<uint>() && inner.metaType() != QMetaType::fromType<int>())
        return std::nullopt;
    switch (inner.toUInt()) {
    case 0:
        return ColorScheme::NoPreference;
    case 1:
        return ColorScheme::Dark;
    case 2:
        return ColorScheme::Light;
    default:
        // Values the setting may gain later mean nothing here yet.
        return ColorScheme::NoPreference;
    }
}

void DesktopAppearance::settingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    if (group != appearanceGroup || key != colorSchemeKey)
        return;
    if (const auto scheme = fromPortalValue(value.variant()))
        setColorScheme(*scheme);
}

void DesktopAppearance::setColorScheme(ColorScheme scheme)
{
    if (scheme == m_colorScheme)
        return;
    m_colorScheme = scheme;
    qCInfo(lcApp) << "The desktop's colour scheme:"
                  << (scheme == ColorScheme::Dark ? "dark" : scheme == ColorScheme::Light ? "light" : "no preference");
    Q_EMIT colorSchemeChanged(scheme);
}
