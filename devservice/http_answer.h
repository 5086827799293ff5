#pragma once
// One HTTP answer as the stand-in sends it, written straight to the socket so that delayed answers and
// any status code (599, 600, a 3xx without Location) go out exactly as a test asked for.
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

struct HttpAnswer {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;

    [[nodiscard]] static HttpAnswer json(int status, const QJsonObject &object);
    // {"success": false, "error": message}
    [[nodiscard]] static HttpAnswer error(int status, const QString &message);
    [[nodiscard]] static HttpAnswer html(int status, const QString &page);
    [[nodiscard]] static HttpAnswer redirect(const QByteArray &location);

    // The whole answer on the wire; with gzip the body is sent gzip-encoded.
    [[nodiscard]] QByteArray serialize(bool gzip, bool closeAfter) const;
};

// True when an Accept-Encoding value lists gzip with a non-zero quality.
[[nodiscard]] bool acceptsGzip(const QByteArray &acceptEncoding);
