#pragma once
// The window system on an X11 desktop: the active window from the window manager's _NET_ACTIVE_WINDOW, its
// application from WM_CLASS and the installed .desktop files, its process from _NET_WM_PID or the X server, its
// title from _NET_WM_NAME or WM_NAME. Application switches arrive as property events on the root window.
#include "desktop_entry_index.h"
#include "window_system.h"
#include "x11_connection.h"

#include <QByteArray>
#include <memory>

class QSocketNotifier;

class X11WindowSystem final : public WindowSystem
{
    Q_OBJECT
public:
    // display: nullptr for $DISPLAY. The index is the application lookup (tests pass their own folders).
    explicit X11WindowSystem(QObject *parent = nullptr, const char *display = nullptr,
                             DesktopEntryIndex index = DesktopEntryIndex());
    ~X11WindowSystem() override;

    [[nodiscard]] bool isTrusted(bool prompt) override;
    [[nodiscard]] QString untrustedReason() const override { return m_reason; }
    [[nodiscard]] std::optional<FrontmostApplication> frontmostApplication() override;
    [[nodiscard]] std::optional<QString> focusedWindowTitle(qint64 processIdentifier) override;
    [[nodiscard]] QString backendName() const override { return QStringLiteral("x11"); }

private:
    // What identifies an application across its windows.
    struct AppKey
    {
        qint64 pid = 0;
        QByteArray wmClass;
        bool operator==(const AppKey &) const = default;
    };
    struct WindowInfo
    {
        xcb_window_t window = XCB_WINDOW_NONE;
        AppKey key;
    };

    [[nodiscard]] QString checkTrust();
    [[nodiscard]] xcb_window_t activeWindow();
    [[nodiscard]] std::optional<WindowInfo> windowInfo(xcb_window_t window);
    [[nodiscard]] qint64 pidFromServer(xcb_window_t window);
    void readEvents();
    void noteEvent(xcb_generic_event_t *event);
    // Brings m_active up to date with the events read so far; true when the application changed.
    bool syncActive();
    // From a query: read what has arrived and keep m_active current, announcing a switch from the event loop.
    void syncActiveFromQuery();

    X11Connection m_x;
    DesktopEntryIndex m_index;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_reason;
    bool m_hasXRes = false;
    struct
    {
        xcb_atom_t netActiveWindow = XCB_ATOM_NONE;
        xcb_atom_t netWmName = XCB_ATOM_NONE;
        xcb_atom_t netWmPid = XCB_ATOM_NONE;
        xcb_atom_t netSupportingWmCheck = XCB_ATOM_NONE;
        xcb_atom_t netSupported = XCB_ATOM_NONE;
        xcb_atom_t utf8String = XCB_ATOM_NONE;
        xcb_atom_t compoundText = XCB_ATOM_NONE;
    } m_atoms;
    // The active window and what identifies its application, re-read only when _NET_ACTIVE_WINDOW changes: a
    // window's class and process do not change, so a capture costs one round trip (the title).
    std::optional<WindowInfo> m_active;
    bool m_activeStale = true;
    std::optional<AppKey> m_lastActivated;   // the application of the last activation we reported
    bool m_announceQueued = false;
};
