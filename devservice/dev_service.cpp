#include "dev_service.h"

#include "gzip_stream.h"
#include "json_web_token.h"
#include "realtime_hub.h"
#include "segment_wire.h"
#include "sign_in_rules.h"
#include "time_log_store.h"
#include "web_pages.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>

namespace {

// Decompressed request bodies beyond this are refused (a small gzip body can inflate enormously).
constexpr qsizetype kMaxInflatedBody = 16 * 1024 * 1024;

QString methodText(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get: return QStringLiteral("GET");
    case QHttpServerRequest::Method::Put: return QStringLiteral("PUT");
    case QHttpServerRequest::Method::Delete: return QStringLiteral("DELETE");
    case QHttpServerRequest::Method::Post: return QStringLiteral("POST");
    case QHttpServerRequest::Method::Head: return QStringLiteral("HEAD");
    case QHttpServerRequest::Method::Options: return QStringLiteral("OPTIONS");
    case QHttpServerRequest::Method::Patch: return QStringLiteral("PATCH");
    case QHttpServerRequest::Method::Connect: return QStringLiteral("CONNECT");
    case QHttpServerRequest::Method::Trace: return QStringLiteral("TRACE");
    default: return QStringLiteral("UNKNOWN");
    }
}

HttpAnswer methodNotAllowed(const QByteArray &allow)
{
    HttpAnswer answer = HttpAnswer::error(405, QStringLiteral("method not allowed; use %1").arg(QString::fromLatin1(allow)));
    answer.headers.append({QByteArray("Allow"), allow});
    return answer;
}

HttpAnswer unauthorized(const QString &message)
{
    HttpAnswer answer = HttpAnswer::error(401, message);
    answer.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Bearer error=\"invalid_token\"")});
    return answer;
}

qint64 nowSec()
{
    return QDateTime::currentSecsSinceEpoch();
}

// A refusal of a corrupt compressed body must not read like a refusal of compression itself, or a
// client with broken framing would quietly fall back to plain bodies and its fault would go unseen.
QString withoutEncodingName(QString text)
{
    return text.replace(QRegularExpression(QStringLiteral("gzip"), QRegularExpression::CaseInsensitiveOption),
                        QStringLiteral("compressed"));
}

QString defaultFirstName(const QString &email)
{
    QString local = email.section(QLatin1Char('@'), 0, 0);
    local = local.section(QRegularExpression(QStringLiteral("[._+-]")), 0, 0);
    if (!local.isEmpty())
        local[0] = local[0].toUpper();
    return local;
}

} // namespace

DevService::DevService(TimeLogStore &store, Options options, QObject *parent)
    : QAbstractHttpServer(parent), m_store(store), m_options(std::move(options))
{
    m_realtime = new RealtimeHub(m_store, m_faults, this);
    m_latestVersion = m_options.latestVersion;
    m_releaseNotes = QStringLiteral("Development stand-in: no real release.");
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
        while (hasPendingWebSocketConnections())
            m_realtime->adopt(nextPendingWebSocketConnection());
    });
}

DevService::~DevService() = default;

bool DevService::start(quint16 port, QString *error)
{
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress::LocalHost, port)) {
        *error = server->errorString();
        delete server;
        return false;
    }
    bind(server);
    m_port = server->serverPort();
    m_downloadUrl = baseUrl() + QStringLiteral("/download");
    return true;
}

QString DevService::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

void DevService::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    if (m_upgradeRefused) {
        m_upgradeRefused = false;
        return;
    }
    write(socket, HttpAnswer::error(404, QStringLiteral("not found")), false, false, 0);
}

std::optional<HttpAnswer> DevService::checkUpgrade(const Call &call) const
{
    if (call.path != QStringLiteral("/realtime/v1/websocket"))
        return HttpAnswer::error(404, QStringLiteral("realtime sockets live at /realtime/v1/websocket"));
    if (call.query.queryItemValue(QStringLiteral("apikey")).isEmpty() && call.request.value("apikey").isEmpty())
        return HttpAnswer::error(401, QStringLiteral("API key is missing"));
    if (call.query.queryItemValue(QStringLiteral("vsn")) != QStringLiteral("2.0.0"))
        return HttpAnswer::error(400, QStringLiteral("this endpoint speaks protocol version vsn=2.0.0 only"));
    return std::nullopt;
}

