#include "devservice_client.h"

#include "test_support.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <zlib.h>

QByteArray HttpReply::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QJsonObject HttpReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

DevServiceProcess::~DevServiceProcess()
{
    stop();
}

bool DevServiceProcess::start(const QStringList &extraArgs)
{
    m_process.start(TestSupport::builtProgram(QStringLiteral("kelvora-devservice")),
                    QStringList{QStringLiteral("--port"), QStringLiteral("0")} + extraArgs);
    if (!m_process.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!m_process.canReadLine() && timer.elapsed() < 10000)
        m_process.waitForReadyRead(100);
    m_firstLine = QString::fromUtf8(m_process.readLine()).trimmed();
    const QString api = m_firstLine.section(QLatin1Char(' '), 0, 0);
    if (!api.startsWith(QStringLiteral("api=")))
        return false;
    m_base = api.mid(4);
    return true;
}

void DevServiceProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QByteArray DevServiceProcess::stderrText()
{
    m_stderr += m_process.readAllStandardError();
    return m_stderr;
}

HttpReply DevServiceProcess::send(const QByteArray &method, const QString &pathAndQuery, const QByteArray &body,
                                  const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request(QUrl(m_base + pathAndQuery));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    QElapsedTimer timer;
    timer.start();
    QNetworkReply *reply = m_nam.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply out;
    out.elapsedMs = timer.elapsed();
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.body = reply->readAll();
    out.headers = reply->rawHeaderPairs();
    reply->deleteLater();
    return out;
}

HttpReply DevServiceProcess::get(const QString &pathAndQuery, const QByteArray &token)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!token.isEmpty())
        headers.append({QByteArray("Authorization"), "Bearer " + token});
    return send("GET", pathAndQuery, {}, headers);
}

HttpReply DevServiceProcess::postJson(const QString &path, const QJsonObject &body, const QByteArray &token)
{
    QList<QPair<QByteArray, QByteArray>> headers{{QByteArray("Content-Type"), QByteArray("application/json")}};
    if (!token.isEmpty())
        headers.append({QByteArray("Authorization"), "Bearer " + token});
    return send("POST", path, QJsonDocument(body).toJson(QJsonDocument::Compact), headers);
}

HttpReply DevServiceProcess::admin(const QString &path, const QJsonObject &body)
{
    return postJson(path, body);
}

QByteArray DevServiceProcess::tokenFor(const QString &email, qint64 ttlSec)
{
    const HttpReply reply = admin(QStringLiteral("/__admin/token"),
                                  QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("ttlSec"), ttlSec}});
    return reply.json().value(QStringLiteral("token")).toString().toLatin1();
}

QJsonObject DevServiceWire::fullRequest(const QList<Seg> &segments, bool emitSocket)
{
    QJsonArray ids;
    QJsonArray list;
    for (const Seg &s : segments) {
        ids.append(s.id);
        list.append(QJsonObject{{QStringLiteral("id"), s.id},
                                {QStringLiteral("date"), s.date},
                                {QStringLiteral("appName"), QStringLiteral("Editor")},
                                {QStringLiteral("windowTitle"), QStringLiteral("notes.txt")},
                                {QStringLiteral("startTime"), s.start},
                                {QStringLiteral("endTime"), s.end},
                                {QStringLiteral("type"), s.type}});
    }
    return QJsonObject{{QStringLiteral("ids"), ids},
                       {QStringLiteral("segments"), list},
                       {QStringLiteral("emitSocket"), emitSocket}};
}

QJsonObject DevServiceWire::idsRequest(const QStringList &ids, bool emitSocket)
{
    return QJsonObject{{QStringLiteral("ids"), QJsonArray::fromStringList(ids)},
                       {QStringLiteral("segments"), QJsonArray()},
                       {QStringLiteral("emitSocket"), emitSocket}};
}

QByteArray DevServiceWire::gzip(const QByteArray &data)
{
    z_stream zs{};
    deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&zs, static_cast<uLong>(data.size()))), '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(static_cast<qsizetype>(zs.total_out));
    deflateEnd(&zs);
    return out;
}

QByteArray DevServiceWire::gunzip(const QByteArray &data)
{
    z_stream zs{};
    inflateInit2(&zs, 15 + 16);
    QByteArray out(16 * 1024 * 1024, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&zs, Z_FINISH);
    out.resize(rc == Z_STREAM_END ? static_cast<qsizetype>(zs.total_out) : 0);
    inflateEnd(&zs);
    return out;
}

QString DevServiceWire::uuid(int n)
{
    return QStringLiteral("%1-AAAA-4BBB-8CCC-DDDDDDDDDDDD").arg(n, 8, 10, QLatin1Char('0'));
}
