// A stand-in XEmbed tray for the end-to-end test: it owns the tray selection and publishes icon
// colours, without docking anything.
//   newsbar_fake_tray claim RRGGBB  takes _NET_SYSTEM_TRAY_S<screen> with that foreground,
//                                   announces itself (MANAGER), prints "ready"; then each line
//                                   of standard input is a new foreground ("none" removes the
//                                   property), answered with "set"; at the end of input it quits
//                                   and its window goes with it
//   newsbar_fake_tray set RRGGBB    sets the foreground on the running tray's window and quits
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

xcb_atom_t atom(xcb_connection_t* c, const std::string& name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.c_str()), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// Waits until the server has handled everything sent so far.
void sync(xcb_connection_t* c)
{
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// Sets the colours: the foreground given, the other three fixed. False for a malformed colour.
bool setColors(xcb_connection_t* c, xcb_window_t window, const std::string& rgb)
{
    const xcb_atom_t colors = atom(c, "_NET_SYSTEM_TRAY_COLORS");
    if (rgb == "none") {
        xcb_delete_property(c, window, colors);
    } else {
        char* end = nullptr;
        const unsigned long value = std::strtoul(rgb.c_str(), &end, 16);
        if (rgb.size() != 6 || *end)
            return false;
        // 8-bit channels widened to 16 bits as trays do (0xab -> 0xabab).
        uint32_t data[12] = {0, 0, 0, 0xffff, 0, 0, 0xffff, 0x8000, 0, 0, 0xc000, 0};
        for (int i = 0; i < 3; ++i)
            data[i] = uint32_t((value >> (16 - 8 * i)) & 0xff) * 0x101;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, colors, XCB_ATOM_CARDINAL, 32, 12, data);
    }
    sync(c);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3 || (std::strcmp(argv[1], "claim") != 0 && std::strcmp(argv[1], "set") != 0)) {
        std::fputs("usage: newsbar_fake_tray claim|set RRGGBB\n", stderr);
        return 2;
    }
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fputs("newsbar_fake_tray: no X display\n", stderr);
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t selection = atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));

    if (std::strcmp(argv[1], "set") == 0) {
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
        const xcb_window_t window = owner ? owner->owner : xcb_window_t(XCB_WINDOW_NONE);
        std::free(owner);
        const bool ok = window != XCB_WINDOW_NONE && setColors(c, window, argv[2]);
        if (!ok)
            std::fputs("newsbar_fake_tray: no tray runs, or not a colour\n", stderr);
        xcb_disconnect(c);
        return ok ? 0 : 1;
    }

    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    if (!setColors(c, window, argv[2])) {
        std::fputs("newsbar_fake_tray: not a colour\n", stderr);
        return 2;
    }
    xcb_set_selection_owner(c, window, selection, XCB_CURRENT_TIME);
    // The announcement of a new manager (ICCCM 2.8), to the root's structure listeners.
    xcb_client_message_event_t message = {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = root;
    message.type = atom(c, "MANAGER");
    message.data.data32[0] = XCB_CURRENT_TIME;
    message.data.data32[1] = selection;
    message.data.data32[2] = window;
    xcb_send_event(c, 0, root, XCB_EVENT_MASK_STRUCTURE_NOTIFY, reinterpret_cast<const char*>(&message));
    sync(c);
    std::puts("ready");
    std::fflush(stdout);

    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        std::string rgb(line);
        while (!rgb.empty() && (rgb.back() == '\n' || rgb.back() == '\r'))
            rgb.pop_back();
        std::puts(setColors(c, window, rgb) ? "set" : "not a colour");
        std::fflush(stdout);
    }
    xcb_disconnect(c);
    return 0;
}
