#pragma once
// Fixtures for the service tests: the stand-in web service as a child process with its admin endpoint, a settable
// token provider, and a blocking wait for a coroutine's result.
#include "token_provider.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QThread>
#include <QTimer>
#include <optional>

#include <qcoro/qcorotask.h>

namespace ServiceTest {

// Runs the task to completion in a nested event loop; aborts the test process if it takes longer than timeoutMs.
template <typename T>
T await(QCoro::Task<T> task, int timeoutMs = 30000)
{
    std::optional<T> out;
    QEventLoop loop;
    auto runner = [&]() -> QCoro::Task<> {
        out.emplace(co_await task);
        loop.quit();
    };
    auto running = runner();
    if (!out) {
        QTimer::singleShot(timeoutMs, &loop, [] { qFatal("a request did not finish in time"); });
        loop.exec();
    }
    return std::move(*out);
}

class FakeTokenProvider final : public TokenProvider
{
public:
    std::optional<QString> token;
    int invalidations = 0;
    bool invalidatedOffMainThread = false;

    std::optional<QString> getToken() override { return token; }
    void logoutSessionInvalidated() override
    {
        ++invalidations;
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            invalidatedOffMainThread = true;
    }
};

// kelvora-devservice on a free loopback port, in memory.
class DevService
{
public:
    DevService() = default;
    ~DevService();
    DevService(const DevService &) = delete;
    DevService &operator=(const DevService &) = delete;

    // Starts it and points Config::apiBaseURL() at it. False (with a warning) when it does not come up.
    [[nodiscard]] bool start();
    [[nodiscard]] const QString &apiBase() const { return m_apiBase; }

    // An admin call; the parsed answer, or an object with "adminError" when the call failed.
    QJsonObject admin(const QByteArray &method, const QString &path, const QJsonObject &body = {});
    // A session token for the address (a user the stand-in then knows).
    [[nodiscard]] QString issueToken(const QString &email = QStringLiteral("tester@example.org"));
    bool setFaults(const QJsonObject &knobs);
    bool reset();

    // Requests received since the last mark() (all when never marked), optionally of one path pattern.
    void mark();
    [[nodiscard]] QJsonArray requests(const QString &pathPattern = {});

private:
    QProcess m_process;
    QString m_apiBase;
    qint64 m_mark = 0;
};

// Points the client's configuration at a base URL (empty: not configured).
void useApiHost(const QString &base);

} // namespace ServiceTest
