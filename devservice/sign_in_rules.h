#pragma once
// What the sign-in form accepts, and the user id an e-mail address gets.
#include <QString>

namespace SignInRules {

[[nodiscard]] bool isEmail(const QString &email);
// 1 to 128 URL-safe characters, so it travels in the redirect unchanged.
[[nodiscard]] bool isNonce(const QString &nonce);
// Only the desktop's own scheme: any web address here would hand the session token to that site.
[[nodiscard]] bool isAllowedRedirect(const QString &redirect);
// A name-based UUID of the lower-cased address: stable, and safe as a folder name on the desktop.
[[nodiscard]] QString userIdForEmail(const QString &email);

} // namespace SignInRules
