#pragma once
// APIClient: the one HTTP client for the application's web API. It builds every request the same way (base URL and
// path, optional query, identifying headers, the session token), gzips large JSON bodies until the server says it
// cannot read them, maps statuses to APIError, and signs the user out when the server answers 401.
#include "api_error.h"
#include "result.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QList>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <optional>
#include <utility>

#include <qcoro/qcorotask.h>

class QNetworkAccessManager;
class TokenProvider;

class APIClient : public QObject
{
    Q_OBJECT
public:
    // Name/value pairs written in this order.
    using Query = QList<std::pair<QString, QString>>;

    struct Timeouts
    {
        std::chrono::milliseconds idle{30'000};    // no byte moved in either direction for this long
        std::chrono::milliseconds total{60'000};   // the whole exchange, however lively
    };

    // What went over the wire, for diagnostics and measurements.
    struct TransferStats
    {
        qint64 requests = 0;
        qint64 bodyBytesSent = 0;          // as transmitted (compressed where it was)
        qint64 bodyBytesUncompressed = 0;  // the same bodies as JSON
        qint64 compressedBodies = 0;
    };

    // tokens may be null (no session: requests go without "Authorization" and a 401 signs nobody out).
    explicit APIClient(TokenProvider *tokens, QObject *parent = nullptr);
    ~APIClient() override;

    // The application's instance, registered by the composition root; null when there is none.
    [[nodiscard]] static APIClient *shared();
    static void setShared(APIClient *client);

    void setTimeouts(Timeouts timeouts) { m_timeouts = timeouts; }
    [[nodiscard]] Timeouts timeouts() const { return m_timeouts; }
    [[nodiscard]] TransferStats transferStats() const { return m_stats; }

    // Response types provide static Result<T, QString> fromJson(const QJsonValue &); Body types provide toJson().
    template <typename Response>
    QCoro::Task<Result<Response, RequestError>> get(QString path, std::optional<Query> query = std::nullopt);
    template <typename Response, typename Body>
    QCoro::Task<Result<Response, RequestError>> post(QString path, Body body);
    // DELETE; the answer's body is ignored.
    QCoro::Task<Result<Done, RequestError>> deleteResource(QString path);

    // The same, giving the validated answer body (inflated when it came gzipped).
    QCoro::Task<Result<QByteArray, RequestError>> getRaw(QString path, std::optional<Query> query = std::nullopt);
    QCoro::Task<Result<QByteArray, RequestError>> postRaw(QString path, QByteArray json);

    // Base + path, then "?" and the pairs when there are any. Names and values are percent-encoded where they would
    // otherwise change the URL's structure; a plain day text goes as it is.
    [[nodiscard]] static Result<QUrl, APIError> buildURL(const QString &base, const QString &path,
                                                         const std::optional<Query> &query);
    // https anywhere; plain http only to this computer (127.0.0.0/8, ::1, localhost).
    [[nodiscard]] static bool isSecureForSession(const QUrl &url);
    // The APIError for a status, nullopt for 200–299.
    [[nodiscard]] static std::optional<APIError> errorForStatus(int status);
    // A 400 whose body mentions gzip in any letter case.
    [[nodiscard]] static bool serverRefusedGzip(int status, QByteArrayView body);

    // Process-wide: once the server refuses a gzipped body, no later post is compressed until the process ends.
    [[nodiscard]] static bool isGzipRefused();
    static void markGzipRefused();

    static constexpr qsizetype kCompressionThreshold = 1024;

    template <typename Response>
    [[nodiscard]] static Result<Response, RequestError> decode(const QByteArray &body);

private:
    struct Answer
    {
        bool isHttp = false;
        int status = 0;
        QByteArray body;
        bool bodyUndecodable = false;   // announced as gzip but did not inflate
    };

    [[nodiscard]] Result<QNetworkRequest, APIError> makeRequest(const QString &path, const std::optional<Query> &query);
    QCoro::Task<Result<Answer, TransportError>> transmit(QNetworkRequest request, QByteArray verb, QByteArray body);
    QCoro::Task<Result<QByteArray, RequestError>> perform(QNetworkRequest request, QByteArray verb, QByteArray body);
    [[nodiscard]] Result<QByteArray, RequestError> validateResponse(const Answer &answer);
    void scheduleSessionInvalidated();

    [[nodiscard]] static Result<QJsonValue, RequestError> parseJson(const QByteArray &body);
    [[nodiscard]] static APIError decodingError(const QString &detail);

    QNetworkAccessManager *m_network;
    TokenProvider *m_tokens;
    Timeouts m_timeouts;
    TransferStats m_stats;
};

template <typename Response>
Result<Response, RequestError> APIClient::decode(const QByteArray &body)
{
    auto json = parseJson(body);
    if (!json)
        return std::move(json).error();
    auto record = Response::fromJson(json.value());
    if (!record)
        return RequestError{decodingError(record.error())};
    return std::move(record).value();
}

template <typename Response>
QCoro::Task<Result<Response, RequestError>> APIClient::get(QString path, std::optional<Query> query)
{
    auto body = co_await getRaw(std::move(path), std::move(query));
    if (!body)
        co_return std::move(body).error();
    co_return decode<Response>(body.value());
}

template <typename Response, typename Body>
QCoro::Task<Result<Response, RequestError>> APIClient::post(QString path, Body body)
{
    QByteArray json = QJsonDocument(body.toJson()).toJson(QJsonDocument::Compact);
    auto answer = co_await postRaw(std::move(path), std::move(json));
    if (!answer)
        co_return std::move(answer).error();
    co_return decode<Response>(answer.value());
}
