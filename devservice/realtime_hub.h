#pragma once
// The realtime endpoint: private broadcast channels over websockets, protocol version 2 (JSON array text
// frames, optional binary user broadcasts). It verifies the realtime tokens the socket-token endpoint issues.
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

class FaultKnobs;
class QTimer;
class QWebSocket;
class TimeLogStore;

class RealtimeHub : public QObject
{
    Q_OBJECT
public:
    static constexpr int kIdleCloseMs = 60000;

    RealtimeHub(const TimeLogStore &store, const FaultKnobs &faults, QObject *parent = nullptr);
    ~RealtimeHub() override;

    // Takes over an upgraded connection; the upgrade request was checked (path, apikey, vsn) before.
    void adopt(std::unique_ptr<QWebSocket> socket);
    // Sends a broadcast to every channel joined for the user; returns how many received it.
    int broadcast(const QString &sub, const QString &event, const QJsonObject &payload);
    // Cuts every connection without a closing handshake, as a lost network would.
    void dropAll();
    [[nodiscard]] QJsonObject state() const;

private:
    struct Channel {
        QString joinRef;
        QString sub;
        QTimer *expiry = nullptr;
    };
    struct Connection {
        QWebSocket *socket = nullptr;
        QTimer *idle = nullptr;
        QHash<QString, Channel> channels; // by wire topic
    };

    void onText(QWebSocket *socket, const QString &text);
    void join(Connection &c, const QJsonValue &joinRef, const QJsonValue &ref, const QString &topic,
              const QJsonObject &payload);
    void refreshToken(Connection &c, const QString &topic, const QJsonObject &payload);
    void leave(Connection &c, const QJsonValue &ref, const QString &topic);
    void closeChannel(Connection &c, const QString &topic, const QString &systemError);
    void armExpiry(Connection &c, const QString &topic, qint64 expSec);
    // Empty on success, else the reason text of an error reply ("Code: message").
    [[nodiscard]] QString checkToken(const QString &token, const QString &topic, qint64 *expSec, QString *sub) const;
    void send(QWebSocket *socket, const QJsonValue &joinRef, const QJsonValue &ref, const QString &topic,
              const QString &event, const QJsonObject &payload);
    void forget(QWebSocket *socket);

    const TimeLogStore &m_store;
    const FaultKnobs &m_faults;
    QHash<QWebSocket *, Connection> m_connections;
};
