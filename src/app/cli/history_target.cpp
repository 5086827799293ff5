#include "cli/history_target.h"

#include "config.h"

#include <QFileInfo>
#include <QRegularExpression>

std::variant<HistoryTarget, QString> resolveHistoryTarget(const QString &given, const std::optional<QString> &user)
{
    static const QRegularExpression dayPattern(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}$"));
    static const QRegularExpression fileNamePattern(QStringLiteral("^processes-(\\d{4}-\\d{2}-\\d{2})\\.jsonl$"));
    if (given == QLatin1String("today") || dayPattern.match(given).hasMatch()) {
        const QString key = given == QLatin1String("today") ? Config::todayString() : given;
        if (!Config::parseDayKey(key))
            return QStringLiteral("%1 is not a calendar day").arg(given);
        QString dir = Config::appSupportBaseDirectory();
        if (user) {
            const std::optional<QString> safe = Config::safeUserId(*user);
            if (!safe)
                return QStringLiteral("the user id is not a safe folder name");
            dir += QLatin1Char('/') + *safe;
        }
        return HistoryTarget{dir + QStringLiteral("/processes-") + key + QStringLiteral(".jsonl"), key};
    }
    if (user)
        return QStringLiteral("--user goes with a date, not with a path");
    HistoryTarget target{given, std::nullopt};
    const QRegularExpressionMatch m = fileNamePattern.match(QFileInfo(given).fileName());
    if (m.hasMatch() && Config::parseDayKey(m.captured(1)))
        target.dayKey = m.captured(1);
    return target;
}
