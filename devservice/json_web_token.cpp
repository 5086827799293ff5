#include "json_web_token.h"

#include <QJsonDocument>
#include <QMessageAuthenticationCode>

namespace {

constexpr auto kUrlFlags = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray encodePart(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toBase64(kUrlFlags);
}

bool decodeObject(const QByteArray &part, QJsonObject *out)
{
    const auto decoded = QByteArray::fromBase64Encoding(part, QByteArray::Base64UrlEncoding |
                                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *out = doc.object();
    return true;
}

QByteArray mac(const QByteArray &signingInput, const QByteArray &secret)
{
    return QMessageAuthenticationCode::hash(signingInput, secret, QCryptographicHash::Sha256);
}

// Compares without an early exit so the time taken does not reveal how much of a signature matched.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

} // namespace

QByteArray JsonWebToken::sign(const QJsonObject &claims, const QByteArray &secret)
{
    const QJsonObject header{{QStringLiteral("alg"), QStringLiteral("HS256")}, {QStringLiteral("typ"), QStringLiteral("JWT")}};
    const QByteArray input = encodePart(header) + '.' + encodePart(claims);
    return input + '.' + mac(input, secret).toBase64(kUrlFlags);
}

JsonWebToken::Verified JsonWebToken::verify(const QByteArray &token, const QByteArray &secret, qint64 nowSec)
{
    Verified result;
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3) {
        result.detail = QStringLiteral("a token has three dot-separated parts");
        return result;
    }
    QJsonObject header;
    if (!decodeObject(parts[0], &header) || !decodeObject(parts[1], &result.claims)) {
        result.detail = QStringLiteral("the header or payload is not Base64URL-encoded JSON");
        return result;
    }
    if (header.value(QStringLiteral("alg")).toString() != QStringLiteral("HS256")) {
        result.detail = QStringLiteral("only HS256 tokens are accepted");
        return result;
    }
    const auto signature = QByteArray::fromBase64Encoding(parts[2], QByteArray::Base64UrlEncoding |
                                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!signature || !sameBytes(*signature, mac(parts[0] + '.' + parts[1], secret))) {
        result.problem = Problem::BadSignature;
        result.detail = QStringLiteral("the signature does not match");
        return result;
    }
    const QJsonValue exp = result.claims.value(QStringLiteral("exp"));
    if (!exp.isDouble()) {
        result.detail = QStringLiteral("the token has no \"exp\" claim");
        return result;
    }
    const auto expSec = static_cast<qint64>(exp.toDouble());
    if (expSec <= nowSec) {
        result.problem = Problem::Expired;
        result.expiredForSec = nowSec - expSec;
        result.detail = QStringLiteral("Token has expired %1 seconds ago").arg(result.expiredForSec);
        return result;
    }
    result.problem = Problem::None;
    return result;
}