bool DevService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Call call{request, methodText(request.method()), request.url().path(), request.query(), {}, {}, 0, nullptr};
    const bool closeAfter = request.value("connection").toLower() == "close";
    if (call.path.startsWith(QStringLiteral("/__admin/"))) {
        write(socket, routeAdmin(call), false, closeAfter, 0);
        return true;
    }

    JournalEntry entry;
    entry.seq = m_journal.nextSeq();
    entry.receivedAtMs = QDateTime::currentMSecsSinceEpoch();
    entry.method = call.method;
    entry.path = call.path;
    entry.query = request.url().query(QUrl::FullyEncoded);
    entry.headers = request.headers();
    entry.bodySize = request.body().size();
    call.journal = &entry;

    // A websocket upgrade: accepting it means answering nothing and returning true, after which the
    // socket belongs to the websocket side. A refusal is an HTTP answer, as the hosted service gives.
    if (request.value("upgrade").toLower() == "websocket") {
        std::optional<HttpAnswer> refusal = checkUpgrade(call);
        if (const auto rule = m_faults.takeFailure(call.method, call.path); rule && !refusal)
            refusal = HttpAnswer::error(rule->status, rule->body.isEmpty() ? QStringLiteral("injected fault")
                                                                           : QString::fromUtf8(rule->body));
        entry.status = refusal ? refusal->status : 101;
        m_journal.add(std::move(entry));
        if (!refusal)
            return true;
        write(socket, *refusal, false, true, 0);
        m_upgradeRefused = true;
        return false;
    }

    HttpAnswer answer;
    if (const auto rule = m_faults.takeFailure(call.method, call.path)) {
        if (rule->body.isEmpty()) {
            answer = HttpAnswer::error(rule->status, QStringLiteral("injected fault (%1)").arg(rule->status));
        } else {
            const bool json = !QJsonDocument::fromJson(rule->body).isNull();
            answer = HttpAnswer{rule->status, json ? QByteArray("application/json") : QByteArray("text/plain"),
                                rule->body, {}};
        }
    } else {
        answer = route(call);
    }
    const bool gzip = m_faults.gzipAnswers() && acceptsGzip(request.value("accept-encoding"));
    entry.status = answer.status;
    entry.answerGzip = gzip && !answer.body.isEmpty();
    if (m_options.logRequests) {
        std::fprintf(stderr, "%s %s -> %d (body %lld bytes %s)\n", qPrintable(call.method), qPrintable(call.path),
                     answer.status, static_cast<long long>(entry.bodySize),
                     entry.contentEncoding.isEmpty() ? "plain" : qPrintable(entry.contentEncoding));
    }
    const int delayMs = m_faults.delayFor(call.path);
    m_journal.add(std::move(entry));
    write(socket, answer, gzip, closeAfter, delayMs);
    return true;
}

void DevService::write(QTcpSocket *socket, const HttpAnswer &answer, bool gzip, bool closeAfter, int delayMs)
{
    const QByteArray bytes = answer.serialize(gzip, closeAfter);
    auto send = [socket, bytes, closeAfter] {
        socket->write(bytes);
        if (closeAfter)
            socket->disconnectFromHost();
    };
    if (delayMs <= 0)
        send();
    else
        QTimer::singleShot(delayMs, socket, send); // dropped if the client hangs up first
}

