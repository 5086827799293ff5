#include "x11_window_system.h"

#include "x11_text.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cstdlib>
#include <cstring>
#include <xcb/res.h>

Q_LOGGING_CATEGORY(lcX11, "kelvora.platform.x11", QtWarningMsg)

namespace {
// Titles longer than this are cut: nobody reads them and a hostile client could publish megabytes.
constexpr uint32_t kMaxTitleBytes = 8192;
constexpr uint32_t kMaxClassBytes = 1024;
constexpr uint32_t kMaxSupportedBytes = 4096 * 4;
} // namespace

X11WindowSystem::X11WindowSystem(QObject *parent, const char *display, DesktopEntryIndex index)
    : WindowSystem(parent), m_x(display), m_index(std::move(index))
{
    if (!m_x.isUsable() || m_x.root() == XCB_WINDOW_NONE) {
        m_reason = m_x.problem();
        return;
    }
    xcb_connection_t *c = m_x.get();
    const char *names[] = {"_NET_ACTIVE_WINDOW", "_NET_WM_NAME", "_NET_WM_PID", "_NET_SUPPORTING_WM_CHECK",
                           "_NET_SUPPORTED", "UTF8_STRING", "COMPOUND_TEXT"};
    xcb_atom_t *targets[] = {&m_atoms.netActiveWindow, &m_atoms.netWmName, &m_atoms.netWmPid,
                             &m_atoms.netSupportingWmCheck, &m_atoms.netSupported, &m_atoms.utf8String,
                             &m_atoms.compoundText};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (size_t i = 0; i < std::size(names); ++i)
        cookies[i] = xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(names[i])), names[i]);
    for (size_t i = 0; i < std::size(names); ++i) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(c, cookies[i], nullptr);
        *targets[i] = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        std::free(reply);
    }
    const xcb_query_extension_reply_t *res = xcb_get_extension_data(c, &xcb_res_id);
    m_hasXRes = res && res->present;

    // Property events on the root window are how application switches reach us: no polling.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, m_x.root(), XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(c), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &X11WindowSystem::readEvents);

    m_reason = checkTrust();
    (void)syncActive();   // what is in front at the start is no switch
}

X11WindowSystem::~X11WindowSystem() = default;

bool X11WindowSystem::isTrusted(bool /*prompt: X11 has no permission prompt*/)
{
    m_reason = checkTrust();
    syncActiveFromQuery();
    return m_reason.isEmpty();
}

QString X11WindowSystem::checkTrust()
{
    if (!m_x.isUsable() || m_x.root() == XCB_WINDOW_NONE) {
        if (m_notifier)
            m_notifier->setEnabled(false);
        return m_x.problem();
    }
    const QString noWindowManager = QStringLiteral(
        "No window manager on this X display tells Kelvora which window is active. Start a window manager that "
        "follows the EWMH standard (most desktops do), then try again.");
    const auto checkCookie = m_x.requestProperty(m_x.root(), m_atoms.netSupportingWmCheck, 4);
    const auto supportedCookie = m_x.requestProperty(m_x.root(), m_atoms.netSupported, kMaxSupportedBytes);
    const std::optional<uint32_t> wmWindow = X11Connection::firstCard32(m_x.takeProperty(checkCookie));
    const std::optional<X11Connection::Property> supported = m_x.takeProperty(supportedCookie);
    if (!wmWindow || *wmWindow == XCB_WINDOW_NONE)
        return noWindowManager;
    // A window manager that died leaves its check property on the root; the child window proves it is alive.
    const std::optional<uint32_t> confirmed = X11Connection::firstCard32(
        m_x.takeProperty(m_x.requestProperty(*wmWindow, m_atoms.netSupportingWmCheck, 4)));
    if (confirmed != wmWindow)
        return noWindowManager;
    bool supportsActive = false;
    if (supported && supported->format == 32) {
        const qsizetype count = supported->value.size() / 4;
        for (qsizetype i = 0; i < count && !supportsActive; ++i) {
            uint32_t atom = 0;
            std::memcpy(&atom, supported->value.constData() + i * 4, 4);
            supportsActive = atom == m_atoms.netActiveWindow;
        }
    }
    if (!supportsActive)
        return QStringLiteral("Your window manager does not publish the active window (_NET_ACTIVE_WINDOW), so "
                              "Kelvora cannot see which window is in front. Use a window manager or desktop that "
                              "supports it (most do).");
    return {};
}

xcb_window_t X11WindowSystem::activeWindow()
{
    if (!m_x.isUsable())
        return XCB_WINDOW_NONE;
    const auto active = X11Connection::firstCard32(
        m_x.takeProperty(m_x.requestProperty(m_x.root(), m_atoms.netActiveWindow, 4)));
    return active.value_or(XCB_WINDOW_NONE);
}

qint64 X11WindowSystem::pidFromServer(xcb_window_t window)
{
    if (!m_hasXRes)
        return 0;
    xcb_res_client_id_spec_t query{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    xcb_generic_error_t *error = nullptr;
    xcb_res_query_client_ids_reply_t *reply =
        xcb_res_query_client_ids_reply(m_x.get(), xcb_res_query_client_ids(m_x.get(), 1, &query), &error);
    std::free(error);
    if (!reply)
        return 0;
    qint64 pid = 0;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem; xcb_res_client_id_value_next(&it)) {
        if (!(it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID)
            || xcb_res_client_id_value_value_length(it.data) < 1)
            continue;
        pid = *xcb_res_client_id_value_value(it.data);
        break;
    }
    std::free(reply);
    return pid;
}

