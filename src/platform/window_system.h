#pragma once
// The desktop's view of windows: the frontmost application, its focused window's title, whether Kelvora may read
// them (the stand-in for accessibility trust), and a signal after each application switch.
#include <QObject>
#include <QString>
#include <optional>

struct FrontmostApplication
{
    std::optional<QString> localizedName;      // display name (.desktop Name=, else WM_CLASS class)
    std::optional<QString> bundleIdentifier;   // desktop-file id, else WM_CLASS instance
    qint64 processIdentifier = 0;              // 0 when unknown
};

class WindowSystem : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether other applications' windows can be read. prompt: the one setup-checklist press that may show the
    // desktop's own permission prompt, where such a thing exists.
    [[nodiscard]] virtual bool isTrusted(bool prompt) = 0;
    // Why not, in words a person can act on ("" when trusted).
    [[nodiscard]] virtual QString untrustedReason() const = 0;
    [[nodiscard]] virtual std::optional<FrontmostApplication> frontmostApplication() = 0;
    // Title of the process's focused window; nullopt when there is none or it cannot be read.
    [[nodiscard]] virtual std::optional<QString> focusedWindowTitle(qint64 processIdentifier) = 0;
    [[nodiscard]] virtual QString backendName() const = 0;   // e.g. "x11", "none"

Q_SIGNALS:
    // Posted after each application switch (delivered on the main thread).
    void applicationActivated();
};