HttpAnswer DevService::route(Call &call)
{
    const QString &p = call.path;
    const QString &m = call.method;
    static const QRegularExpression unlogPath(QStringLiteral("^/api/segments/([^/]+)/unlog$"));

    if (p == QStringLiteral("/api/desktop/version"))
        return m == QStringLiteral("GET") ? version() : methodNotAllowed("GET");

    if (p.startsWith(QStringLiteral("/api/"))) {
        QByteArray allowed;
        const auto match = unlogPath.match(p);
        if (p == QStringLiteral("/api/segments/log"))
            allowed = "POST";
        else if (p == QStringLiteral("/api/segments") || p == QStringLiteral("/api/segments/calendar") ||
                 p == QStringLiteral("/api/user/profile") || p == QStringLiteral("/api/auth/socket-token"))
            allowed = "GET";
        else if (match.hasMatch())
            allowed = "DELETE";
        else
            return HttpAnswer::error(404, QStringLiteral("no such endpoint: %1").arg(p));
        if (m != QString::fromLatin1(allowed))
            return methodNotAllowed(allowed);
        if (auto refusal = authenticate(call))
            return *refusal;
        if (auto refusal = readBody(call))
            return *refusal;
        if (p == QStringLiteral("/api/segments/log"))
            return logSegments(call);
        if (p == QStringLiteral("/api/segments"))
            return fetchDay(call);
        if (p == QStringLiteral("/api/segments/calendar"))
            return fetchCalendar(call);
        if (p == QStringLiteral("/api/user/profile"))
            return profile(call);
        if (p == QStringLiteral("/api/auth/socket-token"))
            return socketToken(call);
        return unlog(call, match.captured(1).toLower());
    }

    if (p == QStringLiteral("/desktop-auth")) {
        if (m == QStringLiteral("GET"))
            return signInPage(call);
        if (m != QStringLiteral("POST"))
            return methodNotAllowed("GET, POST");
        if (auto refusal = readBody(call))
            return *refusal;
        return signIn(call);
    }

    static const QHash<QString, QString> pages{
        {QStringLiteral("/"), QStringLiteral("Kelvora development stand-in")},
        {QStringLiteral("/signup"), QStringLiteral("Sign up")},
        {QStringLiteral("/dashboard"), QStringLiteral("Dashboard")},
        {QStringLiteral("/settings/profile"), QStringLiteral("Profile settings")},
        {QStringLiteral("/help/where-is-my-data-stored"), QStringLiteral("Where is my data stored?")},
        {QStringLiteral("/product/privacy"), QStringLiteral("Privacy")},
        {QStringLiteral("/download"), QStringLiteral("Download")},
    };
    if (pages.contains(p)) {
        if (m != QStringLiteral("GET"))
            return methodNotAllowed("GET");
        return HttpAnswer::html(200, WebPages::placeholder(pages.value(p),
                                                            QStringLiteral("This page is a placeholder of the "
                                                                           "development stand-in.")));
    }
    return HttpAnswer::error(404, QStringLiteral("not found: %1").arg(p));
}

std::optional<HttpAnswer> DevService::authenticate(Call &call)
{
    const QByteArray header = call.request.value("authorization");
    if (header.isEmpty())
        return unauthorized(QStringLiteral("Missing bearer token"));
    if (!header.startsWith("Bearer ") || header.size() == 7)
        return unauthorized(QStringLiteral("The Authorization header must be \"Bearer <token>\""));
    const auto verified = JsonWebToken::verify(header.mid(7), m_store.signingSecret(), nowSec());
    if (verified.problem == JsonWebToken::Problem::Expired)
        return unauthorized(QStringLiteral("Token has expired"));
    if (verified.problem != JsonWebToken::Problem::None)
        return unauthorized(QStringLiteral("Invalid token: %1").arg(verified.detail));
    const QJsonObject &claims = verified.claims;
    const QString sub = claims.value(QStringLiteral("sub")).toString();
    if (claims.value(QStringLiteral("typ")).toString() != QStringLiteral("session") || sub.isEmpty())
        return unauthorized(QStringLiteral("Invalid token: not a session token"));
    const qint64 sid = claims.value(QStringLiteral("sid")).toInteger();
    if (const auto user = m_store.user(sub)) {
        if (sid <= user->revokedThrough)
            return unauthorized(QStringLiteral("Token has expired"));
    } else if (!m_store.ensureUser(sub, claims.value(QStringLiteral("email")).toString())) {
        return HttpAnswer::error(500, QStringLiteral("storage failed"));
    }
    call.sub = sub;
    call.sid = sid;
    return std::nullopt;
}