std::optional<X11WindowSystem::WindowInfo> X11WindowSystem::windowInfo(xcb_window_t window)
{
    const auto classCookie = m_x.requestProperty(window, XCB_ATOM_WM_CLASS, kMaxClassBytes);
    const auto pidCookie = m_x.requestProperty(window, m_atoms.netWmPid, 4);
    bool gone = false;
    const std::optional<X11Connection::Property> wmClass = m_x.takeProperty(classCookie, &gone);
    const std::optional<uint32_t> pid = X11Connection::firstCard32(m_x.takeProperty(pidCookie));
    if (gone)
        return std::nullopt;   // closed since it was reported active
    WindowInfo info{window, {}};
    info.key.wmClass = wmClass ? wmClass->value : QByteArray();
    // _NET_WM_PID is what the client says; clients that set none (xmessage, old toolkits) are asked of the server.
    info.key.pid = pid && *pid > 0 ? static_cast<qint64>(*pid) : pidFromServer(window);
    return info;
}

std::optional<FrontmostApplication> X11WindowSystem::frontmostApplication()
{
    syncActiveFromQuery();
    if (!m_active)
        return std::nullopt;
    // Some clients set WM_CLASS only after the window is shown: ask again until it is there.
    if (m_active->key.wmClass.isEmpty()) {
        if (auto again = windowInfo(m_active->window))
            m_active->key.wmClass = again->key.wmClass;
    }
    FrontmostApplication app;
    app.processIdentifier = m_active->key.pid;
    const X11Text::WmClass wmClass = X11Text::parseWmClass(m_active->key.wmClass);
    if (const auto entry = m_index.find(wmClass.instance, wmClass.className)) {
        app.localizedName = entry->name;
        app.bundleIdentifier = entry->id;
    } else {
        if (!wmClass.className.isEmpty())
            app.localizedName = wmClass.className;
        if (!wmClass.instance.isEmpty())
            app.bundleIdentifier = wmClass.instance;
    }
    return app;
}

std::optional<QString> X11WindowSystem::focusedWindowTitle(qint64 processIdentifier)
{
    syncActiveFromQuery();
    // Only the window in front, and only when it belongs to that process.
    if (!m_active || m_active->key.pid != processIdentifier)
        return std::nullopt;
    const auto netCookie = m_x.requestProperty(m_active->window, m_atoms.netWmName, kMaxTitleBytes);
    const auto icccmCookie = m_x.requestProperty(m_active->window, XCB_ATOM_WM_NAME, kMaxTitleBytes);
    bool gone = false;
    const std::optional<X11Connection::Property> netName = m_x.takeProperty(netCookie, &gone);
    const std::optional<X11Connection::Property> wmName = m_x.takeProperty(icccmCookie);
    if (gone) {
        // Closed while the window manager still names it active: look again next time.
        m_active.reset();
        m_activeStale = true;
        return std::nullopt;
    }
    QString title;
    // _NET_WM_NAME is UTF-8 by definition, whatever type a client tags it with.
    if (netName && netName->format == 8)
        title = X11Text::decode(X11Text::Encoding::Utf8, netName->value);
    if (title.isEmpty() && wmName && wmName->format == 8) {
        X11Text::Encoding encoding = X11Text::Encoding::Latin1;
        if (wmName->type == m_atoms.utf8String)
            encoding = X11Text::Encoding::Utf8;
        else if (wmName->type == m_atoms.compoundText)
            encoding = X11Text::Encoding::CompoundText;
        title = X11Text::decode(encoding, wmName->value);
    }
    if (title.isEmpty())
        return std::nullopt;
    return title;
}

void X11WindowSystem::readEvents()
{
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_x.get()))
        noteEvent(event);
    if (xcb_connection_has_error(m_x.get())) {
        // The server went away: stop listening (the socket would report readable forever) and say why.
        m_notifier->setEnabled(false);
        m_active.reset();
        m_reason = m_x.problem();
        return;
    }
    if (syncActive())
        Q_EMIT applicationActivated();
}

void X11WindowSystem::noteEvent(xcb_generic_event_t *event)
{
    if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
        const auto *notify = reinterpret_cast<const xcb_property_notify_event_t *>(event);
        if (notify->window == m_x.root() && notify->atom == m_atoms.netActiveWindow)
            m_activeStale = true;
    } else if (event->response_type == 0) {
        qCDebug(lcX11) << "X error" << reinterpret_cast<const xcb_generic_error_t *>(event)->error_code;
    }
    std::free(event);
}

bool X11WindowSystem::syncActive()
{
    if (!m_x.isUsable())
        return false;
    while (m_activeStale) {
        m_activeStale = false;
        const xcb_window_t window = activeWindow();
        // 0x0 comes and goes between two windows: no frontmost application, and nothing to announce.
        m_active = window != XCB_WINDOW_NONE ? windowInfo(window) : std::nullopt;
        // The replies may have brought newer changes along; the socket notifier will not see those again.
        while (xcb_generic_event_t *event = xcb_poll_for_queued_event(m_x.get()))
            noteEvent(event);
    }
    if (!m_active || m_lastActivated == m_active->key)
        return false;
    m_lastActivated = m_active->key;
    return true;
}

// Called inside a query: events already read by a reply sit in xcb's queue where the socket notifier cannot see
// them, and the announcement must not re-enter whoever is asking, so it goes through the event loop.
void X11WindowSystem::syncActiveFromQuery()
{
    if (!m_x.isUsable())
        return;
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_x.get()))
        noteEvent(event);
    if (!syncActive() || m_announceQueued)
        return;
    m_announceQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_announceQueued = false;
            Q_EMIT applicationActivated();
        },
        Qt::QueuedConnection);
}
