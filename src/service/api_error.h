#pragma once
// The errors of a request to the web API: APIError for what the client decides (bad address, status, undecodable
// answer) and TransportError for what the network stack reports (no connection, time-out), kept apart as callers
// tell "the server said no" from "we never got an answer".
#include <QNetworkReply>
#include <QString>
#include <variant>

struct APIError
{
    enum class Kind {
        serverError,       // 500–599
        httpError,         // any other status outside 200–299
        decodingError,     // 2xx answer that is not the expected record
        networkError,      // kept for callers' vocabulary; the client reports transport failures as TransportError
        invalidURL,
        invalidResponse,   // not an HTTP answer
        unauthorized,      // 401
        forbidden,         // 403
        notFound,          // 404
        insecureURL,       // the session would travel in clear text (plain http to a host other than this computer)
        notConfigured,     // no API address in the deployment values
    };

    Kind kind = Kind::invalidResponse;
    int status = 0;     // serverError, httpError
    QString detail;     // decodingError: the decoder's words; insecureURL / notConfigured: the explanation

    [[nodiscard]] static APIError of(Kind kind, int status = 0, QString detail = {})
    {
        return APIError{kind, status, std::move(detail)};
    }
    // The user-facing text.
    [[nodiscard]] QString message() const;
    friend bool operator==(const APIError &, const APIError &) = default;
};

// A failure below HTTP, passed on as the network stack described it (ours: "The request timed out").
struct TransportError
{
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString description;
    [[nodiscard]] QString message() const { return description; }
};

using RequestError = std::variant<APIError, TransportError>;

// The user-facing text of any of the network layer's error variants.
template <typename... Ts>
[[nodiscard]] QString errorMessage(const std::variant<Ts...> &error)
{
    return std::visit([](const auto &e) { return e.message(); }, error);
}

// The APIError kind of an error, if it is one.
template <typename... Ts>
[[nodiscard]] const APIError *apiError(const std::variant<Ts...> &error)
{
    return std::get_if<APIError>(&error);
}