std::optional<HttpAnswer> DevService::readBody(Call &call)
{
    const QByteArray raw = call.request.body();
    const QString encoding = QString::fromLatin1(call.request.value("content-encoding")).trimmed().toLower();
    call.journal->contentEncoding = encoding;
    if (encoding.isEmpty() || encoding == QStringLiteral("identity")) {
        call.body = raw;
    } else if (encoding == QStringLiteral("gzip") || encoding == QStringLiteral("x-gzip")) {
        call.journal->rawBody = raw;
        if (m_faults.refuseGzip())
            return HttpAnswer::error(400, QStringLiteral("gzip-encoded request bodies are not accepted; send plain JSON"));
        const GzipStream::Inflated inflated = GzipStream::inflate(raw, kMaxInflatedBody);
        if (!inflated.ok) {
            call.journal->decodeError = inflated.error;
            return HttpAnswer::error(inflated.tooLarge ? 413 : 400,
                                     withoutEncodingName(QStringLiteral("Content-Encoding: %1").arg(inflated.error)));
        }
        call.body = inflated.data;
        call.journal->decodedSize = inflated.data.size();
    } else {
        return HttpAnswer::error(415, QStringLiteral("Content-Encoding \"%1\" is not supported").arg(encoding));
    }
    call.journal->body = call.body;
    return std::nullopt;
}

HttpAnswer DevService::logSegments(Call &call)
{
    const QByteArray type = call.request.value("content-type").trimmed().toLower();
    if (!type.startsWith("application/json"))
        return HttpAnswer::error(415, QStringLiteral("Content-Type must be application/json"));
    auto decoded = decodeLogRequest(call.body);
    if (const auto *message = std::get_if<QString>(&decoded))
        return HttpAnswer::error(400, *message);
    const LogRequest &request = std::get<LogRequest>(decoded);
    const auto outcome = m_store.log(call.sub, request, m_faults.rejectIds());
    if (!outcome)
        return HttpAnswer::error(500, QStringLiteral("storage failed; nothing was stored"));
    QJsonObject patch;
    for (auto it = outcome->calendarPatch.constBegin(); it != outcome->calendarPatch.constEnd(); ++it)
        patch.insert(it.key(), it.value());
    const QJsonArray dates = QJsonArray::fromStringList(outcome->dates);
    if (request.emitSocket) {
        m_realtime->broadcast(call.sub, QStringLiteral("logAdded"),
                              QJsonObject{{QStringLiteral("dates"), dates},
                                          {QStringLiteral("updated"), outcome->updated},
                                          {QStringLiteral("totalLoggedSecs"), outcome->totalLoggedSecs}});
    }
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true},
                                             {QStringLiteral("updated"), outcome->updated},
                                             {QStringLiteral("rejected"), outcome->rejected},
                                             {QStringLiteral("totalLoggedSecs"), outcome->totalLoggedSecs},
                                             {QStringLiteral("dates"), dates},
                                             {QStringLiteral("calendarPatch"), patch}});
}

HttpAnswer DevService::fetchDay(Call &call)
{
    if (!call.query.hasQueryItem(QStringLiteral("date")))
        return HttpAnswer::error(400, QStringLiteral("the query parameter \"date\" (yyyy-MM-dd) is required"));
    const QString date = call.query.queryItemValue(QStringLiteral("date"), QUrl::FullyDecoded);
    if (!isDayText(date))
        return HttpAnswer::error(400, QStringLiteral("\"date\" must be a yyyy-MM-dd day, got \"%1\"").arg(date));
    QJsonArray segments;
    for (const StoredSegment &s : m_store.segmentsOfDay(call.sub, date)) {
        segments.append(QJsonObject{{QStringLiteral("id"), s.id},
                                    {QStringLiteral("appName"), s.appName},
                                    {QStringLiteral("windowTitle"), s.windowTitle},
                                    {QStringLiteral("startTime"), wireTime(s.startMs)},
                                    {QStringLiteral("endTime"), wireTime(s.endMs)},
                                    {QStringLiteral("type"), s.type},
                                    {QStringLiteral("logged"), s.logged}});
    }
    const DayTotals totals = m_store.totals(call.sub, date);
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true},
                                             {QStringLiteral("date"), date},
                                             {QStringLiteral("trackedSec"), totals.trackedSec},
                                             {QStringLiteral("loggedSec"), totals.loggedSec},
                                             {QStringLiteral("pendingSec"), totals.trackedSec - totals.loggedSec},
                                             {QStringLiteral("segments"), segments}});
}

