#pragma once
// Test fixture: runs kelvora-devservice as a subprocess on a free loopback port and talks HTTP to it.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

struct HttpReply {
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    qint64 elapsedMs = 0;

    [[nodiscard]] QByteArray header(const QByteArray &name) const;
    [[nodiscard]] QJsonObject json() const;
};

class DevServiceProcess
{
public:
    DevServiceProcess() = default;
    ~DevServiceProcess();
    DevServiceProcess(const DevServiceProcess &) = delete;
    DevServiceProcess &operator=(const DevServiceProcess &) = delete;

    // Starts the program with --port 0 and the extra arguments; reads its first line.
    [[nodiscard]] bool start(const QStringList &extraArgs = {});
    void stop();

    [[nodiscard]] QString base() const { return m_base; }
    [[nodiscard]] QString firstLine() const { return m_firstLine; }
    // Everything the program wrote to stderr so far.
    [[nodiscard]] QByteArray stderrText();

    // headers: name/value pairs; an "Accept-Encoding" given here turns off the network stack's own inflating.
    HttpReply send(const QByteArray &method, const QString &pathAndQuery, const QByteArray &body = {},
                   const QList<QPair<QByteArray, QByteArray>> &headers = {});
    HttpReply get(const QString &pathAndQuery, const QByteArray &token = {});
    HttpReply postJson(const QString &path, const QJsonObject &body, const QByteArray &token = {});
    HttpReply admin(const QString &path, const QJsonObject &body = {});

    // A session token for the e-mail address, issued through the admin endpoint.
    [[nodiscard]] QByteArray tokenFor(const QString &email, qint64 ttlSec = 3600);

private:
    QProcess m_process;
    QString m_base;
    QString m_firstLine;
    QNetworkAccessManager m_nam;
    QByteArray m_stderr;
};

namespace DevServiceWire {

// {"ids": [...], "segments": [...], "emitSocket": …} for full segments of one day.
struct Seg {
    QString id;
    qint64 start;
    qint64 end;
    QString date = QStringLiteral("2026-03-02");
    QString type = QStringLiteral("process");
};
[[nodiscard]] QJsonObject fullRequest(const QList<Seg> &segments, bool emitSocket = false);
[[nodiscard]] QJsonObject idsRequest(const QStringList &ids, bool emitSocket = false);
// A gzip member made with zlib's own framing.
[[nodiscard]] QByteArray gzip(const QByteArray &data);
[[nodiscard]] QByteArray gunzip(const QByteArray &data);
[[nodiscard]] QString uuid(int n);

} // namespace DevServiceWire
