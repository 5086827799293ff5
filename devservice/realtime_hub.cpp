#include "realtime_hub.h"

#include "fault_knobs.h"
#include "json_web_token.h"
#include "time_log_store.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QWebSocket>

#include <algorithm>
#include <limits>

namespace {

const QString kPrefix = QStringLiteral("realtime:");

qint64 nowSec()
{
    return QDateTime::currentSecsSinceEpoch();
}

// "realtime:user:abc" → "user:abc", the subtopic the service names in its messages.
QString subtopic(const QString &topic)
{
    return topic.startsWith(kPrefix) ? topic.mid(kPrefix.size()) : topic;
}

QJsonObject systemError(const QString &topic, const QString &message)
{
    return QJsonObject{{QStringLiteral("extension"), QStringLiteral("system")},
                       {QStringLiteral("status"), QStringLiteral("error")},
                       {QStringLiteral("message"), message},
                       {QStringLiteral("channel"), subtopic(topic)}};
}

QJsonObject replyOk(const QJsonObject &response = {})
{
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}, {QStringLiteral("response"), response}};
}

QJsonObject replyError(const QString &reason)
{
    return QJsonObject{{QStringLiteral("status"), QStringLiteral("error")},
                       {QStringLiteral("response"), QJsonObject{{QStringLiteral("reason"), reason}}}};
}

} // namespace

RealtimeHub::RealtimeHub(const TimeLogStore &store, const FaultKnobs &faults, QObject *parent)
    : QObject(parent), m_store(store), m_faults(faults)
{
}

RealtimeHub::~RealtimeHub()
{
    const auto sockets = m_connections.keys();
    for (QWebSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        delete socket;
    }
}

void RealtimeHub::adopt(std::unique_ptr<QWebSocket> owned)
{
    QWebSocket *socket = owned.release();
    socket->setParent(this);
    Connection c;
    c.socket = socket;
    c.idle = new QTimer(socket);
    c.idle->setSingleShot(true);
    c.idle->setInterval(kIdleCloseMs);
    // The service closes a socket a minute after it last heard from the client; heartbeats keep it open.
    connect(c.idle, &QTimer::timeout, socket, [socket] { socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("idle")); });
    c.idle->start();
    connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString &text) { onText(socket, text); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket](const QByteArray &) {
        if (auto it = m_connections.find(socket); it != m_connections.end())
            it->idle->start();
    });
    // Queued, so a connection never disappears while a frame of it is being handled.
    connect(socket, &QWebSocket::disconnected, this, [this, guard = QPointer<QWebSocket>(socket)] {
        if (guard)
            forget(guard);
    }, Qt::QueuedConnection);
    m_connections.insert(socket, c);
}

void RealtimeHub::forget(QWebSocket *socket)
{
    if (m_connections.remove(socket))
        socket->deleteLater();
}

void RealtimeHub::send(QWebSocket *socket, const QJsonValue &joinRef, const QJsonValue &ref, const QString &topic,
                       const QString &event, const QJsonObject &payload)
{
    const QJsonArray frame{joinRef, ref, topic, event, payload};
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(frame).toJson(QJsonDocument::Compact)));
}

void RealtimeHub::onText(QWebSocket *socket, const QString &text)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection &c = *it;
    c.idle->start();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    const QJsonArray frame = doc.array();
    // Malformed frames are dropped and the socket stays open, as the service does.
    if (error.error != QJsonParseError::NoError || !doc.isArray() || frame.size() < 5 || !frame.at(2).isString() ||
        !frame.at(3).isString() || !frame.at(4).isObject()) {
        qWarning("devservice: realtime frame dropped: %s", qPrintable(text.left(200)));
        return;
    }
    const QJsonValue joinRef = frame.at(0);
    const QJsonValue ref = frame.at(1);
    const QString topic = frame.at(2).toString();
    const QString event = frame.at(3).toString();
    const QJsonObject payload = frame.at(4).toObject();

    if (topic == QStringLiteral("phoenix")) {
        if (event == QStringLiteral("heartbeat"))
            send(socket, QJsonValue::Null, ref, topic, QStringLiteral("phx_reply"), replyOk());
        return;
    }
    if (event == QStringLiteral("phx_join")) {
        join(c, joinRef, ref, topic, payload);
        return;
    }
    if (!c.channels.contains(topic)) {
        send(socket, joinRef, ref, topic, QStringLiteral("phx_reply"), replyError(QStringLiteral("unmatched topic")));
        return;
    }
    if (event == QStringLiteral("access_token"))
        refreshToken(c, topic, payload);
    else if (event == QStringLiteral("phx_leave"))
        leave(c, ref, topic);
}