HttpAnswer DevService::fetchCalendar(Call &call)
{
    QString from;
    QString to;
    for (const QString &key : {QStringLiteral("startDate"), QStringLiteral("endDate")}) {
        if (!call.query.hasQueryItem(key))
            continue;
        const QString value = call.query.queryItemValue(key, QUrl::FullyDecoded);
        if (!isDayText(value))
            return HttpAnswer::error(400, QStringLiteral("\"%1\" must be a yyyy-MM-dd day").arg(key));
        (key == QStringLiteral("startDate") ? from : to) = value;
    }
    QJsonObject calendar;
    const QMap<QString, qint64> days = m_store.calendar(call.sub);
    for (auto it = days.constBegin(); it != days.constEnd(); ++it) {
        if ((from.isEmpty() || it.key() >= from) && (to.isEmpty() || it.key() <= to))
            calendar.insert(it.key(), it.value());
    }
    const QString today = QDateTime::currentDateTimeUtc().date().toString(QStringLiteral("yyyy-MM-dd"));
    if (from.isEmpty())
        from = calendar.isEmpty() ? today : calendar.keys().constFirst();
    if (to.isEmpty())
        to = calendar.isEmpty() ? today : std::max(today, calendar.keys().constLast());
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true},
                                             {QStringLiteral("calendar"), calendar},
                                             {QStringLiteral("startDate"), from},
                                             {QStringLiteral("endDate"), to}});
}

HttpAnswer DevService::unlog(Call &call, const QString &id)
{
    QString date;
    switch (m_store.unlog(call.sub, id, &date)) {
    case TimeLogStore::Unlog::UnknownId:
        return HttpAnswer::error(404, QStringLiteral("unknown segment id %1").arg(id));
    case TimeLogStore::Unlog::StorageFailed:
        return HttpAnswer::error(500, QStringLiteral("storage failed; the segment is still logged"));
    case TimeLogStore::Unlog::Done:
        break;
    }
    const qint64 logged = m_store.totals(call.sub, date).loggedSec;
    m_realtime->broadcast(call.sub, QStringLiteral("logDeleted"),
                          QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("date"), date}});
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("success"), true},
                                             {QStringLiteral("id"), id},
                                             {QStringLiteral("date"), date},
                                             {QStringLiteral("loggedSec"), logged}});
}

HttpAnswer DevService::profile(Call &call)
{
    const auto user = m_store.user(call.sub);
    if (user && user->profile)
        return HttpAnswer::json(200, *user->profile);
    const QString email = user ? user->email : QString();
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("firstName"), defaultFirstName(email)},
                                             {QStringLiteral("workDayLengthMinutes"), 480}});
}

HttpAnswer DevService::socketToken(Call &call)
{
    if (m_faults.socketToken() == SocketTokenMode::None)
        return HttpAnswer::json(200, QJsonObject{});
    const qint64 now = nowSec();
    const QJsonObject claims{{QStringLiteral("sub"), call.sub},
                             {QStringLiteral("role"), QStringLiteral("authenticated")},
                             {QStringLiteral("typ"), QStringLiteral("realtime")},
                             {QStringLiteral("sid"), call.sid},
                             {QStringLiteral("iat"), now},
                             {QStringLiteral("exp"), now + m_faults.realtimeTokenTtlSec()}};
    QJsonObject answer{{QStringLiteral("realtimeToken"),
                        QString::fromLatin1(JsonWebToken::sign(claims, m_store.signingSecret()))}};
    if (m_faults.socketToken() == SocketTokenMode::Normal)
        answer.insert(QStringLiteral("realtimeTopic"), QStringLiteral("user:") + call.sub);
    return HttpAnswer::json(200, answer);
}

HttpAnswer DevService::version()
{
    if (!m_rawVersionBody.isEmpty())
        return HttpAnswer{200, "application/json", m_rawVersionBody, {}};
    return HttpAnswer::json(200, QJsonObject{{QStringLiteral("latestVersion"), m_latestVersion},
                                             {QStringLiteral("downloadUrl"), m_downloadUrl},
                                             {QStringLiteral("releaseNotes"), m_releaseNotes}});
}

