#include "fault_knobs.h"

#include <QJsonArray>

namespace {

bool isInteger(const QJsonValue &v)
{
    return v.isDouble() && v.toDouble() == static_cast<double>(v.toInteger());
}

QString socketTokenText(SocketTokenMode mode)
{
    switch (mode) {
    case SocketTokenMode::NoTopic: return QStringLiteral("noTopic");
    case SocketTokenMode::None: return QStringLiteral("none");
    case SocketTokenMode::Normal: break;
    }
    return QStringLiteral("normal");
}

} // namespace

std::optional<QString> FaultKnobs::apply(const QJsonObject &request, FaultActions *actions)
{
    FaultKnobs next = *this;
    FaultActions nextActions;
    for (auto it = request.begin(); it != request.end(); ++it) {
        const QString &key = it.key();
        const QJsonValue v = it.value();
        if (key == QStringLiteral("failNext")) {
            const QJsonObject rule = v.toObject();
            const QJsonValue path = rule.value(QStringLiteral("path"));
            const QJsonValue count = rule.value(QStringLiteral("count"));
            const QJsonValue status = rule.value(QStringLiteral("status"));
            if (!v.isObject() || !path.isString() || path.toString().isEmpty())
                return QStringLiteral("failNext needs {\"path\", \"status\"[, \"count\", \"method\", \"body\"]}");
            if (!isInteger(status) || status.toInteger() < 200 || status.toInteger() > 999)
                return QStringLiteral("failNext.status must be an integer from 200 to 999");
            if (!count.isUndefined() && (!isInteger(count) || count.toInteger() < 1))
                return QStringLiteral("failNext.count must be a positive integer");
            for (auto r = rule.begin(); r != rule.end(); ++r) {
                static const QStringList known{QStringLiteral("path"), QStringLiteral("count"), QStringLiteral("status"),
                                               QStringLiteral("method"), QStringLiteral("body")};
                if (!known.contains(r.key()))
                    return QStringLiteral("failNext: unexpected key \"%1\"").arg(r.key());
            }
            next.m_failRules.append(FailRule{path.toString(),
                                             rule.value(QStringLiteral("method")).toString().toUpper(),
                                             count.isUndefined() ? 1 : static_cast<int>(count.toInteger()),
                                             static_cast<int>(status.toInteger()),
                                             rule.value(QStringLiteral("body")).toString().toUtf8()});
        } else if (key == QStringLiteral("delayMs")) {
            if (!isInteger(v) || v.toInteger() < 0 || v.toInteger() > 600000)
                return QStringLiteral("delayMs must be an integer from 0 to 600000");
            next.m_delayMs = static_cast<int>(v.toInteger());
        } else if (key == QStringLiteral("delayPath")) {
            if (!v.isString())
                return QStringLiteral("delayPath must be a string");
            next.m_delayPath = v.toString();
        } else if (key == QStringLiteral("refuseGzip") || key == QStringLiteral("gzipAnswers") ||
                   key == QStringLiteral("realtimeBinary") || key == QStringLiteral("dropRealtime")) {
            if (!v.isBool())
                return QStringLiteral("%1 must be a boolean").arg(key);
            if (key == QStringLiteral("refuseGzip"))
                next.m_refuseGzip = v.toBool();
            else if (key == QStringLiteral("gzipAnswers"))
                next.m_gzipAnswers = v.toBool();
            else if (key == QStringLiteral("realtimeBinary"))
                next.m_realtimeBinary = v.toBool();
            else
                nextActions.dropRealtime = v.toBool();
        } else if (key == QStringLiteral("rejectIds")) {
            if (!v.isArray())
                return QStringLiteral("rejectIds must be a list of ids");
            next.m_rejectIds.clear();
            for (const QJsonValue &id : v.toArray()) {
                if (!id.isString())
                    return QStringLiteral("rejectIds must be a list of ids");
                next.m_rejectIds.insert(id.toString().toLower());
            }
        } else if (key == QStringLiteral("expireTokensOf")) {
            if (!v.isString() || v.toString().isEmpty())
                return QStringLiteral("expireTokensOf must be an e-mail address or sub");
            nextActions.expireTokensOf = v.toString();
        } else if (key == QStringLiteral("socketToken")) {
            const QString mode = v.toString();
            if (mode == QStringLiteral("normal"))
                next.m_socketToken = SocketTokenMode::Normal;
            else if (mode == QStringLiteral("noTopic"))
                next.m_socketToken = SocketTokenMode::NoTopic;
            else if (mode == QStringLiteral("none"))
                next.m_socketToken = SocketTokenMode::None;
            else
                return QStringLiteral("socketToken must be \"normal\", \"noTopic\" or \"none\"");
        } else if (key == QStringLiteral("realtimeTokenTtlSec")) {
            if (!isInteger(v))
                return QStringLiteral("realtimeTokenTtlSec must be an integer (negative: already expired)");
            next.m_realtimeTokenTtlSec = v.toInteger();
        } else if (key == QStringLiteral("signInError") || key == QStringLiteral("realtimeJoinError")) {
            if (!v.isString())
                return QStringLiteral("%1 must be a string (empty: off)").arg(key);
            (key == QStringLiteral("signInError") ? next.m_signInError : next.m_realtimeJoinError) = v.toString();
        } else {
            return QStringLiteral("unknown fault knob \"%1\"").arg(key);
        }
    }
    *this = next;
    *actions = nextActions;
    return std::nullopt;
}

