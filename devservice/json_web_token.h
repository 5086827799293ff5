#pragma once
// HS256 JSON Web Tokens: the session tokens the sign-in page issues and the realtime tokens of the
// socket-token endpoint. Only HS256 is accepted on the way in, so an "alg": "none" token never verifies.
#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace JsonWebToken {

[[nodiscard]] QByteArray sign(const QJsonObject &claims, const QByteArray &secret);

enum class Problem { None, Malformed, BadSignature, Expired };

struct Verified {
    Problem problem = Problem::Malformed;
    QJsonObject claims;
    qint64 expiredForSec = 0; // with Expired: how long ago
    QString detail;
};

// Checks the form, the algorithm, the signature and the "exp" claim (required) against nowSec.
[[nodiscard]] Verified verify(const QByteArray &token, const QByteArray &secret, qint64 nowSec);

} // namespace JsonWebToken
