#pragma once
// One xcb connection to the X server with its default root window; closes itself. Each platform service owns its
// own, so one service's replies never hold up another's events.
#include <QByteArray>
#include <QString>
#include <optional>
#include <xcb/xcb.h>

class X11Connection
{
public:
    // display: nullptr for $DISPLAY.
    explicit X11Connection(const char *display = nullptr);
    ~X11Connection();
    X11Connection(const X11Connection &) = delete;
    X11Connection &operator=(const X11Connection &) = delete;

    [[nodiscard]] bool isUsable() const { return m_conn && !xcb_connection_has_error(m_conn); }
    [[nodiscard]] xcb_connection_t *get() const { return m_conn; }
    [[nodiscard]] xcb_window_t root() const { return m_root; }
    // Why the connection cannot be used, in words a person can act on; empty while usable.
    [[nodiscard]] QString problem() const;

    [[nodiscard]] xcb_atom_t intern(const char *name) const;

    // A property read: type and raw value, or nullopt when the window has no such property or is gone (then
    // *windowGone is set, when given).
    struct Property
    {
        xcb_atom_t type = XCB_ATOM_NONE;
        uint8_t format = 0;
        QByteArray value;
    };
    [[nodiscard]] xcb_get_property_cookie_t requestProperty(xcb_window_t window, xcb_atom_t property,
                                                            uint32_t maxBytes) const;
    [[nodiscard]] std::optional<Property> takeProperty(xcb_get_property_cookie_t cookie,
                                                     bool *windowGone = nullptr) const;
    // A single 32-bit value (WINDOW, CARDINAL) out of a property, when it holds one.
    [[nodiscard]] static std::optional<uint32_t> firstCard32(const std::optional<Property> &property);

private:
    xcb_connection_t *m_conn = nullptr;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    QString m_display;
};