QJsonObject FaultKnobs::toJson() const
{
    QJsonArray rules;
    for (const FailRule &r : m_failRules) {
        rules.append(QJsonObject{{QStringLiteral("path"), r.path},
                                 {QStringLiteral("method"), r.method},
                                 {QStringLiteral("remaining"), r.remaining},
                                 {QStringLiteral("status"), r.status}});
    }
    QJsonArray reject;
    for (const QString &id : m_rejectIds)
        reject.append(id);
    return QJsonObject{{QStringLiteral("failNext"), rules},
                       {QStringLiteral("delayMs"), m_delayMs},
                       {QStringLiteral("delayPath"), m_delayPath},
                       {QStringLiteral("refuseGzip"), m_refuseGzip},
                       {QStringLiteral("gzipAnswers"), m_gzipAnswers},
                       {QStringLiteral("rejectIds"), reject},
                       {QStringLiteral("socketToken"), socketTokenText(m_socketToken)},
                       {QStringLiteral("realtimeTokenTtlSec"), m_realtimeTokenTtlSec},
                       {QStringLiteral("signInError"), m_signInError},
                       {QStringLiteral("realtimeJoinError"), m_realtimeJoinError},
                       {QStringLiteral("realtimeBinary"), m_realtimeBinary}};
}

bool FaultKnobs::pathMatches(const QString &pattern, const QString &path)
{
    if (pattern == QStringLiteral("*"))
        return true;
    if (pattern.endsWith(QLatin1Char('*')))
        return path.startsWith(QStringView(pattern).chopped(1));
    return pattern == path;
}

std::optional<FailRule> FaultKnobs::takeFailure(const QString &method, const QString &path)
{
    for (qsizetype i = 0; i < m_failRules.size(); ++i) {
        FailRule &rule = m_failRules[i];
        if (!pathMatches(rule.path, path) || (!rule.method.isEmpty() && rule.method != method))
            continue;
        FailRule taken = rule;
        if (--rule.remaining <= 0)
            m_failRules.removeAt(i);
        return taken;
    }
    return std::nullopt;
}

int FaultKnobs::delayFor(const QString &path) const
{
    if (m_delayMs <= 0 || (!m_delayPath.isEmpty() && !pathMatches(m_delayPath, path)))
        return 0;
    return m_delayMs;
}
