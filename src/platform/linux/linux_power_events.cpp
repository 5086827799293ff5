#include "linux_power_events.h"

#include "dbus_types.h"
#include "x11_connection.h"

#include <QMetaMethod>
#include <QTimer>
#include <cstdlib>
#include <xcb/dpms.h>

LinuxPowerEvents::LinuxPowerEvents(QDBusConnection sessionBus, QDBusConnection systemBus, const char *x11Display,
                                   QObject *parent)
    : PowerEvents(parent), m_session(std::move(sessionBus)), m_system(std::move(systemBus))
{
    ensureDBusMetaTypes();
    if (x11Display) {
        auto x = std::make_unique<X11Connection>(x11Display);
        if (x->isUsable()) {
            const xcb_query_extension_reply_t *ext = xcb_get_extension_data(x->get(), &xcb_dpms_id);
            xcb_dpms_capable_reply_t *capable =
                ext && ext->present ? xcb_dpms_capable_reply(x->get(), xcb_dpms_capable(x->get()), nullptr) : nullptr;
            if (capable && capable->capable)
                m_dpms = std::move(x);
            std::free(capable);
        }
    }
    if (m_dpms) {
        m_dpmsTimer = new QTimer(this);
        m_dpmsTimer->setInterval(kDpmsPollMs);
        m_dpmsTimer->setTimerType(Qt::CoarseTimer);
        connect(m_dpmsTimer, &QTimer::timeout, this, &LinuxPowerEvents::pollDpms);
    }

    // Signals from the name's owner only: anyone on the bus may send a look-alike.
    const struct
    {
        const char *service;
        const char *path;
        const char *interface;
    } savers[] = {
        {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"},
        {"org.freedesktop.ScreenSaver", "/ScreenSaver", "org.freedesktop.ScreenSaver"},
        {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver", "org.gnome.ScreenSaver"},
    };
    if (m_session.isConnected())
        for (const auto &s : savers)
            m_session.connect(QString::fromLatin1(s.service), QString::fromLatin1(s.path),
                              QString::fromLatin1(s.interface), QStringLiteral("ActiveChanged"), this,
                              SLOT(onScreenSaverActiveChanged(bool)));
    if (m_system.isConnected())
        m_system.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                         QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                         SLOT(onPrepareForSleep(bool)));
}

LinuxPowerEvents::~LinuxPowerEvents() = default;

bool LinuxPowerEvents::isDpmsPolling() const { return m_dpmsTimer && m_dpmsTimer->isActive(); }

// The DPMS level is only worth asking for while someone listens to the screens; a connection made in the middle of
// a signal emission settles first, so the decision runs from the event loop.
void LinuxPowerEvents::connectNotify(const QMetaMethod &) { updateListening(); }
void LinuxPowerEvents::disconnectNotify(const QMetaMethod &) { updateListening(); }

void LinuxPowerEvents::updateListening()
{
    if (!m_dpmsTimer || m_listenQueued)
        return;
    m_listenQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_listenQueued = false;
            const bool listening = isSignalConnected(QMetaMethod::fromSignal(&PowerEvents::screensDidSleep))
                || isSignalConnected(QMetaMethod::fromSignal(&PowerEvents::screensDidWake));
            if (listening && !m_dpmsTimer->isActive()) {
                pollDpms();
                m_dpmsTimer->start();
            } else if (!listening && m_dpmsTimer->isActive()) {
                m_dpmsTimer->stop();
            }
        },
        Qt::QueuedConnection);
}

void LinuxPowerEvents::pollDpms()
{
    if (!m_dpms || !m_dpms->isUsable())
        return;
    xcb_dpms_info_reply_t *info = xcb_dpms_info_reply(m_dpms->get(), xcb_dpms_info(m_dpms->get()), nullptr);
    if (!info)
        return;
    // With DPMS disabled the level stays "on" whatever the monitor does.
    m_dpmsOff = info->state && info->power_level != XCB_DPMS_DPMS_MODE_ON;
    std::free(info);
    updateAsleep();
}

void LinuxPowerEvents::onScreenSaverActiveChanged(bool active)
{
    m_saverActive = active;
    updateAsleep();
}

void LinuxPowerEvents::onPrepareForSleep(bool start)
{
    if (!start)
        Q_EMIT systemDidWake();
}

// Both sources describe the same screens: one announcement per change of the combined state, not one per source.
void LinuxPowerEvents::updateAsleep()
{
    const bool asleep = m_dpmsOff || m_saverActive;
    if (asleep == m_asleep)
        return;
    m_asleep = asleep;
    if (asleep)
        Q_EMIT screensDidSleep();
    else
        Q_EMIT screensDidWake();
}
