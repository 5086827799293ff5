#pragma once
// JsonReader: strict reading of a server answer's JSON object. A required key that is missing or null, or any key
// present with the wrong type, fails the record; the first failure is kept for the "Decode error" diagnostic.
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

class JsonReader
{
public:
    // context names the record in error texts ("LogSegmentsV2Response", "segments[3]").
    JsonReader(const QJsonValue &value, QString context);

    [[nodiscard]] bool ok() const { return m_error.isEmpty(); }
    [[nodiscard]] const QString &error() const { return m_error; }

    [[nodiscard]] QString requiredString(QLatin1StringView key);
    [[nodiscard]] std::optional<QString> optionalString(QLatin1StringView key);
    [[nodiscard]] bool requiredBool(QLatin1StringView key);
    [[nodiscard]] std::optional<bool> optionalBool(QLatin1StringView key);
    [[nodiscard]] qint64 requiredInt(QLatin1StringView key);
    [[nodiscard]] std::optional<qint64> optionalInt(QLatin1StringView key);
    [[nodiscard]] QJsonArray requiredArray(QLatin1StringView key);
    [[nodiscard]] std::optional<QStringList> optionalStringList(QLatin1StringView key);
    [[nodiscard]] QMap<QString, qint64> requiredIntMap(QLatin1StringView key);
    [[nodiscard]] std::optional<QMap<QString, qint64>> optionalIntMap(QLatin1StringView key);

    // Records a failure found by the caller (a nested record), keeping the first one.
    void fail(const QString &message);

    // A whole JSON number, exactly representable: 3 and 3.0 pass, 3.5 and 1e300 do not.
    [[nodiscard]] static std::optional<qint64> integer(const QJsonValue &value);

private:
    [[nodiscard]] std::optional<QJsonValue> present(QLatin1StringView key);   // nullopt when missing or null
    [[nodiscard]] std::optional<QJsonValue> required(QLatin1StringView key);
    void wrongType(QLatin1StringView key, const char *expected);

    QJsonObject m_object;
    QString m_context;
    QString m_error;
};