QString RealtimeHub::checkToken(const QString &token, const QString &topic, qint64 *expSec, QString *sub) const
{
    if (token.isEmpty())
        return QStringLiteral("Unauthorized: You do not have permissions to read from this Channel topic: %1")
            .arg(subtopic(topic));
    const auto verified = JsonWebToken::verify(token.toUtf8(), m_store.signingSecret(), nowSec());
    switch (verified.problem) {
    case JsonWebToken::Problem::Malformed:
        return QStringLiteral("MalformedJWT: The token provided is not a valid JWT");
    case JsonWebToken::Problem::BadSignature:
        return QStringLiteral("InvalidJWTToken: The token signature is invalid");
    case JsonWebToken::Problem::Expired:
        return QStringLiteral("InvalidJWTToken: Token has expired %1 seconds ago").arg(verified.expiredForSec);
    case JsonWebToken::Problem::None:
        break;
    }
    if (verified.claims.value(QStringLiteral("typ")).toString() != QStringLiteral("realtime"))
        return QStringLiteral("InvalidJWTToken: not a realtime token (use the socket-token endpoint's token)");
    *sub = verified.claims.value(QStringLiteral("sub")).toString();
    const auto user = m_store.user(*sub);
    if (user && verified.claims.value(QStringLiteral("sid")).toInteger() <= user->revokedThrough)
        return QStringLiteral("InvalidJWTToken: Token has been revoked");
    if (topic != kPrefix + QStringLiteral("user:") + *sub)
        return QStringLiteral("Unauthorized: You do not have permissions to read from this Channel topic: %1")
            .arg(subtopic(topic));
    *expSec = static_cast<qint64>(verified.claims.value(QStringLiteral("exp")).toDouble());
    return {};
}

void RealtimeHub::join(Connection &c, const QJsonValue &joinRef, const QJsonValue &ref, const QString &topic,
                       const QJsonObject &payload)
{
    const QJsonObject config = payload.value(QStringLiteral("config")).toObject();
    QString reason;
    qint64 expSec = 0;
    QString sub;
    if (!topic.startsWith(kPrefix))
        reason = QStringLiteral("UnknownTopic: channel topics start with \"realtime:\"");
    else if (config.value(QStringLiteral("private")) != QJsonValue(true))
        reason = QStringLiteral("Unauthorized: this stand-in serves private channels only (config.private = true)");
    else if (!m_faults.realtimeJoinError().isEmpty())
        reason = m_faults.realtimeJoinError();
    else
        reason = checkToken(payload.value(QStringLiteral("access_token")).toString(), topic, &expSec, &sub);
    if (!reason.isEmpty()) {
        send(c.socket, joinRef, ref, topic, QStringLiteral("phx_reply"), replyError(reason));
        return;
    }
    // A second join of a topic replaces the first, which is told it is closed.
    if (auto old = c.channels.find(topic); old != c.channels.end()) {
        send(c.socket, old->joinRef, old->joinRef, topic, QStringLiteral("phx_close"), {});
        delete old->expiry;
        c.channels.erase(old);
    }
    c.channels.insert(topic, Channel{joinRef.toString(), sub, nullptr});
    send(c.socket, joinRef, ref, topic, QStringLiteral("phx_reply"),
         replyOk(QJsonObject{{QStringLiteral("postgres_changes"), QJsonArray()}}));
    armExpiry(c, topic, expSec);
}

