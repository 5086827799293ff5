#include "api_client.h"

#include "config.h"
#include "gzip.h"
#include "token_provider.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringDecoder>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimeZone>
#include <QTimer>
#include <mutex>

#include <qcoro/qcoronetworkreply.h>

Q_LOGGING_CATEGORY(lcApi, "kelvora.api", QtWarningMsg)

TokenProvider::~TokenProvider() = default;

namespace {

APIClient *sharedClient = nullptr;

std::mutex gzipLock;
bool gzipRefused = false;   // guarded by gzipLock

// A token is attached only when it cannot break the header it travels in.
bool isHeaderSafe(const QString &token)
{
    for (const QChar c : token)
        if (c.unicode() < 0x21 || c.unicode() > 0x7E)
            return false;
    return !token.isEmpty();
}

QString verbName(const QByteArray &verb) { return verb.isEmpty() ? QStringLiteral("?") : QString::fromLatin1(verb); }
QString urlText(const QUrl &url) { return url.isEmpty() ? QStringLiteral("?") : url.toString(); }

// Deletes the reply once the coroutine is done with it, whichever way it leaves.
struct ReplyGuard
{
    QPointer<QNetworkReply> reply;
    ~ReplyGuard()
    {
        if (reply)
            reply->deleteLater();
    }
};

} // namespace

APIClient::APIClient(TokenProvider *tokens, QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this)), m_tokens(tokens)
{
}

APIClient::~APIClient()
{
    if (sharedClient == this)
        sharedClient = nullptr;
}

APIClient *APIClient::shared() { return sharedClient; }
void APIClient::setShared(APIClient *client) { sharedClient = client; }

bool APIClient::isGzipRefused()
{
    std::lock_guard lock(gzipLock);
    return gzipRefused;
}

void APIClient::markGzipRefused()
{
    std::lock_guard lock(gzipLock);
    gzipRefused = true;
}

bool APIClient::serverRefusedGzip(int status, QByteArrayView body)
{
    if (status != 400)
        return false;
    // Text that is not valid UTF-8 counts as empty.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(body);
    if (decoder.hasError())
        return false;
    return text.contains(QLatin1String("gzip"), Qt::CaseInsensitive);
}

std::optional<APIError> APIClient::errorForStatus(int status)
{
    using K = APIError::Kind;
    if (status >= 200 && status <= 299)
        return std::nullopt;
    switch (status) {
    case 401:
        return APIError::of(K::unauthorized);
    case 403:
        return APIError::of(K::forbidden);
    case 404:
        return APIError::of(K::notFound);
    default:
        break;
    }
    if (status >= 500 && status <= 599)
        return APIError::of(K::serverError, status);
    return APIError::of(K::httpError, status);
}

Result<QUrl, APIError> APIClient::buildURL(const QString &base, const QString &path, const std::optional<Query> &query)
{
    QString text = base + path;
    if (query && !query->isEmpty()) {
        QStringList pairs;
        pairs.reserve(query->size());
        for (const auto &[name, value] : *query)
            pairs.append(QString::fromLatin1(QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value)));
        text += QLatin1Char('?') + pairs.join(QLatin1Char('&'));
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return APIError::of(APIError::Kind::invalidURL);
    return url;
}

