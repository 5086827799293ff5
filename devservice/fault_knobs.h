#pragma once
// Failures and odd answers that tests switch on over the admin endpoint. All knobs are off after a reset.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <optional>

struct FailRule {
    QString path;   // exact, "prefix*" or "*"
    QString method; // empty: any
    int remaining = 0;
    int status = 500;
    QByteArray body; // empty: a JSON error naming the fault
};

// One-off actions carried by a faults request; the service performs them.
struct FaultActions {
    QString expireTokensOf; // e-mail address or sub
    bool dropRealtime = false;
};

enum class SocketTokenMode { Normal, NoTopic, None };

class FaultKnobs
{
public:
    // Applies every key or, on a bad request, nothing; returns the problem then.
    [[nodiscard]] std::optional<QString> apply(const QJsonObject &request, FaultActions *actions);
    [[nodiscard]] QJsonObject toJson() const;
    void reset() { *this = FaultKnobs(); }

    // The rule that fails this request, if any; counts it down.
    [[nodiscard]] std::optional<FailRule> takeFailure(const QString &method, const QString &path);
    [[nodiscard]] int delayFor(const QString &path) const;

    [[nodiscard]] bool refuseGzip() const { return m_refuseGzip; }
    [[nodiscard]] bool gzipAnswers() const { return m_gzipAnswers; }
    [[nodiscard]] const QSet<QString> &rejectIds() const { return m_rejectIds; }
    [[nodiscard]] SocketTokenMode socketToken() const { return m_socketToken; }
    [[nodiscard]] qint64 realtimeTokenTtlSec() const { return m_realtimeTokenTtlSec; }
    [[nodiscard]] const QString &signInError() const { return m_signInError; }
    [[nodiscard]] const QString &realtimeJoinError() const { return m_realtimeJoinError; }
    [[nodiscard]] bool realtimeBinary() const { return m_realtimeBinary; }

    [[nodiscard]] static bool pathMatches(const QString &pattern, const QString &path);

private:
    QList<FailRule> m_failRules;
    int m_delayMs = 0;
    QString m_delayPath;
    bool m_refuseGzip = false;
    bool m_gzipAnswers = true;
    QSet<QString> m_rejectIds;
    SocketTokenMode m_socketToken = SocketTokenMode::Normal;
    qint64 m_realtimeTokenTtlSec = 3600;
    QString m_signInError;
    QString m_realtimeJoinError;
    bool m_realtimeBinary = false;
};