void RealtimeHub::armExpiry(Connection &c, const QString &topic, qint64 expSec)
{
    Channel &channel = c.channels[topic];
    delete channel.expiry;
    channel.expiry = new QTimer(c.socket);
    channel.expiry->setSingleShot(true);
    const qint64 ms = std::clamp<qint64>((expSec - nowSec()) * 1000, 0, std::numeric_limits<int>::max());
    channel.expiry->setInterval(static_cast<int>(ms));
    QWebSocket *socket = c.socket;
    connect(channel.expiry, &QTimer::timeout, this, [this, socket, topic] {
        if (auto it = m_connections.find(socket); it != m_connections.end())
            closeChannel(*it, topic, QStringLiteral("Token has expired 0 seconds ago"));
    });
    channel.expiry->start();
}

void RealtimeHub::refreshToken(Connection &c, const QString &topic, const QJsonObject &payload)
{
    qint64 expSec = 0;
    QString sub;
    const QString reason = checkToken(payload.value(QStringLiteral("access_token")).toString(), topic, &expSec, &sub);
    if (!reason.isEmpty()) {
        closeChannel(c, topic, reason);
        return;
    }
    armExpiry(c, topic, expSec);
}

void RealtimeHub::leave(Connection &c, const QJsonValue &ref, const QString &topic)
{
    const Channel channel = c.channels.value(topic);
    send(c.socket, channel.joinRef, ref, topic, QStringLiteral("phx_reply"), replyOk());
    closeChannel(c, topic, {});
}

void RealtimeHub::closeChannel(Connection &c, const QString &topic, const QString &systemErrorText)
{
    const auto it = c.channels.find(topic);
    if (it == c.channels.end())
        return;
    const QString joinRef = it->joinRef;
    if (it->expiry)
        it->expiry->deleteLater();
    c.channels.erase(it);
    if (!systemErrorText.isEmpty())
        send(c.socket, joinRef, QJsonValue::Null, topic, QStringLiteral("system"), systemError(topic, systemErrorText));
    send(c.socket, joinRef, joinRef, topic, QStringLiteral("phx_close"), {});
}

int RealtimeHub::broadcast(const QString &sub, const QString &event, const QJsonObject &payload)
{
    const QString topic = kPrefix + QStringLiteral("user:") + sub;
    const QJsonObject meta{{QStringLiteral("id"), QUuid::createUuid().toString(QUuid::WithoutBraces)}};
    int delivered = 0;
    for (Connection &c : m_connections) {
        if (!c.channels.contains(topic))
            continue;
        ++delivered;
        if (!m_faults.realtimeBinary()) {
            send(c.socket, QJsonValue::Null, QJsonValue::Null, topic, QStringLiteral("broadcast"),
                 QJsonObject{{QStringLiteral("type"), QStringLiteral("broadcast")},
                             {QStringLiteral("event"), event},
                             {QStringLiteral("payload"), payload},
                             {QStringLiteral("meta"), meta}});
            continue;
        }
        // Binary user broadcast (kind 4): kind, three lengths, encoding 1 = JSON, then the parts.
        const QByteArray t = topic.toUtf8();
        const QByteArray e = event.toUtf8();
        const QByteArray m = QJsonDocument(meta).toJson(QJsonDocument::Compact);
        if (t.size() > 255 || e.size() > 255 || m.size() > 255)
            continue;
        QByteArray frame;
        frame.append(char(4));
        frame.append(static_cast<char>(t.size()));
        frame.append(static_cast<char>(e.size()));
        frame.append(static_cast<char>(m.size()));
        frame.append(char(1));
        frame += t + e + m + QJsonDocument(payload).toJson(QJsonDocument::Compact);
        c.socket->sendBinaryMessage(frame);
    }
    return delivered;
}

void RealtimeHub::dropAll()
{
    const auto sockets = m_connections.keys();
    for (QWebSocket *socket : sockets) {
        m_connections.remove(socket);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

QJsonObject RealtimeHub::state() const
{
    QJsonArray topics;
    for (const Connection &c : m_connections) {
        for (auto it = c.channels.constBegin(); it != c.channels.constEnd(); ++it)
            topics.append(subtopic(it.key()));
    }
    return QJsonObject{{QStringLiteral("connections"), static_cast<qint64>(m_connections.size())},
                       {QStringLiteral("channels"), topics}};
}
