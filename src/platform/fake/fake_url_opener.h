#pragma once
// A UrlOpener for tests: records every location it was asked to open and answers as set.
#include "url_opener.h"

#include <QList>

class FakeUrlOpener final : public UrlOpener
{
    Q_OBJECT
public:
    using UrlOpener::UrlOpener;

    bool open(const QUrl &url) override
    {
        m_opened.append(url);
        return m_result;
    }

    void setResult(bool handled) { m_result = handled; }
    [[nodiscard]] QList<QUrl> opened() const { return m_opened; }

private:
    bool m_result = true;
    QList<QUrl> m_opened;
};
