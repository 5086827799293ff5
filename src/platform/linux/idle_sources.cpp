#include "idle_sources.h"

#include "dbus_types.h"

#include <QDBusMessage>
#include <cstdlib>
#include <xcb/screensaver.h>

namespace {
constexpr int kDBusTimeoutMs = 250;
}

X11IdleSource::X11IdleSource(QObject *parent, const char *display) : IdleSource(parent), m_x(display)
{
    if (!m_x.isUsable() || m_x.root() == XCB_WINDOW_NONE)
        return;
    const xcb_query_extension_reply_t *ext = xcb_get_extension_data(m_x.get(), &xcb_screensaver_id);
    m_available = ext && ext->present;
}

double X11IdleSource::secondsSinceLastInput()
{
    if (!m_available || !m_x.isUsable())
        return 0.0;
    xcb_screensaver_query_info_reply_t *reply = xcb_screensaver_query_info_reply(
        m_x.get(), xcb_screensaver_query_info(m_x.get(), m_x.root()), nullptr);
    if (!reply)
        return 0.0;
    const double seconds = reply->ms_since_user_input / 1000.0;
    std::free(reply);
    return seconds;
}

DBusIdleSource::DBusIdleSource(Service service, QDBusConnection bus, QObject *parent)
    : IdleSource(parent), m_service(service), m_bus(std::move(bus))
{
    ensureDBusMetaTypes();
}

std::unique_ptr<DBusIdleSource> DBusIdleSource::probe(const QDBusConnection &bus, QObject *parent)
{
    if (!bus.isConnected())
        return nullptr;
    for (const Service service : {Service::MutterIdleMonitor, Service::FreedesktopScreenSaver}) {
        // GNOME Shell owns org.freedesktop.ScreenSaver too but refuses GetSessionIdleTime: only an answer counts.
        auto source = std::make_unique<DBusIdleSource>(service, bus, parent);
        if (source->read())
            return source;
    }
    return nullptr;
}

std::optional<double> DBusIdleSource::read()
{
    const bool mutter = m_service == Service::MutterIdleMonitor;
    QDBusMessage call = mutter
        ? QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Mutter.IdleMonitor"),
                                         QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"),
                                         QStringLiteral("org.gnome.Mutter.IdleMonitor"), QStringLiteral("GetIdletime"))
        : QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                         QStringLiteral("/org/freedesktop/ScreenSaver"),
                                         QStringLiteral("org.freedesktop.ScreenSaver"),
                                         QStringLiteral("GetSessionIdleTime"));
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kDBusTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    bool ok = false;
    const qlonglong ms = reply.arguments().constFirst().toLongLong(&ok);
    if (!ok || ms < 0)
        return std::nullopt;
    return static_cast<double>(ms) / 1000.0;
}

double DBusIdleSource::secondsSinceLastInput() { return read().value_or(0.0); }

QString DBusIdleSource::backendName() const
{
    return m_service == Service::MutterIdleMonitor ? QStringLiteral("mutter-idle-monitor")
                                                   : QStringLiteral("freedesktop-screensaver");
}
