#pragma once
// A WindowSystem for tests: the frontmost application, its title and the trust answer are set by the test, which
// also posts the activation signal itself.
#include "window_system.h"

#include <QList>

class FakeWindowSystem final : public WindowSystem
{
    Q_OBJECT
public:
    using WindowSystem::WindowSystem;

    bool isTrusted(bool prompt) override;
    QString untrustedReason() const override { return m_trusted ? QString() : m_untrustedReason; }
    std::optional<FrontmostApplication> frontmostApplication() override;
    std::optional<QString> focusedWindowTitle(qint64 processIdentifier) override;
    QString backendName() const override { return QStringLiteral("fake"); }

    void setTrusted(bool trusted, const QString &reason = {});
    void setFrontmost(std::optional<FrontmostApplication> app) { m_frontmost = std::move(app); }
    // Convenience: a frontmost application with a name, an id and a focused title (nullopt: no title).
    void setFrontmost(const QString &name, const QString &id, std::optional<QString> title, qint64 pid = 4242);
    void setTitle(std::optional<QString> title) { m_title = std::move(title); }
    // Switches the frontmost application and posts the activation signal, as the desktop does.
    void activate(const QString &name, const QString &id, std::optional<QString> title, qint64 pid = 4242);
    void emitApplicationActivated() { Q_EMIT applicationActivated(); }

    [[nodiscard]] int frontmostQueries() const { return m_frontmostQueries; }
    [[nodiscard]] QList<bool> trustQueries() const { return m_trustQueries; }   // the prompt argument of each
    [[nodiscard]] QList<qint64> titleQueries() const { return m_titleQueries; }  // the pid of each

private:
    bool m_trusted = true;
    QString m_untrustedReason;
    std::optional<FrontmostApplication> m_frontmost;
    std::optional<QString> m_title;
    int m_frontmostQueries = 0;
    QList<bool> m_trustQueries;
    QList<qint64> m_titleQueries;
};
