#include "fake_window_system.h"

bool FakeWindowSystem::isTrusted(bool prompt)
{
    m_trustQueries.append(prompt);
    return m_trusted;
}

std::optional<FrontmostApplication> FakeWindowSystem::frontmostApplication()
{
    ++m_frontmostQueries;
    return m_frontmost;
}

std::optional<QString> FakeWindowSystem::focusedWindowTitle(qint64 processIdentifier)
{
    m_titleQueries.append(processIdentifier);
    return m_title;
}

void FakeWindowSystem::setTrusted(bool trusted, const QString &reason)
{
    m_trusted = trusted;
    m_untrustedReason = reason;
}

void FakeWindowSystem::setFrontmost(const QString &name, const QString &id, std::optional<QString> title, qint64 pid)
{
    m_frontmost = FrontmostApplication{name, id, pid};
    m_title = std::move(title);
}

void FakeWindowSystem::activate(const QString &name, const QString &id, std::optional<QString> title, qint64 pid)
{
    setFrontmost(name, id, std::move(title), pid);
    Q_EMIT applicationActivated();
}
