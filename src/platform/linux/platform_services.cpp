#include "platform_services.h"

#include "dbus_types.h"
#include "idle_sources.h"
#include "linux_power_events.h"
#include "x11_window_system.h"
#include "xdg_url_opener.h"

#include <QDBusConnection>

namespace {

// Stands in where no window source exists yet: never trusted, and says why.
class UnavailableWindowSystem final : public WindowSystem
{
public:
    explicit UnavailableWindowSystem(QString reason) : m_reason(std::move(reason)) {}
    [[nodiscard]] bool isTrusted(bool) override { return false; }
    [[nodiscard]] QString untrustedReason() const override { return m_reason; }
    [[nodiscard]] std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
    [[nodiscard]] std::optional<QString> focusedWindowTitle(qint64) override { return std::nullopt; }
    [[nodiscard]] QString backendName() const override { return QStringLiteral("none"); }

private:
    QString m_reason;
};

bool desktopIs(const QString &currentDesktop, std::initializer_list<const char *> names)
{
    for (const QString &part : currentDesktop.split(u':', Qt::SkipEmptyParts))
        for (const char *name : names)
            if (part.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return true;
    return false;
}

} // namespace

DesktopSession detectDesktopSession(const QProcessEnvironment &env)
{
    DesktopSession session;
    session.desktop = env.value(QStringLiteral("XDG_CURRENT_DESKTOP"));
    const QString type = env.value(QStringLiteral("XDG_SESSION_TYPE")).toLower();
    const QString display = env.value(QStringLiteral("DISPLAY"));
    const bool hasWayland = !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    if (type == QLatin1String("wayland"))
        session.type = DesktopSession::Type::Wayland;
    else if (type == QLatin1String("x11"))
        session.type = display.isEmpty() ? DesktopSession::Type::None : DesktopSession::Type::X11;
    else if (hasWayland)
        session.type = DesktopSession::Type::Wayland;
    else if (!display.isEmpty())
        session.type = DesktopSession::Type::X11;
    if (session.type == DesktopSession::Type::X11)
        session.display = display;
    return session;
}

QString waylandUntrustedReason(const QString &currentDesktop)
{
    if (desktopIs(currentDesktop, {"GNOME", "ubuntu", "Unity", "Pantheon", "Budgie"}))
        return QStringLiteral(
            "GNOME on Wayland does not let applications read other windows' titles: to record windows, log out "
            "and choose the \"GNOME on Xorg\" session on the login screen (the gear button under your name).");
    if (desktopIs(currentDesktop, {"KDE"}))
        return QStringLiteral(
            "KDE Plasma on Wayland is not supported yet (support is coming): to record windows, log out and choose "
            "\"Plasma (X11)\" on the login screen.");
    if (desktopIs(currentDesktop, {"sway", "Hyprland", "river", "Wayfire", "labwc", "niri", "wlroots"}))
        return QStringLiteral(
            "%1 on Wayland is not supported yet (support is coming): to record windows, log into an X11 session "
            "instead.")
            .arg(currentDesktop.section(u':', 0, 0));
    return QStringLiteral("This Wayland desktop%1 does not let Kelvora read other windows: to record windows, log "
                          "into an X11 session instead.")
        .arg(currentDesktop.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(currentDesktop));
}

std::unique_ptr<WindowSystem> createWindowSystem(const DesktopSession &session)
{
    switch (session.type) {
    case DesktopSession::Type::X11: {
        const QByteArray display = session.display.toLocal8Bit();
        return std::make_unique<X11WindowSystem>(nullptr, display.constData());
    }
    case DesktopSession::Type::Wayland:
        return std::make_unique<UnavailableWindowSystem>(waylandUntrustedReason(session.desktop));
    case DesktopSession::Type::None:
        break;
    }
    return std::make_unique<UnavailableWindowSystem>(QStringLiteral(
        "Kelvora found no desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set). Start Kelvora from your "
        "desktop, not from a text console."));
}

std::unique_ptr<IdleSource> createIdleSource(const DesktopSession &session)
{
    if (session.type == DesktopSession::Type::X11) {
        const QByteArray display = session.display.toLocal8Bit();
        auto x11 = std::make_unique<X11IdleSource>(nullptr, display.constData());
        if (x11->isAvailable())
            return x11;
    } else if (session.type == DesktopSession::Type::Wayland) {
        ensureDBusMetaTypes();
        if (auto dbus = DBusIdleSource::probe(QDBusConnection::sessionBus()))
            return dbus;
    }
    return std::make_unique<NoIdleSource>();
}

std::unique_ptr<PowerEvents> createPowerEvents(const DesktopSession &session)
{
    ensureDBusMetaTypes();
    const QByteArray display = session.display.toLocal8Bit();
    return std::make_unique<LinuxPowerEvents>(QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                                              session.type == DesktopSession::Type::X11 ? display.constData()
                                                                                        : nullptr);
}

std::unique_ptr<UrlOpener> createUrlOpener() { return std::make_unique<XdgUrlOpener>(); }
