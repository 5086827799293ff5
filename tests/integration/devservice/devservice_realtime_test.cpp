// The stand-in's realtime endpoint: joins, replies, heartbeats and the broadcasts that logging triggers.
#include "devservice_client.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

using namespace DevServiceWire;

namespace {

// Spins the event loop until the condition holds or the time is up.
template <typename Condition>
void waitUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition() && waited.elapsed() < timeoutMs)
        QTest::qWait(10);
}

} // namespace

namespace {

constexpr qint64 T0 = 1772438400000;

// One websocket connection that keeps every frame it receives.
class Socket : public QObject
{
public:
    QWebSocket ws;
    QList<QJsonArray> frames;
    QList<QByteArray> binary;

    Socket()
    {
        connect(&ws, &QWebSocket::textMessageReceived, this,
                [this](const QString &text) { frames.append(QJsonDocument::fromJson(text.toUtf8()).array()); });
        connect(&ws, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray &data) { binary.append(data); });
    }

    bool open(const QString &base, const QString &query = QStringLiteral("?apikey=dev-key&vsn=2.0.0"))
    {
        QString url = base;
        url.replace(QStringLiteral("http://"), QStringLiteral("ws://"));
        QSignalSpy connected(&ws, &QWebSocket::connected);
        QSignalSpy closed(&ws, &QWebSocket::disconnected);
        ws.open(QUrl(url + QStringLiteral("/realtime/v1/websocket") + query));
        waitUntil([&] { return connected.count() + closed.count() > 0; }, 5000);
        return connected.count() == 1;
    }

    void push(const QJsonArray &frame) { ws.sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact))); }

    void join(const QString &topic, const QJsonValue &token, bool isPrivate = true, const QString &ref = QStringLiteral("1"))
    {
        QJsonObject payload{{QStringLiteral("config"),
                             QJsonObject{{QStringLiteral("broadcast"), QJsonObject{{QStringLiteral("ack"), false}, {QStringLiteral("self"), false}}},
                                         {QStringLiteral("presence"), QJsonObject{{QStringLiteral("key"), QString()}, {QStringLiteral("enabled"), false}}},
                                         {QStringLiteral("postgres_changes"), QJsonArray()},
                                         {QStringLiteral("private"), isPrivate}}}};
        if (!token.isUndefined())
            payload.insert(QStringLiteral("access_token"), token);
        push(QJsonArray{ref, ref, QStringLiteral("realtime:") + topic, QStringLiteral("phx_join"), payload});
    }

    // The first frame with this event (and ref, when given) received so far.
    [[nodiscard]] QJsonArray find(const QString &event, const QJsonValue &ref = QJsonValue::Undefined) const
    {
        for (const QJsonArray &f : frames) {
            if (f.at(3).toString() == event && (ref.isUndefined() || f.at(1) == ref))
                return f;
        }
        return {};
    }
};

QString status(const QJsonArray &reply)
{
    return reply.at(4).toObject().value(QStringLiteral("status")).toString();
}

QString reason(const QJsonArray &reply)
{
    return reply.at(4).toObject().value(QStringLiteral("response")).toObject().value(QStringLiteral("reason")).toString();
}

} // namespace

class DevServiceRealtimeTest : public QObject
{
    Q_OBJECT

private:
    DevServiceProcess m_svc;
    QByteArray m_token;
    QString m_topic;
    QString m_ticket;

