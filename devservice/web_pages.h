#pragma once
// The few web-app pages the desktop opens: the sign-in form and plain placeholders for the rest.
#include <QString>

namespace WebPages {

// The sign-in form, and a button that asks the desktop app to sign out instead; nonce and redirect
// travel in hidden fields. error is shown above the form when set.
[[nodiscard]] QString signInForm(const QString &nonce, const QString &redirect, const QString &error = {});

[[nodiscard]] QString placeholder(const QString &title, const QString &text);

} // namespace WebPages