HttpAnswer DevService::signInPage(Call &call)
{
    const QString redirect = call.query.queryItemValue(QStringLiteral("redirect"), QUrl::FullyDecoded);
    const QString nonce = call.query.queryItemValue(QStringLiteral("nonce"), QUrl::FullyDecoded);
    if (!SignInRules::isAllowedRedirect(redirect))
        return HttpAnswer::html(400, WebPages::placeholder(QStringLiteral("Sign-in refused"),
                                                           QStringLiteral("Only a kelvora:// redirect is allowed.")));
    if (!SignInRules::isNonce(nonce))
        return HttpAnswer::html(400, WebPages::placeholder(QStringLiteral("Sign-in refused"),
                                                           QStringLiteral("The sign-in link has no valid nonce.")));
    return HttpAnswer::html(200, WebPages::signInForm(nonce, redirect));
}

HttpAnswer DevService::signIn(Call &call)
{
    const QByteArray type = call.request.value("content-type").trimmed().toLower();
    if (!type.startsWith("application/x-www-form-urlencoded"))
        return HttpAnswer::error(415, QStringLiteral("Content-Type must be application/x-www-form-urlencoded"));
    // Form encoding writes spaces as "+"; a literal plus arrives as %2B.
    const QUrlQuery form(QString::fromUtf8(call.body).replace(QLatin1Char('+'), QLatin1Char(' ')));
    const QString email = form.queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded).trimmed();
    const QString nonce = form.queryItemValue(QStringLiteral("nonce"), QUrl::FullyDecoded);
    const QString redirect = form.queryItemValue(QStringLiteral("redirect"), QUrl::FullyDecoded);
    if (!SignInRules::isAllowedRedirect(redirect))
        return HttpAnswer::html(400, WebPages::placeholder(QStringLiteral("Sign-in refused"),
                                                           QStringLiteral("Only a kelvora:// redirect is allowed.")));
    if (!SignInRules::isNonce(nonce))
        return HttpAnswer::html(400, WebPages::placeholder(QStringLiteral("Sign-in refused"),
                                                           QStringLiteral("The sign-in form has no valid nonce.")));
    const QByteArray nonceText = QUrl::toPercentEncoding(nonce);
    if (form.queryItemValue(QStringLiteral("action")) == QStringLiteral("logout"))
        return HttpAnswer::redirect("kelvora://logout?nonce=" + nonceText);
    if (!m_faults.signInError().isEmpty()) {
        return HttpAnswer::redirect(redirect.toLatin1() + "?error=" + QUrl::toPercentEncoding(m_faults.signInError()) +
                                    "&nonce=" + nonceText);
    }
    if (!SignInRules::isEmail(email))
        return HttpAnswer::html(400, WebPages::signInForm(nonce, redirect, QStringLiteral("Enter a valid e-mail address.")));
    QString sub;
    qint64 exp = 0;
    const QByteArray token = issueSessionToken(email, m_options.sessionTtlSec, &sub, &exp);
    if (token.isEmpty())
        return HttpAnswer::html(500, WebPages::placeholder(QStringLiteral("Sign-in failed"),
                                                           QStringLiteral("The stand-in could not store the user.")));
    return HttpAnswer::redirect(redirect.toLatin1() + "?token=" + token + "&nonce=" + nonceText);
}

QByteArray DevService::issueSessionToken(const QString &email, qint64 ttlSec, QString *sub, qint64 *exp)
{
    const QString normalized = email.trimmed().toLower();
    *sub = SignInRules::userIdForEmail(normalized);
    const auto sid = m_store.nextSessionNumber();
    if (!sid || !m_store.ensureUser(*sub, normalized))
        return {};
    const qint64 now = nowSec();
    *exp = now + ttlSec;
    const QJsonObject claims{{QStringLiteral("sub"), *sub},       {QStringLiteral("email"), normalized},
                             {QStringLiteral("iat"), now},        {QStringLiteral("exp"), *exp},
                             {QStringLiteral("sid"), *sid},       {QStringLiteral("typ"), QStringLiteral("session")},
                             {QStringLiteral("iss"), QStringLiteral("kelvora-devservice")}};
    return JsonWebToken::sign(claims, m_store.signingSecret());
}
