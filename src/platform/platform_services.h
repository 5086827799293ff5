#pragma once
// Chooses the platform services for the desktop session Kelvora runs in. The composition root calls these once;
// everything above sees only the interfaces.
#include "idle_source.h"
#include "power_events.h"
#include "url_opener.h"
#include "window_system.h"

#include <QProcessEnvironment>
#include <QString>
#include <memory>

struct DesktopSession
{
    enum class Type { X11, Wayland, None };
    Type type = Type::None;
    QString desktop;   // XDG_CURRENT_DESKTOP as given, e.g. "ubuntu:GNOME"
    QString display;   // DISPLAY, for X11 sessions
};

// XDG_SESSION_TYPE decides when it says x11 or wayland; otherwise (tty, unset: startx, remote X) WAYLAND_DISPLAY,
// then DISPLAY. A Wayland session is never read through XWayland, which sees only X11 clients.
[[nodiscard]] DesktopSession detectDesktopSession(
    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());

// Why a Wayland desktop's windows cannot be read yet, in words a person can act on.
[[nodiscard]] QString waylandUntrustedReason(const QString &currentDesktop);

[[nodiscard]] std::unique_ptr<WindowSystem> createWindowSystem(const DesktopSession &session);
[[nodiscard]] std::unique_ptr<IdleSource> createIdleSource(const DesktopSession &session);
[[nodiscard]] std::unique_ptr<PowerEvents> createPowerEvents(const DesktopSession &session);
[[nodiscard]] std::unique_ptr<UrlOpener> createUrlOpener();