    void fetchTicket()
    {
        const QJsonObject ticket = m_svc.get(QStringLiteral("/api/auth/socket-token"), m_token).json();
        m_topic = ticket.value(QStringLiteral("realtimeTopic")).toString();
        m_ticket = ticket.value(QStringLiteral("realtimeToken")).toString();
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_svc.start()); }

    void init()
    {
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/reset")).status, 200);
        m_token = m_svc.tokenFor(QStringLiteral("ada@example.com"));
        fetchTicket();
        QVERIFY(m_topic.startsWith(QStringLiteral("user:")));
    }

    void joinHeartbeatAndLogBroadcasts()
    {
        Socket s;
        QVERIFY(s.open(m_svc.base()));
        s.join(m_topic, m_ticket);
        QTRY_VERIFY(!s.find(QStringLiteral("phx_reply"), QStringLiteral("1")).isEmpty());
        const QJsonArray joined = s.find(QStringLiteral("phx_reply"), QStringLiteral("1"));
        QCOMPARE(joined.at(0).toString(), QStringLiteral("1"));
        QCOMPARE(joined.at(2).toString(), QStringLiteral("realtime:") + m_topic);
        QCOMPARE(status(joined), QStringLiteral("ok"));

        s.push(QJsonArray{QJsonValue::Null, QStringLiteral("2"), QStringLiteral("phoenix"), QStringLiteral("heartbeat"), QJsonObject()});
        QTRY_COMPARE(status(s.find(QStringLiteral("phx_reply"), QStringLiteral("2"))), QStringLiteral("ok"));
        s.push(QJsonArray{1, 2}); // malformed frames are dropped, the socket stays open

        // Only the last request of a logging call (emitSocket) announces it.
        const QString log = QStringLiteral("/api/segments/log");
        QCOMPARE(m_svc.postJson(log, fullRequest({{uuid(1), T0, T0 + 1000}}, false), m_token).status, 200);
        QCOMPARE(m_svc.postJson(log, fullRequest({{uuid(2), T0, T0 + 2000}}, true), m_token).status, 200);
        QTRY_VERIFY(!s.find(QStringLiteral("broadcast")).isEmpty());
        const QJsonObject added = s.find(QStringLiteral("broadcast")).at(4).toObject();
        QCOMPARE(added.value(QStringLiteral("type")).toString(), QStringLiteral("broadcast"));
        QCOMPARE(added.value(QStringLiteral("event")).toString(), QStringLiteral("logAdded"));
        QVERIFY(added.value(QStringLiteral("payload")).isObject());

        QCOMPARE(m_svc.send("DELETE", QStringLiteral("/api/segments/%1/unlog").arg(uuid(2)), {},
                            {{QByteArray("Authorization"), "Bearer " + m_token}}).status, 200);
        QTRY_COMPARE(s.frames.last().at(4).toObject().value(QStringLiteral("event")).toString(), QStringLiteral("logDeleted"));
        QCOMPARE(s.frames.last().at(4).toObject().value(QStringLiteral("payload")).toObject()
                     .value(QStringLiteral("id")).toString(), uuid(2).toLower());
        qsizetype broadcasts = 0;
        for (const QJsonArray &f : std::as_const(s.frames))
            broadcasts += f.at(3).toString() == QStringLiteral("broadcast");
        QCOMPARE(broadcasts, 2);
    }

    void joinRefusals_data()
    {
        QTest::addColumn<QString>("topicOverride");
        QTest::addColumn<QString>("tokenKind");
        QTest::addColumn<bool>("isPrivate");
        QTest::addColumn<QString>("reasonStart");
        QTest::addRow("session token instead of ticket") << "" << "session" << true << "InvalidJWTToken";
        QTest::addRow("another user's topic") << "user:someone-else" << "ticket" << true << "Unauthorized";
        QTest::addRow("no access_token") << "" << "none" << true << "Unauthorized";
        QTest::addRow("not a JWT") << "" << "garbage" << true << "MalformedJWT";
        QTest::addRow("expired ticket") << "" << "expired" << true << "InvalidJWTToken: Token has expired";
        QTest::addRow("public channel") << "" << "ticket" << false << "Unauthorized";
        QTest::addRow("injected join error") << "" << "injected" << true << "RealtimeRestarting";
    }

    void joinRefusals()
    {
        QFETCH(QString, topicOverride);
        QFETCH(QString, tokenKind);
        QFETCH(bool, isPrivate);
        QFETCH(QString, reasonStart);
        QJsonValue token = m_ticket;
        if (tokenKind == QStringLiteral("session"))
            token = QString::fromLatin1(m_token);
        else if (tokenKind == QStringLiteral("none"))
            token = QJsonValue::Undefined;
        else if (tokenKind == QStringLiteral("garbage"))
            token = QStringLiteral("abc");
        else if (tokenKind == QStringLiteral("injected"))
            m_svc.admin(QStringLiteral("/__admin/faults"),
                        QJsonObject{{QStringLiteral("realtimeJoinError"), QStringLiteral("RealtimeRestarting: Realtime is restarting, please standby")}});
        else if (tokenKind == QStringLiteral("expired")) {
            m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("realtimeTokenTtlSec"), -5}});
            fetchTicket();
            token = m_ticket;
        }
        Socket s;
        QVERIFY(s.open(m_svc.base()));
        s.join(topicOverride.isEmpty() ? m_topic : topicOverride, token, isPrivate);
        QTRY_VERIFY(!s.find(QStringLiteral("phx_reply"), QStringLiteral("1")).isEmpty());
        const QJsonArray reply = s.find(QStringLiteral("phx_reply"), QStringLiteral("1"));
        QCOMPARE(status(reply), QStringLiteral("error"));
        QVERIFY2(reason(reply).startsWith(reasonStart), qPrintable(reason(reply)));
    }

    void channelClosesWhenTicketExpiresOrRefreshFails()
    {
        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("realtimeTokenTtlSec"), 2}});
        fetchTicket();
        Socket s;
        QVERIFY(s.open(m_svc.base()));
        s.join(m_topic, m_ticket);
        QTRY_COMPARE(status(s.find(QStringLiteral("phx_reply"), QStringLiteral("1"))), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(!s.find(QStringLiteral("phx_close")).isEmpty(), 5000);
        const QJsonObject system = s.find(QStringLiteral("system")).at(4).toObject();
        QCOMPARE(system.value(QStringLiteral("status")).toString(), QStringLiteral("error"));
        QVERIFY(system.value(QStringLiteral("message")).toString().startsWith(QStringLiteral("Token has expired")));
        QCOMPARE(system.value(QStringLiteral("channel")).toString(), m_topic);

        // A refresh with a token that does not verify closes the channel at once.
        Socket t;
        QVERIFY(t.open(m_svc.base()));
        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("realtimeTokenTtlSec"), 3600}});
        fetchTicket();
        t.join(m_topic, m_ticket);
        QTRY_COMPARE(status(t.find(QStringLiteral("phx_reply"), QStringLiteral("1"))), QStringLiteral("ok"));
        t.push(QJsonArray{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("realtime:") + m_topic,
                          QStringLiteral("access_token"), QJsonObject{{QStringLiteral("access_token"), QStringLiteral("x.y.z")}}});
        QTRY_VERIFY(!t.find(QStringLiteral("phx_close")).isEmpty());
        QCOMPARE(t.find(QStringLiteral("phx_close")).at(0).toString(), QStringLiteral("1"));
    }

    void binaryBroadcastsAreKindFour()
    {
        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("realtimeBinary"), true}});
        Socket s;
        QVERIFY(s.open(m_svc.base()));
        s.join(m_topic, m_ticket);
        QTRY_COMPARE(status(s.find(QStringLiteral("phx_reply"), QStringLiteral("1"))), QStringLiteral("ok"));
        const HttpReply sent = m_svc.admin(QStringLiteral("/__admin/broadcast"),
                                           QJsonObject{{QStringLiteral("user"), QStringLiteral("ada@example.com")},
                                                       {QStringLiteral("event"), QStringLiteral("logAdded")},
                                                       {QStringLiteral("payload"), QJsonObject{{QStringLiteral("n"), 1}}}});
        QCOMPARE(sent.json().value(QStringLiteral("delivered")).toInt(), 1);
        QTRY_COMPARE(s.binary.size(), 1);
        const QByteArray f = s.binary.first();
        const QByteArray topic = (QStringLiteral("realtime:") + m_topic).toUtf8();
        QCOMPARE(int(f.at(0)), 4);
        QCOMPARE(int(quint8(f.at(1))), topic.size());
        QCOMPARE(int(f.at(2)), 8);
        QCOMPARE(int(f.at(4)), 1);
        QCOMPARE(f.mid(5, topic.size()), topic);
        QCOMPARE(f.mid(5 + topic.size(), 8), QByteArray("logAdded"));
        const int metaLen = quint8(f.at(3));
        QCOMPARE(QJsonDocument::fromJson(f.mid(5 + topic.size() + 8 + metaLen)).object().value(QStringLiteral("n")).toInt(), 1);
    }

    void upgradesWithoutKeyOrVersionAreRefused_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<int>("status");
        QTest::addRow("no apikey") << "?vsn=2.0.0" << 401;
        QTest::addRow("protocol version 1") << "?apikey=k&vsn=1.0.0" << 400;
        QTest::addRow("injected 429") << "?apikey=k&vsn=2.0.0" << 429;
    }

    void upgradesWithoutKeyOrVersionAreRefused()
    {
        QFETCH(QString, query);
        QFETCH(int, status);
        if (status == 429) {
            m_svc.admin(QStringLiteral("/__admin/faults"),
                        QJsonObject{{QStringLiteral("failNext"), QJsonObject{{QStringLiteral("path"), QStringLiteral("/realtime/v1/websocket")},
                                                                             {QStringLiteral("status"), 429}}}});
        }
        Socket s;
        QVERIFY(!s.open(m_svc.base(), query));
        const QJsonArray requests = m_svc.send("GET", QStringLiteral("/__admin/requests?path=/realtime/*")).json()
                                        .value(QStringLiteral("requests")).toArray();
        QCOMPARE(requests.last().toObject().value(QStringLiteral("status")).toInt(), status);
    }

    void dropRealtimeCutsConnections()
    {
        Socket s;
        QVERIFY(s.open(m_svc.base()));
        QSignalSpy closed(&s.ws, &QWebSocket::disconnected);
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("dropRealtime"), true}}).status, 200);
        QTRY_COMPARE(closed.count(), 1);
    }
};

QTEST_GUILESS_MAIN(DevServiceRealtimeTest)
#include "devservice_realtime_test.moc"
