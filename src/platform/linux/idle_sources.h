#pragma once
// The idle clocks of Linux desktops: the X server's screen-saver extension, the compositor's idle monitor over
// D-Bus on Wayland, and a stand-in that reads 0 where there is neither.
#include "idle_source.h"
#include "x11_connection.h"

#include <QDBusConnection>
#include <memory>

class X11IdleSource final : public IdleSource
{
    Q_OBJECT
public:
    explicit X11IdleSource(QObject *parent = nullptr, const char *display = nullptr);
    // The server answers and has MIT-SCREEN-SAVER.
    [[nodiscard]] bool isAvailable() const { return m_available; }
    [[nodiscard]] double secondsSinceLastInput() override;
    [[nodiscard]] QString backendName() const override { return QStringLiteral("x11-screensaver"); }

private:
    X11Connection m_x;
    bool m_available = false;
};

// org.gnome.Mutter.IdleMonitor GetIdletime (GNOME) or org.freedesktop.ScreenSaver GetSessionIdleTime (KDE), both in
// milliseconds. A call that fails or takes too long reads as 0, so a stuck service cannot stall the main thread.
class DBusIdleSource final : public IdleSource
{
    Q_OBJECT
public:
    enum class Service { MutterIdleMonitor, FreedesktopScreenSaver };
    DBusIdleSource(Service service, QDBusConnection bus, QObject *parent = nullptr);

    // The first service on the bus that answers, in the order above; nullptr when none does.
    [[nodiscard]] static std::unique_ptr<DBusIdleSource> probe(const QDBusConnection &bus, QObject *parent = nullptr);

    [[nodiscard]] double secondsSinceLastInput() override;
    [[nodiscard]] QString backendName() const override;
    // Like secondsSinceLastInput(), but nullopt when the service did not answer.
    [[nodiscard]] std::optional<double> read();

private:
    Service m_service;
    QDBusConnection m_bus;
};

class NoIdleSource final : public IdleSource
{
    Q_OBJECT
public:
    using IdleSource::IdleSource;
    [[nodiscard]] double secondsSinceLastInput() override { return 0.0; }
    [[nodiscard]] QString backendName() const override { return QStringLiteral("none"); }
};