bool APIClient::isSecureForSession(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return !url.host().isEmpty();
    if (scheme != QLatin1String("http"))
        return false;
    const QString host = url.host().toLower();
    if (host == QLatin1String("localhost"))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

Result<QNetworkRequest, APIError> APIClient::makeRequest(const QString &path, const std::optional<Query> &query)
{
    const QString base = Config::apiBaseURL();
    if (base.isEmpty())
        return APIError::of(APIError::Kind::notConfigured, 0, Config::notConfiguredMessage(QStringLiteral("web API address")));
    auto url = buildURL(base, path, query);
    if (!url)
        return url.error();
    if (!isSecureForSession(url.value())) {
        return APIError::of(APIError::Kind::insecureURL, 0,
                            QStringLiteral("Refusing to contact %1 without encryption: the API address must use "
                                           "https (plain http only to this computer)")
                                .arg(url->host()));
    }

    QNetworkRequest request(url.value());
    // A redirect would carry the session token to wherever it points; a 3xx is reported instead.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(0);   // ours, see transmit()

    if (m_tokens) {
        if (const auto token = m_tokens->getToken(); token && !token->isEmpty()) {
            if (isHeaderSafe(*token))
                request.setRawHeader("Authorization", "Bearer " + token->toLatin1());
            else
                qWarning("[APIClient] The stored session token holds characters a header cannot carry; sending without it");
        }
    }
    request.setRawHeader("X-Requested-With", "XMLHttpRequest");
    request.setRawHeader("X-Kelvora-Client", "desktop");
    // Asked for every request, so a zone change while the program runs is picked up.
    QByteArray zone = QTimeZone::systemTimeZoneId();
    if (zone.isEmpty())
        zone = "UTC";
    request.setRawHeader("X-Kelvora-Time-Zone", zone);
    return request;
}

QCoro::Task<Result<APIClient::Answer, TransportError>> APIClient::transmit(QNetworkRequest request, QByteArray verb,
                                                                         QByteArray body)
{
    ++m_stats.requests;
    m_stats.bodyBytesSent += body.size();

    QNetworkReply *raw = nullptr;
    if (verb == "GET")
        raw = m_network->get(request);
    else if (verb == "POST")
        raw = m_network->post(request, body);
    else if (verb == "DELETE")
        raw = m_network->deleteResource(request);
    else
        raw = m_network->sendCustomRequest(request, verb, body);
    ReplyGuard guard{raw};

    // The timers belong to the reply, so they outlive this frame for as long as a signal of theirs may be running.
    bool timedOut = false;
    auto *idle = new QTimer(raw);
    auto *total = new QTimer(raw);
    for (QTimer *timer : {idle, total}) {
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, raw, [raw, &timedOut] {
            timedOut = true;
            raw->abort();
        });
    }
    const auto moved = [idle] { idle->start(); };
    connect(raw, &QNetworkReply::uploadProgress, idle, moved);
    connect(raw, &QNetworkReply::downloadProgress, idle, moved);
    idle->start(m_timeouts.idle);
    total->start(m_timeouts.total);

    co_await raw;

    if (!guard.reply)
        co_return TransportError{QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled")};
    QNetworkReply *reply = guard.reply.data();
    idle->stop();
    total->stop();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (timedOut && reply->error() == QNetworkReply::OperationCanceledError)
        co_return TransportError{QNetworkReply::TimeoutError, QStringLiteral("The request timed out")};
    if (!status.isValid()) {
        if (reply->error() != QNetworkReply::NoError)
            co_return TransportError{reply->error(), reply->errorString()};
        co_return answer;   // not an HTTP answer
    }
    answer.isHttp = true;
    answer.status = status.toInt();
    answer.body = reply->readAll();
    // When we ask for gzip ourselves the network stack hands the answer over as it came; otherwise it has
    // already inflated it (and leaves the header in place).
    const bool ourEncoding = request.hasRawHeader("Accept-Encoding");
    if (ourEncoding && reply->rawHeader("Content-Encoding").trimmed().compare("gzip", Qt::CaseInsensitive) == 0) {
        if (auto inflated = Gzip::decompress(answer.body)) {
            answer.body = std::move(*inflated);
        } else {
            answer.body.clear();
            answer.bodyUndecodable = true;
        }
    }
    co_return answer;
}

void APIClient::scheduleSessionInvalidated()
{
    TokenProvider *tokens = m_tokens;
    if (!tokens)
        return;
    // Queued on the application object, so the sign-out runs on the main thread once this request has returned.
    QObject *mainThread = QCoreApplication::instance();
    QMetaObject::invokeMethod(
        mainThread ? mainThread : this,
        [self = QPointer<APIClient>(this), tokens] {
            if (!self.isNull())
                tokens->logoutSessionInvalidated();
        },
        Qt::QueuedConnection);
}

Result<QByteArray, RequestError> APIClient::validateResponse(const Answer &answer)
{
    if (!answer.isHttp)
        return RequestError{APIError::of(APIError::Kind::invalidResponse)};
    qCDebug(lcApi).noquote() << QStringLiteral("Response: %1").arg(answer.status);
    if (answer.status == 401)
        scheduleSessionInvalidated();
    if (auto error = errorForStatus(answer.status))
        return RequestError{*error};
    if (answer.bodyUndecodable)
        return RequestError{decodingError(QStringLiteral("the gzip-encoded answer does not inflate"))};
    return answer.body;
}

QCoro::Task<Result<QByteArray, RequestError>> APIClient::perform(QNetworkRequest request, QByteArray verb,
                                                               QByteArray body)
{
    qCDebug(lcApi).noquote() << QStringLiteral("Request: %1 %2").arg(verbName(verb), urlText(request.url()));
    m_stats.bodyBytesUncompressed += body.size();
    auto answer = co_await transmit(std::move(request), std::move(verb), std::move(body));
    if (!answer)
        co_return RequestError{std::move(answer).error()};
    co_return validateResponse(answer.value());
}

QCoro::Task<Result<QByteArray, RequestError>> APIClient::getRaw(QString path, std::optional<Query> query)
{
    auto request = makeRequest(path, query);
    if (!request)
        co_return RequestError{request.error()};
    request->setRawHeader("Accept-Encoding", "gzip");
    co_return co_await perform(std::move(request).value(), QByteArrayLiteral("GET"), {});
}

QCoro::Task<Result<Done, RequestError>> APIClient::deleteResource(QString path)
{
    auto request = makeRequest(path, std::nullopt);
    if (!request)
        co_return RequestError{request.error()};
    auto answer = co_await perform(std::move(request).value(), QByteArrayLiteral("DELETE"), {});
    if (!answer)
        co_return std::move(answer).error();
    co_return Done{};
}

QCoro::Task<Result<QByteArray, RequestError>> APIClient::postRaw(QString path, QByteArray json)
{
    auto built = makeRequest(path, std::nullopt);
    if (!built)
        co_return RequestError{built.error()};
    QNetworkRequest request = std::move(built).value();
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept-Encoding", "gzip");

    if (json.size() >= kCompressionThreshold && !isGzipRefused()) {
        if (auto compressed = Gzip::compress(json)) {
            qCDebug(lcApi).noquote() << QStringLiteral("Compressed %1 bytes → %2 bytes (%3%)")
                                            .arg(json.size())
                                            .arg(compressed->size())
                                            .arg(compressed->size() * 100 / json.size());
            QNetworkRequest gzipped = request;
            gzipped.setRawHeader("Content-Encoding", "gzip");
            qCDebug(lcApi).noquote() << QStringLiteral("Request: POST %1 (gzip)").arg(urlText(request.url()));
            m_stats.bodyBytesUncompressed += json.size();
            ++m_stats.compressedBodies;
            auto answer = co_await transmit(std::move(gzipped), QByteArrayLiteral("POST"), std::move(*compressed));
            if (!answer)
                co_return RequestError{std::move(answer).error()};
            const int status = answer->isHttp ? answer->status : 0;
            if (serverRefusedGzip(status, answer->body)) {
                markGzipRefused();
                qInfo("[APIClient] The API refused a gzipped body (400) - sending plain JSON from now on");
                co_return co_await perform(std::move(request), QByteArrayLiteral("POST"), std::move(json));
            }
            co_return validateResponse(answer.value());
        }
    }
    co_return co_await perform(std::move(request), QByteArrayLiteral("POST"), std::move(json));
}

Result<QJsonValue, RequestError> APIClient::parseJson(const QByteArray &body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return RequestError{decodingError(error.errorString())};
    if (document.isObject())
        return QJsonValue(document.object());
    if (document.isArray())
        return QJsonValue(document.array());
    return RequestError{decodingError(QStringLiteral("the answer is empty"))};
}

APIError APIClient::decodingError(const QString &detail)
{
    qCDebug(lcApi).noquote() << QStringLiteral("Decode error: %1").arg(detail);
    return APIError::of(APIError::Kind::decodingError, 0, detail);
}
