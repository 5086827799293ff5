#pragma once
// Which history file a command-line argument names: "today", a day (yyyy-MM-dd) in the data directory of
// --user (else the signed-out one), or a file path.
#include <QString>
#include <optional>
#include <variant>

struct HistoryTarget
{
    QString path;
    std::optional<QString> dayKey;   // the day the file is for, when the argument or the file name tells
};

// The target, or the usage error to report.
[[nodiscard]] std::variant<HistoryTarget, QString> resolveHistoryTarget(const QString &given,
                                                                       const std::optional<QString> &user);
