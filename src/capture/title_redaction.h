#pragma once
// Masks what must never reach the history files in a window title: web addresses, e-mail addresses, tokens, API
// keys and home-folder names.
#include <QString>

// The replacements run in a fixed order, each on the result of the one before.
[[nodiscard]] QString redactSensitive(const QString &title);
