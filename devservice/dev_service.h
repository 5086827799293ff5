#pragma once
// The stand-in web service on one loopback port: the REST API, the web-app pages (sign-in), the
// realtime websocket endpoint and the loopback-only admin endpoint that tests use to inject faults.
#include "fault_knobs.h"
#include "http_answer.h"
#include "request_journal.h"

#include <QAbstractHttpServer>
#include <QUrlQuery>

class QHttpServerRequest;
class QTcpSocket;
class RealtimeHub;
class TimeLogStore;

class DevService : public QAbstractHttpServer
{
    Q_OBJECT
public:
    struct Options {
        QString latestVersion;
        qint64 sessionTtlSec = 30 * 24 * 3600;
        bool logRequests = false; // one line per request on stderr
    };

    DevService(TimeLogStore &store, Options options, QObject *parent = nullptr);
    ~DevService() override;

    // Listens on 127.0.0.1 only; port 0 picks a free one.
    [[nodiscard]] bool start(quint16 port, QString *error);
    [[nodiscard]] quint16 port() const { return m_port; }

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Call {
        const QHttpServerRequest &request;
        QString method;
        QString path;
        QUrlQuery query;
        QByteArray body; // decoded
        QString sub;     // the signed-in user, after authentication
        qint64 sid = 0;  // the session number of its token
        JournalEntry *journal = nullptr;
    };

    [[nodiscard]] std::optional<HttpAnswer> checkUpgrade(const Call &call) const;
    HttpAnswer route(Call &call);
    HttpAnswer routeAdmin(Call &call);
    // Empty optional: the caller is signed in (call.sub set); otherwise the 401 answer.
    std::optional<HttpAnswer> authenticate(Call &call);
    // Reads the body, inflating a gzip one; the optional answer is the refusal.
    std::optional<HttpAnswer> readBody(Call &call);

    HttpAnswer logSegments(Call &call);
    HttpAnswer fetchDay(Call &call);
    HttpAnswer fetchCalendar(Call &call);
    HttpAnswer unlog(Call &call, const QString &id);
    HttpAnswer profile(Call &call);
    HttpAnswer socketToken(Call &call);
    HttpAnswer version();
    HttpAnswer signInPage(Call &call);
    HttpAnswer signIn(Call &call);

    HttpAnswer adminFaults(const QJsonObject &body);
    HttpAnswer adminReset();
    HttpAnswer adminToken(const QJsonObject &body);
    HttpAnswer adminProfile(const QJsonObject &body);
    HttpAnswer adminVersion(const QJsonObject &body);
    HttpAnswer adminBroadcast(const QJsonObject &body);

    // Issues a session token for the e-mail address; empty when storage failed.
    QByteArray issueSessionToken(const QString &email, qint64 ttlSec, QString *sub, qint64 *exp);
    [[nodiscard]] QString baseUrl() const;
    void write(QTcpSocket *socket, const HttpAnswer &answer, bool gzip, bool closeAfter, int delayMs);

    TimeLogStore &m_store;
    Options m_options;
    FaultKnobs m_faults;
    RequestJournal m_journal;
    RealtimeHub *m_realtime = nullptr;
    quint16 m_port = 0;
    bool m_upgradeRefused = false; // the refusal is written; the missing-handler call that follows stays quiet
    QString m_latestVersion;
    QString m_downloadUrl;
    QString m_releaseNotes;
    QByteArray m_rawVersionBody;
};
