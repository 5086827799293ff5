// The admin endpoint of DevService: fault knobs, the request journal and shortcuts for tests.
#include "dev_service.h"

#include "realtime_hub.h"
#include "sign_in_rules.h"
#include "time_log_store.h"

#include <QHttpServerRequest>
#include <QJsonDocument>

namespace {

QJsonObject parseObject(const QByteArray &body, QString *error)
{
    if (body.trimmed().isEmpty())
        return {};
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        *error = QStringLiteral("the body must be a JSON object");
    return doc.object();
}

} // namespace

HttpAnswer DevService::routeAdmin(Call &call)
{
    // The admin endpoint changes and reveals everything: loopback callers only, addressed by a loopback
    // name (no DNS rebinding), and never from a web page (browsers send Origin on cross-site requests).
    const QByteArray host = call.request.value("host").toLower();
    const QByteArray port = QByteArray::number(m_port);
    const bool loopbackHost = host == "127.0.0.1:" + port || host == "localhost:" + port || host == "[::1]:" + port;
    if (!call.request.remoteAddress().isLoopback() || !loopbackHost || !call.request.value("origin").isEmpty())
        return HttpAnswer::error(403, QStringLiteral("the admin endpoint is for local tests only"));

    const QString &p = call.path;
    const bool get = call.method == QStringLiteral("GET");
    const bool post = call.method == QStringLiteral("POST");
    if (p == QStringLiteral("/__admin/requests") && get) {
        const qint64 since = call.query.queryItemValue(QStringLiteral("since")).toLongLong();
        return HttpAnswer::json(200, m_journal.toJson(since, call.query.queryItemValue(QStringLiteral("path"),
                                                                                        QUrl::FullyDecoded)));
    }
    if (p == QStringLiteral("/__admin/faults") && get)
        return HttpAnswer::json(200, m_faults.toJson());
    if (p == QStringLiteral("/__admin/realtime") && get)
        return HttpAnswer::json(200, m_realtime->state());
    if (!post)
        return HttpAnswer::error(get ? 404 : 405, QStringLiteral("no such admin call: %1 %2").arg(call.method, p));

    QString error;
    const QJsonObject body = parseObject(call.request.body(), &error);
    if (!error.isEmpty())
        return HttpAnswer::error(400, error);
    if (p == QStringLiteral("/__admin/faults"))
        return adminFaults(body);
    if (p == QStringLiteral("/__admin/reset"))
        return adminReset();
    if (p == QStringLiteral("/__admin/token"))
        return adminToken(body);
    if (p == QStringLiteral("/__admin/profile"))
        return adminProfile(body);
    if (p == QStringLiteral("/__admin/version"))
        return adminVersion(body);
    if (p == QStringLiteral("/__admin/broadcast"))
        return adminBroadcast(body);
    return HttpAnswer::error(404, QStringLiteral("no such admin call: POST %1").arg(p));
}

HttpAnswer DevService::adminFaults(const QJsonObject &body)
{
    FaultActions actions;
    if (const auto problem = m_faults.apply(body, &actions))
        return HttpAnswer::error(400, *problem);
    if (!actions.expireTokensOf.isEmpty()) {
        const auto user = m_store.findUser(actions.expireTokensOf);
        if (!user || !m_store.revokeSessions(user->sub))
            return HttpAnswer::error(404, QStringLiteral("no user %1").arg(actions.expireTokensOf));
    }
    if (actions.dropRealtime)
        m_realtime->dropAll();
    return HttpAnswer::json(200, m_faults.toJson());
}

HttpAnswer DevService::adminReset()
{
    m_faults.reset();
    m_journal.clear();
    m_latestVersion = m_options.latestVersion;
    m_releaseNotes = QStringLiteral("Development stand-in: no real release.");
    m_downloadUrl = baseUrl() + QStringLiteral("/download");
    m_rawVersionBody.clear();
    m_realtime->dropAll();
    if (!m_store.wipe())
        return HttpAnswer::error(500, QStringLiteral("storage failed while wiping"));
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true}});
}

HttpAnswer DevService::adminToken(const QJsonObject &body)
{
    const QString email = body.value(QStringLiteral("email")).toString().trimmed();
    const QJsonValue ttl = body.value(QStringLiteral("ttlSec"));
    if (!SignInRules::isEmail(email))
        return HttpAnswer::error(400, QStringLiteral("\"email\" must be an e-mail address"));
    if (!ttl.isUndefined() && !ttl.isDouble())
        return HttpAnswer::error(400, QStringLiteral("\"ttlSec\" must be a number of seconds (negative: expired)"));
    QString sub;
    qint64 exp = 0;
    const QByteArray token =
        issueSessionToken(email, ttl.isUndefined() ? m_options.sessionTtlSec : ttl.toInteger(), &sub, &exp);
    if (token.isEmpty())
        return HttpAnswer::error(500, QStringLiteral("storage failed"));
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("token"), QString::fromLatin1(token)},
                                             {QStringLiteral("sub"), sub},
                                             {QStringLiteral("email"), email.toLower()},
                                             {QStringLiteral("exp"), exp}});
}

HttpAnswer DevService::adminProfile(const QJsonObject &body)
{
    const auto user = m_store.findUser(body.value(QStringLiteral("user")).toString());
    if (!user)
        return HttpAnswer::error(404, QStringLiteral("\"user\" must name a signed-in user by e-mail or sub"));
    if (!body.value(QStringLiteral("profile")).isObject())
        return HttpAnswer::error(400, QStringLiteral("\"profile\" must be the JSON object to answer with"));
    if (!m_store.setProfile(user->sub, body.value(QStringLiteral("profile")).toObject()))
        return HttpAnswer::error(500, QStringLiteral("storage failed"));
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true}});
}

HttpAnswer DevService::adminVersion(const QJsonObject &body)
{
    static const QStringList keys{QStringLiteral("latestVersion"), QStringLiteral("downloadUrl"),
                                  QStringLiteral("releaseNotes"), QStringLiteral("rawBody")};
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (!keys.contains(it.key()))
            return HttpAnswer::error(400, QStringLiteral("unexpected key \"%1\"").arg(it.key()));
        if (!it.value().isString())
            return HttpAnswer::error(400, QStringLiteral("\"%1\" must be a string").arg(it.key()));
    }
    for (auto it = body.begin(); it != body.end(); ++it) {
        const QString value = it.value().toString();
        if (it.key() == QStringLiteral("latestVersion"))
            m_latestVersion = value;
        else if (it.key() == QStringLiteral("downloadUrl"))
            m_downloadUrl = value;
        else if (it.key() == QStringLiteral("releaseNotes"))
            m_releaseNotes = value;
        else
            m_rawVersionBody = value.toUtf8();
    }
    return version();
}

HttpAnswer DevService::adminBroadcast(const QJsonObject &body)
{
    const auto user = m_store.findUser(body.value(QStringLiteral("user")).toString());
    const QString event = body.value(QStringLiteral("event")).toString();
    if (!user)
        return HttpAnswer::error(404, QStringLiteral("\"user\" must name a known user by e-mail or sub"));
    if (event.isEmpty())
        return HttpAnswer::error(400, QStringLiteral("\"event\" is required"));
    const int delivered = m_realtime->broadcast(user->sub, event, body.value(QStringLiteral("payload")).toObject());
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("delivered"), delivered}});
}
