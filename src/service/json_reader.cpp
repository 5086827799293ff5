#include "json_reader.h"

#include <cmath>

JsonReader::JsonReader(const QJsonValue &value, QString context) : m_context(std::move(context))
{
    if (value.isObject())
        m_object = value.toObject();
    else
        fail(QStringLiteral("%1 is not a JSON object").arg(m_context));
}

void JsonReader::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
}

void JsonReader::wrongType(QLatin1StringView key, const char *expected)
{
    fail(QStringLiteral("%1: \"%2\" is not %3").arg(m_context, key, QLatin1String(expected)));
}

std::optional<QJsonValue> JsonReader::present(QLatin1StringView key)
{
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd() || it->isNull() || it->isUndefined())
        return std::nullopt;
    return *it;
}

std::optional<QJsonValue> JsonReader::required(QLatin1StringView key)
{
    auto value = present(key);
    if (!value && ok())
        fail(QStringLiteral("%1: required key \"%2\" is missing").arg(m_context, key));
    return value;
}

std::optional<qint64> JsonReader::integer(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    // Beyond 2^53 a double no longer names one integer.
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > 9007199254740992.0)
        return std::nullopt;
    return value.toInteger();
}

QString JsonReader::requiredString(QLatin1StringView key)
{
    const auto v = required(key);
    if (!v)
        return {};
    if (!v->isString()) {
        wrongType(key, "text");
        return {};
    }
    return v->toString();
}

std::optional<QString> JsonReader::optionalString(QLatin1StringView key)
{
    const auto v = present(key);
    if (!v)
        return std::nullopt;
    if (!v->isString()) {
        wrongType(key, "text");
        return std::nullopt;
    }
    return v->toString();
}

bool JsonReader::requiredBool(QLatin1StringView key)
{
    const auto v = required(key);
    if (!v)
        return false;
    if (!v->isBool()) {
        wrongType(key, "a boolean");
        return false;
    }
    return v->toBool();
}

std::optional<bool> JsonReader::optionalBool(QLatin1StringView key)
{
    const auto v = present(key);
    if (!v)
        return std::nullopt;
    if (!v->isBool()) {
        wrongType(key, "a boolean");
        return std::nullopt;
    }
    return v->toBool();
}

qint64 JsonReader::requiredInt(QLatin1StringView key)
{
    const auto v = required(key);
    if (!v)
        return 0;
    const auto n = integer(*v);
    if (!n) {
        wrongType(key, "an integer");
        return 0;
    }
    return *n;
}

std::optional<qint64> JsonReader::optionalInt(QLatin1StringView key)
{
    const auto v = present(key);
    if (!v)
        return std::nullopt;
    const auto n = integer(*v);
    if (!n)
        wrongType(key, "an integer");
    return n;
}

QJsonArray JsonReader::requiredArray(QLatin1StringView key)
{
    const auto v = required(key);
    if (!v)
        return {};
    if (!v->isArray()) {
        wrongType(key, "a list");
        return {};
    }
    return v->toArray();
}

std::optional<QStringList> JsonReader::optionalStringList(QLatin1StringView key)
{
    const auto v = present(key);
    if (!v)
        return std::nullopt;
    if (!v->isArray()) {
        wrongType(key, "a list");
        return std::nullopt;
    }
    QStringList out;
    for (const QJsonValue &item : v->toArray()) {
        if (!item.isString()) {
            wrongType(key, "a list of text");
            return std::nullopt;
        }
        out.append(item.toString());
    }
    return out;
}

QMap<QString, qint64> JsonReader::requiredIntMap(QLatin1StringView key)
{
    if (!required(key))
        return {};
    return optionalIntMap(key).value_or(QMap<QString, qint64>{});
}

std::optional<QMap<QString, qint64>> JsonReader::optionalIntMap(QLatin1StringView key)
{
    const auto v = present(key);
    if (!v)
        return std::nullopt;
    if (!v->isObject()) {
        wrongType(key, "a map");
        return std::nullopt;
    }
    QMap<QString, qint64> out;
    const QJsonObject map = v->toObject();
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const auto n = integer(it.value());
        if (!n) {
            wrongType(key, "a map of integers");
            return std::nullopt;
        }
        out.insert(it.key(), *n);
    }
    return out;
}
