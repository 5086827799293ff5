#pragma once
// The time-log wire records as the stand-in reads and writes them: strict decoding of the log request
// body and the JSON form of a stored segment.
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

// One segment sent in full. A record that decodes but cannot be stored (unknown type, end before start,
// bad day text) carries the reason in `problem`; the server counts it as rejected instead of failing the
// whole request, so one bad segment cannot block a day's logging.
struct IncomingSegment {
    QString id; // lower case
    QString date;
    QString appName;
    QString windowTitle;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString type;
    QString problem;
};

struct LogRequest {
    QStringList ids; // lower case, in request order
    QList<IncomingSegment> segments;
    bool emitSocket = false;
};

// Request size limits: the client sends at most 50 full segments or 250 ids per request.
inline constexpr qsizetype kMaxSegmentsPerRequest = 50;
inline constexpr qsizetype kMaxIdsPerRequest = 250;

// The decoded request, or the message of a 400 answer naming the offending key.
[[nodiscard]] std::variant<LogRequest, QString> decodeLogRequest(const QByteArray &body);

// True for a "yyyy-MM-dd" text naming a real calendar day.
[[nodiscard]] bool isDayText(const QString &text);

// The stored form of a segment's time on the wire.
[[nodiscard]] QString wireTime(qint64 epochMs);
