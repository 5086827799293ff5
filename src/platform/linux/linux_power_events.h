#pragma once
// Screens asleep / awake and system woke on Linux. The screens count as asleep while the X server's DPMS level is
// not "on" or a screensaver (or lock screen) reports itself active on the session bus; the system woke when logind
// says the sleep is over. A source that is absent (no DPMS, no bus, no service) simply never reports.
#include "power_events.h"

#include <QDBusConnection>
#include <memory>

class QTimer;
class X11Connection;

class LinuxPowerEvents final : public PowerEvents
{
    Q_OBJECT
public:
    // x11Display: the display whose DPMS level to follow, or nullptr for none (Wayland sessions).
    LinuxPowerEvents(QDBusConnection sessionBus, QDBusConnection systemBus, const char *x11Display,
                     QObject *parent = nullptr);
    ~LinuxPowerEvents() override;

    [[nodiscard]] bool hasDpms() const { return m_dpms != nullptr; }
    [[nodiscard]] bool isDpmsPolling() const;
    static constexpr int kDpmsPollMs = 5000;

protected:
    void connectNotify(const QMetaMethod &signal) override;
    void disconnectNotify(const QMetaMethod &signal) override;

private Q_SLOTS:
    void onScreenSaverActiveChanged(bool active);
    void onPrepareForSleep(bool start);

private:
    void updateListening();
    void pollDpms();
    void updateAsleep();

    QDBusConnection m_session;
    QDBusConnection m_system;
    std::unique_ptr<X11Connection> m_dpms;
    QTimer *m_dpmsTimer = nullptr;
    bool m_dpmsOff = false;
    bool m_saverActive = false;
    bool m_asleep = false;
    bool m_listenQueued = false;
};
