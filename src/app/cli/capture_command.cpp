// `kelvora capture [--watch] [--json]`: what Kelvora would record right now, and why a window is not seen.
#include "cli/command.h"

#include "platform_services.h"
#include "title_redaction.h"
#include "unix_signals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cmath>
#include <cstdio>

namespace {

struct Sample
{
    std::optional<QString> appName;   // nullopt: no frontmost application
    QString appId;
    qint64 pid = 0;
    QString windowTitle;   // redacted
    double idleSeconds = 0;
    bool trusted = false;
    QString reason;

    [[nodiscard]] bool sameWindow(const Sample &o) const
    {
        return appName == o.appName && appId == o.appId && pid == o.pid && windowTitle == o.windowTitle;
    }
};

struct Services
{
    std::unique_ptr<WindowSystem> windows;
    std::unique_ptr<IdleSource> idle;
};

// The same reading and fallbacks as the recorder's capture: no name is "Unknown", no title is empty.
Sample takeSample(Services &s)
{
    Sample sample;
    sample.trusted = s.windows->isTrusted(false);
    sample.reason = sample.trusted ? QString() : s.windows->untrustedReason();
    if (const std::optional<FrontmostApplication> app = s.windows->frontmostApplication()) {
        sample.appName = app->localizedName.value_or(QStringLiteral("Unknown"));
        sample.appId = app->bundleIdentifier.value_or(QString());
        sample.pid = app->processIdentifier;
        sample.windowTitle = redactSensitive(s.windows->focusedWindowTitle(app->processIdentifier).value_or(QString()));
    }
    sample.idleSeconds = s.idle->secondsSinceLastInput();
    return sample;
}

QString format(const Sample &sample, const Services &s, bool json)
{
    const double idle = std::round(sample.idleSeconds * 1000.0) / 1000.0;
    if (json) {
        QJsonObject o;
        o.insert(QStringLiteral("appName"), sample.appName ? QJsonValue(*sample.appName) : QJsonValue());
        o.insert(QStringLiteral("appId"), sample.appName ? QJsonValue(sample.appId) : QJsonValue());
        o.insert(QStringLiteral("pid"), sample.pid > 0 ? QJsonValue(sample.pid) : QJsonValue());
        o.insert(QStringLiteral("windowTitle"), sample.appName ? QJsonValue(sample.windowTitle) : QJsonValue());
        o.insert(QStringLiteral("idleSeconds"), idle);
        o.insert(QStringLiteral("windowBackend"), s.windows->backendName());
        o.insert(QStringLiteral("idleBackend"), s.idle->backendName());
        o.insert(QStringLiteral("trusted"), sample.trusted);
        o.insert(QStringLiteral("reason"), sample.reason);
        return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) + u'\n';
    }
    QString text;
    if (sample.appName) {
        text += QStringLiteral("Application:    %1").arg(*sample.appName);
        if (!sample.appId.isEmpty())
            text += QStringLiteral(" (%1)").arg(sample.appId);
        text += sample.pid > 0 ? QStringLiteral(", pid %1\n").arg(sample.pid) : QStringLiteral(", pid unknown\n");
        text += QStringLiteral("Window title:   %1\n").arg(sample.windowTitle.isEmpty() ? QStringLiteral("(none)")
                                                                                        : sample.windowTitle);
    } else {
        text += QStringLiteral("Application:    (no frontmost application)\n");
    }
    text += QStringLiteral("Idle:           %1 s (%2)\n").arg(idle, 0, 'f', 1).arg(s.idle->backendName());
    text += QStringLiteral("Window backend: %1, %2\n")
                .arg(s.windows->backendName(), sample.trusted ? QStringLiteral("trusted")
                                                              : QStringLiteral("not trusted"));
    if (!sample.trusted)
        text += QStringLiteral("Reason:         %1\n").arg(sample.reason);
    return text;
}

void emitSample(const Sample &sample, const Services &s, bool json, bool watch)
{
    QString text = format(sample, s, json);
    if (watch && !json)
        text += u'\n';
    Cli::out(text);
    std::fflush(stdout);   // watchers read through a pipe
}

int watchLoop(Services &s, bool json)
{
    constexpr qint64 kRepeatMs = 5000;
    // Titles change without an application switch; a 1 s check catches them quickly enough for a person watching.
    constexpr int kCheckMs = 1000;
    // Interrupted (Ctrl+C, SIGTERM) is the normal end of a watch.
    UnixSignals::quitOnTermination(QCoreApplication::instance());

    Sample last = takeSample(s);
    emitSample(last, s, json, true);
    QElapsedTimer sinceLast;
    sinceLast.start();
    const auto check = [&] {
        Sample now = takeSample(s);
        if (!now.sameWindow(last) || sinceLast.elapsed() >= kRepeatMs - kCheckMs / 10) {
            emitSample(now, s, json, true);
            last = std::move(now);
            sinceLast.restart();
        }
    };
    QTimer timer;
    timer.setInterval(kCheckMs);
    QObject::connect(&timer, &QTimer::timeout, check);
    QObject::connect(s.windows.get(), &WindowSystem::applicationActivated, check);
    timer.start();
    QCoreApplication::exec();
    return 0;
}

int runCapture(const QStringList &args)
{
    bool watch = false;
    bool json = false;
    for (const QString &arg : args) {
        if (arg == QLatin1String("--watch")) {
            watch = true;
        } else if (arg == QLatin1String("--json")) {
            json = true;
        } else {
            Cli::err(QStringLiteral("kelvora capture: unknown option '%1'\nUsage: kelvora capture [--watch] "
                                    "[--json]\n")
                         .arg(arg));
            return 2;
        }
    }
    const DesktopSession session = detectDesktopSession();
    Services services{createWindowSystem(session), createIdleSource(session)};
    if (watch)
        return watchLoop(services, json);
    emitSample(takeSample(services), services, json, false);
    return 0;
}

} // namespace

KELVORA_CLI_COMMAND(capture, "capture",
                    "capture [--watch] [--json]   show what Kelvora would record now (--watch: on every change)",
                    runCapture)
