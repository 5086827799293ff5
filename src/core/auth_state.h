#pragma once
// What the recording core needs to know about the signed-in account: whether someone is signed in, their user id,
// and the sign-in / sign-out announcement. The authentication manager implements it; tests use StaticAuthState.
#include <QObject>
#include <QString>

class AuthState : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    [[nodiscard]] virtual bool isLoggedIn() const = 0;
    // The raw user id from the session token ("" when none). Config::safeUserId() decides whether it may name a folder.
    [[nodiscard]] virtual QString userId() const = 0;

    // The application's instance, registered by the composition root; null when there is none (tests, tools).
    [[nodiscard]] static AuthState *shared();
    static void setShared(AuthState *state);

Q_SIGNALS:
    // "AuthStateChanged": action is "login" or "logout"; reason ("userInitiated" / "sessionInvalidated") with logout.
    void authStateChanged(const QString &action, const QString &reason);
};

// A settable AuthState for tests and command-line tools.
class StaticAuthState final : public AuthState
{
    Q_OBJECT
public:
    explicit StaticAuthState(bool loggedIn = false, QString userId = {}, QObject *parent = nullptr)
        : AuthState(parent), m_loggedIn(loggedIn), m_userId(std::move(userId)) {}
    bool isLoggedIn() const override { return m_loggedIn; }
    QString userId() const override { return m_userId; }
    void set(bool loggedIn, const QString &userId) { m_loggedIn = loggedIn; m_userId = userId; }

private:
    bool m_loggedIn;
    QString m_userId;
};
