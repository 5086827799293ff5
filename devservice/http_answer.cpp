#include "http_answer.h"

#include "gzip_stream.h"

#include <QJsonDocument>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool bodyForbidden(int status)
{
    return status == 204 || status == 304 || (status >= 100 && status < 200);
}

} // namespace

HttpAnswer HttpAnswer::json(int status, const QJsonObject &object)
{
    return HttpAnswer{status, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), {}};
}

HttpAnswer HttpAnswer::error(int status, const QString &message)
{
    return json(status, QJsonObject{{QStringLiteral("success"), false}, {QStringLiteral("error"), message}});
}

HttpAnswer HttpAnswer::html(int status, const QString &page)
{
    return HttpAnswer{status, "text/html; charset=utf-8", page.toUtf8(), {}};
}

HttpAnswer HttpAnswer::redirect(const QByteArray &location)
{
    HttpAnswer answer{302, {}, {}, {}};
    answer.headers.append({QByteArray("Location"), location});
    answer.headers.append({QByteArray("Cache-Control"), QByteArray("no-store")});
    return answer;
}

QByteArray HttpAnswer::serialize(bool gzip, bool closeAfter) const
{
    QByteArray payload = bodyForbidden(status) ? QByteArray() : body;
    bool compressed = false;
    if (gzip && !payload.isEmpty()) {
        const QByteArray packed = GzipStream::compress(payload);
        if (!packed.isEmpty()) {
            payload = packed;
            compressed = true;
        }
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    if (!contentType.isEmpty() && !payload.isEmpty())
        out += "Content-Type: " + contentType + "\r\n";
    if (compressed)
        out += "Content-Encoding: gzip\r\n";
    out += "Vary: Accept-Encoding\r\n";
    for (const auto &[name, value] : headers)
        out += name + ": " + value + "\r\n";
    if (!bodyForbidden(status))
        out += "Content-Length: " + QByteArray::number(payload.size()) + "\r\n";
    if (closeAfter)
        out += "Connection: close\r\n";
    out += "\r\n";
    return out + payload;
}

bool acceptsGzip(const QByteArray &acceptEncoding)
{
    for (const QByteArray &item : acceptEncoding.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        const QByteArray coding = parts.first().trimmed().toLower();
        if (coding != "gzip" && coding != "x-gzip")
            continue;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const QByteArray param = parts.at(i).trimmed().toLower();
            if (param.startsWith("q=")) {
                bool ok = false;
                const double q = param.mid(2).toDouble(&ok);
                return ok && q > 0.0;
            }
        }
        return true;
    }
    return false;
}
