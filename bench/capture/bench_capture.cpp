// What capture costs on a real X server: one capture (window queries and redaction), one idle sample, and a long
// recording run with the recorder's timers (2 s window poll, 1 s idle sample) measuring CPU time and wake-ups.
//   scripts/desktop-session.sh build/bench/bench_capture                 # per-operation costs
//   scripts/desktop-session.sh build/bench/bench_capture --record=120    # CPU per hour and wake-ups per minute
#include "idle_sources.h"
#include "repeating_timer.h"
#include "title_redaction.h"
#include "x11_window_system.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

// A client window like a browser's: _NET_WM_PID, WM_CLASS and a title with something to redact.
class FixtureWindow
{
public:
    FixtureWindow()
    {
        m_conn = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_conn))
            return;
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data;
        m_window = xcb_generate_id(m_conn);
        xcb_create_window(m_conn, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 400, 300, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        const char wmClass[] = "bench-browser\0BenchBrowser";
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            sizeof wmClass, wmClass);
        const QByteArray title = "Pull request #4211 · review ada.lovelace@example.org — "
                                 "https://git.example.org/team/app/pull/4211/files - Browser";
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                            static_cast<uint32_t>(title.size()), title.constData());
        const uint32_t pid = static_cast<uint32_t>(getpid());
        xcb_change_property(m_conn, XCB_PROP_MODE_REPLACE, m_window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                            &pid);
        xcb_map_window(m_conn, m_window);
        xcb_flush(m_conn);
    }
    ~FixtureWindow()
    {
        if (m_conn)
            xcb_disconnect(m_conn);
    }
    FixtureWindow(const FixtureWindow &) = delete;
    FixtureWindow &operator=(const FixtureWindow &) = delete;

    bool activate() const
    {
        const QString id = QStringLiteral("0x%1").arg(m_window, 0, 16);
        for (int i = 0; i < 50; ++i) {   // until the window manager has taken it on
            if (QProcess::execute(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"),
                                                              QStringLiteral("--sync"), id}) == 0)
                return true;
            usleep(100'000);
        }
        return false;
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(
            m_conn, xcb_intern_atom(m_conn, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        std::free(r);
        return a;
    }
    xcb_connection_t *m_conn = nullptr;
    xcb_window_t m_window = XCB_WINDOW_NONE;
};

X11WindowSystem *g_windows = nullptr;
X11IdleSource *g_idle = nullptr;

// What the recorder does per capture: frontmost application, its window's title, redaction.
QString captureOnce(X11WindowSystem &windows)
{
    const std::optional<FrontmostApplication> app = windows.frontmostApplication();
    if (!app)
        return {};
    return redactSensitive(windows.focusedWindowTitle(app->processIdentifier).value_or(QString()));
}

void BM_Capture(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(captureOnce(*g_windows));
    QCoreApplication::processEvents();
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMicrosecond);

void BM_WindowQueriesOnly(benchmark::State &state)
{
    for (auto _ : state) {
        const auto app = g_windows->frontmostApplication();
        benchmark::DoNotOptimize(g_windows->focusedWindowTitle(app ? app->processIdentifier : 0));
    }
}
BENCHMARK(BM_WindowQueriesOnly)->Unit(benchmark::kMicrosecond);

void BM_Redaction(benchmark::State &state)
{
    const QString title = QStringLiteral("Pull request #4211 · review ada.lovelace@example.org — "
                                         "https://git.example.org/team/app/pull/4211/files - Browser");
    for (auto _ : state)
        benchmark::DoNotOptimize(redactSensitive(title));
}
BENCHMARK(BM_Redaction)->Unit(benchmark::kMicrosecond);

void BM_IdleSample(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(g_idle->secondsSinceLastInput());
}
BENCHMARK(BM_IdleSample)->Unit(benchmark::kMicrosecond);

void BM_TrustCheck(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(g_windows->isTrusted(false));
}
BENCHMARK(BM_TrustCheck)->Unit(benchmark::kMicrosecond);

// The scheduler's own account (nanoseconds), not getrusage's tick sampling, which is too coarse for a few ms.
double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Every time a thread of ours goes to sleep and is woken again counts as one voluntary context switch.
long long wakeUps()
{
    long long total = 0;
    for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.mid(24).trimmed().toLongLong();
    }
    return total;
}

int record(int seconds)
{
    int captures = 0;
    int samples = 0;
    QObject owner;
    QObject::connect(g_windows, &WindowSystem::applicationActivated, &owner, [&] { captureOnce(*g_windows); });
    long long loopWakeUps = 0;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &owner,
                     [&] { ++loopWakeUps; });
    const double cpuBefore = cpuSeconds();
    const long long wakeBefore = wakeUps();
    QElapsedTimer wall;
    wall.start();
    double inWork = 0;   // CPU spent inside the captures and samples themselves, cold caches and all
    kelvoraRepeating(2.0, &owner, [&](RepeatingTimer *) {
        const double start = threadCpuSeconds();
        benchmark::DoNotOptimize(captureOnce(*g_windows));
        inWork += threadCpuSeconds() - start;
        ++captures;
    });
    kelvoraRepeating(1.0, &owner, [&](RepeatingTimer *) {
        const double start = threadCpuSeconds();
        benchmark::DoNotOptimize(g_idle->secondsSinceLastInput());
        inWork += threadCpuSeconds() - start;
        ++samples;
    });
    QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    const double cpu = cpuSeconds() - cpuBefore;
    const long long wakes = wakeUps() - wakeBefore;
    const double minutes = wall.elapsed() / 60000.0;
    std::printf("recording for %.1f s: %d captures, %d idle samples\n", wall.elapsed() / 1000.0, captures, samples);
    std::printf("CPU time: %.4f s, i.e. %.3f s per hour of recording (%.4f%% of one core)\n", cpu,
                cpu * 3600.0 / (wall.elapsed() / 1000.0), cpu * 100.0 / (wall.elapsed() / 1000.0));
    std::printf("  of which in the captures and idle samples: %.4f s (%.1f us each); the rest is the event loop\n",
                inWork, inWork * 1e6 / std::max(1, captures + samples));
    std::printf("event-loop wake-ups: %lld, i.e. %.1f per minute (the two timers ask for up to 90)\n", loopWakeUps,
                loopWakeUps / minutes);
    // Each reply from the X server is waited for, and that wait is a context switch of its own.
    std::printf("voluntary context switches: %lld, i.e. %.1f per minute (timer wake-ups plus one reply wait per "
                "capture and per idle sample)\n",
                wakes, wakes / minutes);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int recordSeconds = 0;
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--record=", 9) == 0)
            recordSeconds = std::atoi(argv[i] + 9);
        else
            args.push_back(argv[i]);
    }
    FixtureWindow window;
    if (!window.activate()) {
        std::fprintf(stderr, "bench_capture: cannot activate the fixture window (run inside desktop-session.sh)\n");
        return 1;
    }
    X11WindowSystem windows;
    X11IdleSource idle;
    if (!windows.isTrusted(false) || !idle.isAvailable()) {
        std::fprintf(stderr, "bench_capture: %s\n", qPrintable(windows.untrustedReason()));
        return 1;
    }
    g_windows = &windows;
    g_idle = &idle;
    std::printf("captured: %s\n", qPrintable(captureOnce(windows)));
    if (recordSeconds > 0)
        return record(recordSeconds);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
