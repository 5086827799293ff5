#include "service_fixture.h"

#include "config.h"
#include "test_support.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrlQuery>

#include <csignal>
#include <sys/prctl.h>

namespace ServiceTest {

void useApiHost(const QString &base)
{
    qputenv("KELVORA_API_HOST", base.toUtf8());
    Config::reloadDeployment();
}

DevService::~DevService()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

bool DevService::start()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that aborts must not leave the stand-in running.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start(TestSupport::builtProgram(QStringLiteral("kelvora-devservice")), {QStringLiteral("--port"), QStringLiteral("0")});
    if (!m_process.waitForStarted(10000)) {
        qWarning("kelvora-devservice did not start: %s", qPrintable(m_process.errorString()));
        return false;
    }
    QByteArray line;
    while (!line.contains('\n')) {
        if (!m_process.waitForReadyRead(10000)) {
            qWarning("kelvora-devservice printed no address");
            return false;
        }
        line += m_process.readAllStandardOutput();
    }
    line = line.left(line.indexOf('\n'));
    for (const QByteArray &part : line.split(' '))
        if (part.startsWith("api="))
            m_apiBase = QString::fromUtf8(part.mid(4));
    if (m_apiBase.isEmpty()) {
        qWarning("unexpected first line of kelvora-devservice: %s", line.constData());
        return false;
    }
    useApiHost(m_apiBase);
    return true;
}

QJsonObject DevService::admin(const QByteArray &method, const QString &path, const QJsonObject &body)
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(m_apiBase + path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = network.sendCustomRequest(request, method, method == "GET" ? QByteArray()
                                                                     : QJsonDocument(body).toJson(QJsonDocument::Compact));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray answer = reply->readAll();
    reply->deleteLater();
    if (status != 200) {
        qWarning("admin %s %s answered %d: %s", method.constData(), qPrintable(path), status, answer.constData());
        return QJsonObject{{QStringLiteral("adminError"), QString::fromUtf8(answer)}};
    }
    return QJsonDocument::fromJson(answer).object();
}

QString DevService::issueToken(const QString &email)
{
    return admin("POST", QStringLiteral("/__admin/token"), {{QStringLiteral("email"), email}})
        .value(QStringLiteral("token"))
        .toString();
}

bool DevService::setFaults(const QJsonObject &knobs)
{
    return !admin("POST", QStringLiteral("/__admin/faults"), knobs).contains(QStringLiteral("adminError"));
}

bool DevService::reset()
{
    m_mark = 0;
    return !admin("POST", QStringLiteral("/__admin/reset")).contains(QStringLiteral("adminError"));
}

void DevService::mark()
{
    m_mark = admin("GET", QStringLiteral("/__admin/requests?since=0&path=/none")).value(QStringLiteral("lastSeq")).toInteger();
}

QJsonArray DevService::requests(const QString &pathPattern)
{
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("since"), QString::number(m_mark));
    if (!pathPattern.isEmpty())
        query.addQueryItem(QStringLiteral("path"), pathPattern);
    return admin("GET", QStringLiteral("/__admin/requests?") + query.toString(QUrl::FullyEncoded))
        .value(QStringLiteral("requests"))
        .toArray();
}

} // namespace ServiceTest
