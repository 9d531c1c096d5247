#include "xembedtraycolors.h"

#include "logging.h"

#include <QSocketNotifier>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name)
{
    const Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, quint16(name.size()), name.constData()), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

} // namespace

XEmbedTrayColors::XEmbedTrayColors(const QByteArray& displayName, QObject* parent) : QObject(parent)
{
    int screenNumber = 0;
    xcb_connection_t* connection =
        xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem) {
        xcb_disconnect(connection);
        return;
    }
    m_connection = connection;
    m_root = screens.data->root;
    m_selectionAtom = internAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber));
    m_colorsAtom = internAtom(connection, "_NET_SYSTEM_TRAY_COLORS");
    m_managerAtom = internAtom(connection, "MANAGER");
    // A new tray announces itself to the root window's structure listeners.
    const quint32 rootEvents = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, m_root, XCB_CW_EVENT_MASK, &rootEvents);
    m_notifier = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XEmbedTrayColors::processEvents);
    findOwner();
    // Events that arrived with the replies above are queued already and wake no notifier.
    processEvents();
}

XEmbedTrayColors::~XEmbedTrayColors()
{
    disconnectFromServer();
}

QColor XEmbedTrayColors::foregroundFromProperty(const quint32* values, int count)
{
    if (!values || count < 3 || values[0] > 0xffff || values[1] > 0xffff || values[2] > 0xffff)
        return QColor();
    return QColor::fromRgba64(quint16(values[0]), quint16(values[1]), quint16(values[2]));
}

void XEmbedTrayColors::processEvents()
{
    if (!m_connection)
        return;
    while (xcb_generic_event_t* raw = xcb_poll_for_event(m_connection)) {
        const Reply<xcb_generic_event_t> event(raw);
        switch (event->response_type & 0x7f) {
        case XCB_CLIENT_MESSAGE: {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(raw);
            if (message->type == m_managerAtom && message->format == 32
                && message->data.data32[1] == m_selectionAtom)
                findOwner();
            break;
        }
        case XCB_PROPERTY_NOTIFY: {
            const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(raw);
            if (notify->window == m_owner && notify->atom == m_colorsAtom)
                readColors();
            break;
        }
        case XCB_DESTROY_NOTIFY:
            // The tray went; another may own the selection already.
            if (reinterpret_cast<const xcb_destroy_notify_event_t*>(raw)->window == m_owner)
                findOwner();
            break;
        default:
            // Errors (a window gone between two requests) and the rest are handled where they
            // matter, by asking again.
            break;
        }
    }
    if (xcb_connection_has_error(m_connection)) {
        qCInfo(lcApp) << "The X connection for the tray's colours is lost";
        disconnectFromServer();
        setForeground(QColor());
    }
}

void XEmbedTrayColors::findOwner()
{
    const Reply<xcb_get_selection_owner_reply_t> reply(xcb_get_selection_owner_reply(
        m_connection, xcb_get_selection_owner(m_connection, m_selectionAtom), nullptr));
    m_owner = reply ? reply->owner : xcb_window_t(XCB_WINDOW_NONE);
    if (m_owner != XCB_WINDOW_NONE) {
        const quint32 ownerEvents = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        const Reply<xcb_generic_error_t> error(xcb_request_check(
            m_connection,
            xcb_change_window_attributes_checked(m_connection, m_owner, XCB_CW_EVENT_MASK, &ownerEvents)));
        // Gone already: its successor, if any, announces itself.
        if (error)
            m_owner = XCB_WINDOW_NONE;
    }
    readColors();
}

void XEmbedTrayColors::readColors()
{
    if (m_owner == XCB_WINDOW_NONE) {
        setForeground(QColor());
        return;
    }
    const Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        m_connection, xcb_get_property(m_connection, 0, m_owner, m_colorsAtom, XCB_ATOM_CARDINAL, 0, 12),
        nullptr));
    if (!reply || reply->format != 32 || reply->type != XCB_ATOM_CARDINAL) {
        setForeground(QColor());
        return;
    }
    setForeground(foregroundFromProperty(static_cast<const quint32*>(xcb_get_property_value(reply.get())),
                                         xcb_get_property_value_length(reply.get()) / 4));
}

void XEmbedTrayColors::setForeground(const QColor& color)
{
    if (color == m_foreground)
        return;
    m_foreground = color;
    if (color.isValid())
        qCInfo(lcApp).noquote() << "The tray asks for icons in" << color.name();
    else
        qCInfo(lcApp) << "The tray publishes no icon colours";
    Q_EMIT foregroundChanged(color);
}

void XEmbedTrayColors::disconnectFromServer()
{
    // Possibly called from the notifier's own signal: it goes once that returns.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
    }
    m_notifier = nullptr;
    if (m_connection)
        xcb_disconnect(m_connection);
    m_connection = nullptr;
    m_owner = XCB_WINDOW_NONE;
}
