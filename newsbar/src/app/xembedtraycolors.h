#pragma once

#include <QByteArray>
#include <QColor>
#include <QObject>

struct xcb_connection_t;
class QSocketNotifier;

// The colours an XEmbed tray asks its icons to be drawn in: the property
// _NET_SYSTEM_TRAY_COLORS (CARDINAL[12]/32: foreground, error, warning and success, each as
// 16-bit red, green, blue) on the window that owns the tray's selection _NET_SYSTEM_TRAY_S<n>.
//
// Follows the tray over its whole life: a tray that starts later (it announces itself with a
// MANAGER client message on the root window), colours that change, and a tray that goes away.
// It talks to the X server on a connection of its own, so the events it selects never mix
// with the toolkit's. Without an X display it watches nothing and the foreground stays invalid.
class XEmbedTrayColors : public QObject
{
    Q_OBJECT

public:
    // Watches the default screen of the display named (empty: $DISPLAY).
    explicit XEmbedTrayColors(const QByteArray& displayName = QByteArray(), QObject* parent = nullptr);
    ~XEmbedTrayColors() override;

    // True while connected to an X server.
    bool isWatching() const { return m_connection != nullptr; }
    // The foreground colour the running tray publishes; invalid when none runs or it publishes
    // none.
    QColor foreground() const { return m_foreground; }

    // The foreground in the property's values: the first three, read as 16-bit channels.
    // Invalid for fewer than three values or a value that is not 16 bits (trays that wrote only
    // the foreground exist, so the other nine are not required).
    static QColor foregroundFromProperty(const quint32* values, int count);

Q_SIGNALS:
    void foregroundChanged(const QColor& color);

private:
    void processEvents();
    void findOwner();
    void readColors();
    void setForeground(const QColor& color);
    void disconnectFromServer();

    xcb_connection_t* m_connection = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    quint32 m_root = 0;
    quint32 m_owner = 0;
    quint32 m_selectionAtom = 0;
    quint32 m_colorsAtom = 0;
    quint32 m_managerAtom = 0;
    QColor m_foreground;
};
