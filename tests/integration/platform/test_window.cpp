// A bare X11 window whose identifying properties the tests choose byte for byte, so each title encoding and each
// way of finding the process can be exercised against the real server. Prints its window id, then stays mapped
// until killed.
//   test_window [--class INSTANCE,CLASS] [--net-name UTF8] [--wm-name-hex HEX] [--wm-name-type string|utf8|compound]
//               [--no-pid] [--count N]   (N windows of one process, the later ones titled "… N")
#include <QByteArray>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {
xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    xcb_intern_atom_reply_t *r =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(r);
    return a;
}

void set(xcb_connection_t *c, xcb_window_t w, xcb_atom_t property, xcb_atom_t type, uint8_t format,
         const void *data, uint32_t count)
{
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, w, property, type, format, count, data);
}
} // namespace

int main(int argc, char **argv)
{
    QByteArray wmClass = QByteArray("kelvora-test-window\0KelvoraTestWindow\0", 38);
    QByteArray netName;
    QByteArray wmName;
    std::string wmNameType = "string";
    bool pid = true;
    int count = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--class") {
            wmClass = QByteArray(value).replace(',', '\0') + QByteArray(1, '\0');
            ++i;
        } else if (arg == "--net-name") {
            netName = value;
            ++i;
        } else if (arg == "--wm-name-hex") {
            wmName = QByteArray::fromHex(value);
            ++i;
        } else if (arg == "--wm-name-type") {
            wmNameType = value;
            ++i;
        } else if (arg == "--count") {
            count = std::max(1, std::atoi(value));
            ++i;
        } else if (arg == "--no-pid") {
            pid = false;
        }
    }
    xcb_connection_t *c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const uint32_t values[] = {screen->white_pixel};
    for (int n = 1; n <= count; ++n) {
        const xcb_window_t w = xcb_generate_id(c);
        const QByteArray suffix = n == 1 ? QByteArray() : " " + QByteArray::number(n);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 10, 10, 200, 100, 1,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
        set(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8, wmClass.constData(),
            static_cast<uint32_t>(wmClass.size()));
        if (!netName.isEmpty())
            set(c, w, atom(c, "_NET_WM_NAME"), atom(c, "UTF8_STRING"), 8, (netName + suffix).constData(),
                static_cast<uint32_t>((netName + suffix).size()));
        if (!wmName.isEmpty()) {
            const xcb_atom_t type = wmNameType == "utf8"       ? atom(c, "UTF8_STRING")
                                  : wmNameType == "compound" ? atom(c, "COMPOUND_TEXT")
                                                             : static_cast<xcb_atom_t>(XCB_ATOM_STRING);
            set(c, w, XCB_ATOM_WM_NAME, type, 8, wmName.constData(), static_cast<uint32_t>(wmName.size()));
        }
        if (pid) {
            const uint32_t self = static_cast<uint32_t>(getpid());
            set(c, w, atom(c, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, &self, 1);
        }
        xcb_map_window(c, w);
        xcb_flush(c);
        std::printf("0x%x\n", w);
    }
    std::fflush(stdout);
    while (xcb_generic_event_t *event = xcb_wait_for_event(c))
        std::free(event);
    xcb_disconnect(c);
    return 0;
}
