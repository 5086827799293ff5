#include "x11_connection.h"

#include <cstdlib>
#include <cstring>

X11Connection::X11Connection(const char *display)
{
    m_display = QString::fromLocal8Bit(display ? display : std::getenv("DISPLAY"));
    if (m_display.isEmpty())
        return;
    int screenNumber = 0;
    m_conn = xcb_connect(display, &screenNumber);
    if (xcb_connection_has_error(m_conn))
        return;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
    for (int i = 0; it.rem && i < screenNumber; ++i)
        xcb_screen_next(&it);
    if (it.rem)
        m_root = it.data->root;
}

X11Connection::~X11Connection()
{
    if (m_conn)
        xcb_disconnect(m_conn);   // also frees a connection that failed
}

QString X11Connection::problem() const
{
    if (m_display.isEmpty())
        return QStringLiteral("Kelvora cannot see your windows because DISPLAY is not set. Start Kelvora from your "
                              "desktop session (not from a text console or over SSH).");
    if (!isUsable() || m_root == XCB_WINDOW_NONE)
        return QStringLiteral("Kelvora cannot reach the X server at DISPLAY=%1. Check that your desktop session is "
                              "running and that Kelvora was started inside it.")
            .arg(m_display);
    return {};
}

xcb_atom_t X11Connection::intern(const char *name) const
{
    if (!isUsable())
        return XCB_ATOM_NONE;
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        m_conn, xcb_intern_atom(m_conn, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

xcb_get_property_cookie_t X11Connection::requestProperty(xcb_window_t window, xcb_atom_t property,
                                                         uint32_t maxBytes) const
{
    return xcb_get_property(m_conn, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, (maxBytes + 3) / 4);
}

std::optional<X11Connection::Property> X11Connection::takeProperty(xcb_get_property_cookie_t cookie,
                                                                  bool *windowGone) const
{
    xcb_generic_error_t *error = nullptr;
    xcb_get_property_reply_t *reply = xcb_get_property_reply(m_conn, cookie, &error);
    if (windowGone)
        *windowGone = !reply;
    std::free(error);
    if (!reply)
        return std::nullopt;
    std::optional<Property> result;
    if (reply->type != XCB_ATOM_NONE) {
        const int length = xcb_get_property_value_length(reply);
        result = Property{reply->type, reply->format,
                          QByteArray(static_cast<const char *>(xcb_get_property_value(reply)), length)};
    }
    std::free(reply);
    return result;
}

std::optional<uint32_t> X11Connection::firstCard32(const std::optional<Property> &property)
{
    if (!property || property->format != 32 || property->value.size() < 4)
        return std::nullopt;
    uint32_t value = 0;
    std::memcpy(&value, property->value.constData(), sizeof value);
    return value;
}
