#pragma once
// What the API client needs from the authentication manager: the session token for each request, and the sign-out
// when the server says the session is over.
#include <QString>
#include <optional>

class TokenProvider
{
public:
    virtual ~TokenProvider();

    // The stored session token, read afresh for every request (the keychain may have changed); nullopt when none.
    [[nodiscard]] virtual std::optional<QString> getToken() = 0;

    // The server answered 401: sign out with the reason "sessionInvalidated". Always called on the main thread, from
    // the event loop, never from inside the failing request.
    virtual void logoutSessionInvalidated() = 0;
};
