#include "sign_in_rules.h"

#include <QRegularExpression>
#include <QUrl>
#include <QUuid>

bool SignInRules::isEmail(const QString &email)
{
    static const QRegularExpression shape(QStringLiteral("^[^@\\s<>\"'\\\\]+@[^@\\s<>\"'\\\\]+\\.[^@\\s<>\"'\\\\.]+$"));
    return email.size() <= 254 && shape.match(email).hasMatch();
}

bool SignInRules::isNonce(const QString &nonce)
{
    static const QRegularExpression shape(QStringLiteral("^[A-Za-z0-9._~-]{1,128}$"));
    return shape.match(nonce).hasMatch();
}

bool SignInRules::isAllowedRedirect(const QString &redirect)
{
    if (!redirect.startsWith(QStringLiteral("kelvora://")) || redirect.size() > 200)
        return false;
    for (const QChar c : redirect) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    }
    const QUrl url(redirect, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QStringLiteral("kelvora") && !url.host().isEmpty() && !url.hasQuery() &&
           !url.hasFragment() && url.userInfo().isEmpty() && url.port() == -1;
}

QString SignInRules::userIdForEmail(const QString &email)
{
    static const QUuid space(QStringLiteral("{5f0c2a7e-3d41-4c8e-9b6a-1e2d3c4b5a69}"));
    return QUuid::createUuidV5(space, email.trimmed().toLower()).toString(QUuid::WithoutBraces);
}
