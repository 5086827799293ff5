#include "api_error.h"

QString APIError::message() const
{
    switch (kind) {
    case Kind::serverError:
        return QStringLiteral("Server error (%1)").arg(status);
    case Kind::httpError:
        return QStringLiteral("Request failed (%1)").arg(status);
    case Kind::decodingError:
        return QStringLiteral("Failed to parse response");
    case Kind::networkError:
        return QStringLiteral("Network connection failed");
    case Kind::invalidURL:
        return QStringLiteral("Invalid URL");
    case Kind::invalidResponse:
        return QStringLiteral("Invalid response from server");
    case Kind::unauthorized:
        return QStringLiteral("Please log in again");
    case Kind::forbidden:
        return QStringLiteral("Access denied");
    case Kind::notFound:
        return QStringLiteral("Resource not found");
    case Kind::insecureURL:
    case Kind::notConfigured:
        return detail;
    }
    return QStringLiteral("Invalid response from server");
}
