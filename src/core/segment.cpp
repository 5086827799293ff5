#include "segment.h"

#include "clock.h"
#include "config.h"

#include <QDateTime>
#include <QTimeZone>
#include <array>
#include <cstring>
#include <limits>

QString segmentTypeName(SegmentType type)
{
    return type == SegmentType::inactivity ? QStringLiteral("inactivity") : QStringLiteral("process");
}

std::optional<SegmentType> segmentTypeFromName(QStringView name)
{
    if (name == u"process")
        return SegmentType::process;
    if (name == u"inactivity")
        return SegmentType::inactivity;
    return std::nullopt;
}

namespace {

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

template <typename View>
std::optional<QUuid> parseUuidText(const View &text)
{
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < 36; ++i) {
        const char16_t c = text[i].unicode();
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? c != u'-' : !(c < 0x80 && isHex(static_cast<char>(c))))
            return std::nullopt;
    }
    // Assemble the 16 bytes straight from the checked digits (one pass, no second parse).
    std::array<uchar, 16> bytes{};
    int nibble = 0;
    for (qsizetype i = 0; i < 36; ++i) {
        const auto c = static_cast<char>(text[i].unicode());
        if (c == '-')
            continue;
        const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        bytes[static_cast<size_t>(nibble / 2)] |= static_cast<uchar>(nibble % 2 == 0 ? v << 4 : v);
        ++nibble;
    }
    return QUuid::fromRfc4122(QByteArrayView(reinterpret_cast<const char *>(bytes.data()), 16));
}

qint64 localDayStartMs(const QDate &date) { return date.startOfDay(QTimeZone::systemTimeZone()).toMSecsSinceEpoch(); }
QDate localDate(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::systemTimeZone()).date(); }

// --- Writing -------------------------------------------------------------------------------------------------

void appendEscaped(QByteArray &out, const QByteArray &utf8)
{
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    const char *p = utf8.constData();
    const char *end = p + utf8.size();
    const char *run = p;   // start of the pending run of bytes that need no escaping
    auto flush = [&](const char *upTo) {
        if (upTo > run)
            out.append(run, upTo - run);
    };
    for (; p < end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const char *escape = nullptr;
        char unicode[7] = {};
        if (c == '"')
            escape = "\\\"";
        else if (c == '\\')
            escape = "\\\\";
        else if (c == '/')
            escape = "\\/";
        else if (c < 0x20) {
            switch (c) {
            case '\b': escape = "\\b"; break;
            case '\f': escape = "\\f"; break;
            case '\n': escape = "\\n"; break;
            case '\r': escape = "\\r"; break;
            case '\t': escape = "\\t"; break;
            default:
                std::memcpy(unicode, "\\u00", 4);
                unicode[4] = hex[c >> 4];
                unicode[5] = hex[c & 0xF];
                escape = unicode;
            }
        } else if (c == 0xC2 && p + 1 < end && static_cast<unsigned char>(p[1]) == 0x85) {
            flush(p);
            out += "\\u0085";
            run = p + 2;
            ++p;
            continue;
        } else if (c == 0xE2 && p + 2 < end && static_cast<unsigned char>(p[1]) == 0x80
                   && (static_cast<unsigned char>(p[2]) == 0xA8 || static_cast<unsigned char>(p[2]) == 0xA9)) {
            flush(p);
            out += static_cast<unsigned char>(p[2]) == 0xA8 ? "\\u2028" : "\\u2029";
            run = p + 3;
            p += 2;
            continue;
        } else {
            continue;
        }
        flush(p);
        out += escape;
        run = p + 1;
    }
    flush(end);
    out += '"';
}

bool hasLoneSurrogate(const QString &s)
{
    const QChar *c = s.constData();
    const qsizetype n = s.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (c[i].isHighSurrogate()) {
            if (i + 1 >= n || !c[i + 1].isLowSurrogate())
                return true;
            ++i;
        } else if (c[i].isLowSurrogate()) {
            return true;
        }
    }
    return false;
}

// --- Reading ---------------------------------------------------------------------------------------------------

// Bytes that stand for themselves inside a JSON string (not a quotation mark, reverse solidus or control).
constexpr auto kPlainStringByte = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 256; ++c)
        plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

// Every record of a day file carries the same day key: reuse the last one's text instead of a new string each time.
QString sharedDayKey(QByteArrayView raw)
{
    thread_local QByteArray lastBytes;
    thread_local QString lastText;
    if (raw != lastBytes) {
        lastBytes = raw.toByteArray();
        lastText = QString::fromUtf8(raw);
    }
    return lastText;
}

// A strict reader for one history record over UTF-8 bytes. It accepts standard JSON only, validates every value
// it skips, and decodes the eight known keys by type; extra keys are ignored and a repeated key's last value wins.
class RecordReader
{
public:
    explicit RecordReader(QByteArrayView text) : p(text.data()), end(text.data() + text.size()) {}

    std::optional<Segment> read()
    {
        skipSpace();
        if (!consume('{'))
            return std::nullopt;
        std::optional<QUuid> id;
        std::optional<QString> date, appName, windowTitle;
        std::optional<SegmentType> kind;
        std::optional<qint64> startTime, endTime, syncedAt;
        skipSpace();
        if (!consume('}')) {
            for (;;) {
                skipSpace();
                const char *keyStart = p;
                bool keyEscaped = false;
                if (!scanString(&keyEscaped))
                    return std::nullopt;
                QByteArray decodedKey;
                QByteArrayView key(keyStart + 1, p - keyStart - 2);
                if (keyEscaped) {
                    std::optional<QString> k = decodeString(keyStart, p);
                    if (!k)
                        return std::nullopt;
                    decodedKey = k->toUtf8();
                    key = decodedKey;
                }
                skipSpace();
                if (!consume(':'))
                    return std::nullopt;
                skipSpace();
                bool ok = true;
                if (key == "id") {
                    const char *s = p;
                    bool escapedId = false;
                    if (scanString(&escapedId)) {
                        if (!escapedId) {
                            id = parseUuid(QByteArrayView(s + 1, p - s - 2));
                        } else if (auto text = decodeString(s, p)) {
                            id = parseUuid(QStringView(*text));
                        }
                    }
                    ok = id.has_value();
                } else if (key == "date") {
                    const char *s = p;
                    bool escapedDate = false;
                    ok = scanString(&escapedDate);
                    if (ok)
                        date = escapedDate ? decodeString(s, p) : sharedDayKey(QByteArrayView(s + 1, p - s - 2));
                    ok = ok && date.has_value();
                } else if (key == "appName") {
                    ok = (appName = readString()).has_value();
                } else if (key == "windowTitle") {
                    ok = (windowTitle = readString()).has_value();
                } else if (key == "type") {
                    const char *s = p;
                    bool escapedType = false;
                    ok = scanString(&escapedType);
                    if (ok && !escapedType) {
                        const QByteArrayView raw(s + 1, p - s - 2);
                        kind = raw == "process"      ? std::optional(SegmentType::process)
                             : raw == "inactivity" ? std::optional(SegmentType::inactivity)
                                                   : std::nullopt;
                    } else if (ok) {
                        const auto text = decodeString(s, p);
                        kind = text ? segmentTypeFromName(*text) : std::nullopt;
                    }
                    ok = ok && kind.has_value();
                } else if (key == "startTime") {
                    ok = (startTime = readInt()).has_value();
                } else if (key == "endTime") {
                    ok = (endTime = readInt()).has_value();
                } else if (key == "syncedAt") {
                    if (literal("null"))
                        syncedAt.reset();
                    else
                        ok = (syncedAt = readInt()).has_value();
                } else {
                    ok = skipValue(0);
                }
                if (!ok)
                    return std::nullopt;
                skipSpace();
                if (consume(','))
                    continue;
                if (consume('}'))
                    break;
                return std::nullopt;
            }
        }
        skipSpace();
        if (p != end || !id || !date || !appName || !windowTitle || !kind || !startTime || !endTime)
            return std::nullopt;
        return Segment{*id, *date, *appName, *windowTitle, *startTime, *endTime, *kind, syncedAt};
    }

private:
    static constexpr int kMaxDepth = 512;
    const char *p;
    const char *end;

    void skipSpace()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }
    bool consume(char c)
    {
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    bool literal(const char *word)
    {
        const size_t n = std::strlen(word);
        if (static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) {
            p += n;
            return true;
        }
        return false;
    }

    // Moves past one string (p at its opening quote); tells whether it holds escapes. Raw control characters and
    // malformed escapes fail; the bytes are already known to be valid UTF-8.
    bool scanString(bool *escaped)
    {
        if (!consume('"'))
            return false;
        *escaped = false;
        while (p < end) {
            // Most bytes need no look: skip them in one tight loop.
            while (p < end && kPlainStringByte[static_cast<unsigned char>(*p)])
                ++p;
            if (p >= end)
                return false;
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20)
                return false;
            // A reverse solidus.
            *escaped = true;
            if (++p >= end)
                return false;
            if (*p == 'u') {
                if (end - p < 5 || !isHex(p[1]) || !isHex(p[2]) || !isHex(p[3]) || !isHex(p[4]))
                    return false;
                p += 5;
                continue;
            }
            if (!std::strchr("\"\\/bfnrt", *p) || *p == '\0')
                return false;
            ++p;
        }
        return false;
    }

    static char16_t hex4(const char *h)
    {
        char16_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = h[i];
            v = static_cast<char16_t>(v * 16 + (c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10));
        }
        return v;
    }

    // Decodes a scanned string [from, to) including its quotes.
    static std::optional<QString> decodeString(const char *from, const char *to)
    {
        QString out;
        out.reserve(to - from);
        const char *q = from + 1;
        const char *stop = to - 1;
        const char *run = q;
        while (q < stop) {
            if (*q != '\\') {
                ++q;
                continue;
            }
            out += QString::fromUtf8(run, q - run);
            ++q;
            switch (*q) {
            case 'b': out += QChar(u'\b'); break;
            case 'f': out += QChar(u'\f'); break;
            case 'n': out += QChar(u'\n'); break;
            case 'r': out += QChar(u'\r'); break;
            case 't': out += QChar(u'\t'); break;
            case 'u': {
                const char16_t unit = hex4(q + 1);
                q += 4;
                if (QChar::isHighSurrogate(unit)) {
                    if (stop - q < 7 || q[1] != '\\' || q[2] != 'u')
                        return std::nullopt;
                    const char16_t low = hex4(q + 3);
                    if (!QChar::isLowSurrogate(low))
                        return std::nullopt;
                    out += QChar(unit);
                    out += QChar(low);
                    q += 6;
                } else if (QChar::isLowSurrogate(unit)) {
                    return std::nullopt;
                } else {
                    out += QChar(unit);
                }
                break;
            }
            default: out += QLatin1Char(*q); break;   // " \ /
            }
            run = ++q;
        }
        out += QString::fromUtf8(run, stop - run);
        return out;
    }

    std::optional<QString> readString()
    {
        const char *start = p;
        bool escaped = false;
        if (!scanString(&escaped))
            return std::nullopt;
        if (!escaped)
            return QString::fromUtf8(start + 1, p - start - 2);
        return decodeString(start, p);
    }

    // An integer literal without fraction or exponent, within 64 bits.
    std::optional<qint64> readInt()
    {
        const bool negative = consume('-');
        if (p >= end || *p < '0' || *p > '9')
            return std::nullopt;
        if (*p == '0' && p + 1 < end && p[1] >= '0' && p[1] <= '9')
            return std::nullopt;
        quint64 magnitude = 0;
        const quint64 limit = negative ? quint64(std::numeric_limits<qint64>::max()) + 1
                                       : quint64(std::numeric_limits<qint64>::max());
        while (p < end && *p >= '0' && *p <= '9') {
            const auto digit = static_cast<quint64>(*p - '0');
            if (magnitude > (limit - digit) / 10)
                return std::nullopt;
            magnitude = magnitude * 10 + digit;
            ++p;
        }
        if (p < end && (*p == '.' || *p == 'e' || *p == 'E'))
            return std::nullopt;
        if (negative)
            return magnitude == quint64(std::numeric_limits<qint64>::max()) + 1 ? std::numeric_limits<qint64>::min()
                                                                                : -static_cast<qint64>(magnitude);
        return static_cast<qint64>(magnitude);
    }

    bool skipNumber()
    {
        consume('-');
        if (p >= end || *p < '0' || *p > '9')
            return false;
        if (*p == '0')
            ++p;
        else
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        if (consume('.')) {
            if (p >= end || *p < '0' || *p > '9')
                return false;
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= end || *p < '0' || *p > '9')
                return false;
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        return true;
    }

    bool skipValue(int depth)
    {
        if (depth > kMaxDepth || p >= end)
            return false;
        switch (*p) {
        case '"': {
            const char *start = p;
            bool escaped = false;
            if (!scanString(&escaped))
                return false;
            return !escaped || decodeString(start, p).has_value();   // lone surrogates make the text invalid
        }
        case '{':
        case '[': {
            const char close = *p == '{' ? '}' : ']';
            const bool isObject = *p == '{';
            ++p;
            skipSpace();
            if (consume(close))
                return true;
            for (;;) {
                skipSpace();
                if (isObject) {
                    bool escaped = false;
                    const char *start = p;
                    if (!scanString(&escaped) || (escaped && !decodeString(start, p)))
                        return false;
                    skipSpace();
                    if (!consume(':'))
                        return false;
                    skipSpace();
                }
                if (!skipValue(depth + 1))
                    return false;
                skipSpace();
                if (consume(','))
                    continue;
                return consume(close);
            }
        }
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return skipNumber();
        }
    }
};

// Unicode white space, as allowed between welded objects.
bool isUnicodeSpace(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the code point at p (valid UTF-8 assumed) and advances p past it.
char32_t nextCodePoint(const char *&p, const char *end)
{
    const auto b0 = static_cast<unsigned char>(*p++);
    if (b0 < 0x80)
        return b0;
    const int extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
    char32_t cp = b0 & (0x3F >> extra);
    for (int i = 0; i < extra && p < end; ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(*p++) & 0x3F);
    return cp;
}

// Splits a line into the texts of the objects written back to back on it; nullopt when anything but white space
// stands between, before or after them, or an object is left open. Braces inside strings do not count.
std::optional<QList<QByteArrayView>> topLevelJSONObjects(QByteArrayView text)
{
    QList<QByteArrayView> objects;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    const char *objectStart = nullptr;
    const char *p = text.data();
    const char *end = p + text.size();
    while (p < end) {
        const char c = *p;
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            ++p;
            continue;
        }
        if (c == '"') {
            if (depth <= 0)
                return std::nullopt;
            inString = true;
        } else if (c == '{') {
            if (depth == 0)
                objectStart = p;
            ++depth;
        } else if (c == '}') {
            if (depth <= 0)
                return std::nullopt;
            if (depth == 1) {
                objects.append(QByteArrayView(objectStart, p + 1 - objectStart));
                objectStart = nullptr;
                depth = 0;
            } else {
                --depth;
            }
        } else if (depth == 0) {
            if (!isUnicodeSpace(nextCodePoint(p, end)))
                return std::nullopt;
            continue;
        }
        ++p;
    }
    if (depth != 0 || objectStart)
        return std::nullopt;
    return objects;
}

} // namespace

QString uuidString(const QUuid &id) { return id.toString(QUuid::WithoutBraces).toUpper(); }
std::optional<QUuid> parseUuid(QStringView text) { return parseUuidText(text); }
std::optional<QUuid> parseUuid(QByteArrayView text) { return parseUuidText(QLatin1StringView(text)); }

QString Segment::idString() const { return uuidString(id); }

qint64 Segment::liveDurationSeconds(const std::optional<QUuid> &currentOpenId) const
{
    if (isLiveOpen(currentOpenId))
        return (Clock::nowMs() - startTime) / 1000;
    return durationSeconds();
}

QString Segment::formattedTimeRange() const
{
    const auto hhmm = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::systemTimeZone()).toString(QStringLiteral("HH:mm"));
    };
    return hhmm(startTime) + QStringLiteral(" \u2192 ") + hhmm(endTime);
}

Segment Segment::create(const QString &appName, const QString &windowTitle, SegmentType type)
{
    const qint64 now = Clock::nowMs();
    return Segment{QUuid::createUuid(), Config::todayString(), appName, windowTitle, now, now, type, std::nullopt};
}

void Segment::close() { endTime = Clock::nowMs(); }
void Segment::markSynced() { syncedAt = Clock::nowMs(); }

bool Segment::crossesMidnight() const { return localDate(startTime) != localDate(endTime); }

QList<Segment> Segment::splitAtMidnight() const
{
    if (!crossesMidnight())
        return {*this};
    if (startTime >= endTime)
        return {};
    QList<Segment> pieces;
    qint64 cursor = startTime;
    for (;;) {
        const QDate day = localDate(cursor);
        const qint64 boundary = localDayStartMs(day.addDays(1));
        const qint64 pieceEnd = std::min(endTime, boundary);
        if (cursor < pieceEnd)
            pieces.append(Segment{QUuid::createUuid(), Config::dayKeyForMs(cursor), appName, windowTitle, cursor,
                                  pieceEnd, type, std::nullopt});
        if (boundary >= endTime)
            break;
        cursor = boundary;
    }
    return pieces;
}

QString Segment::formatDuration(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1s").arg(seconds % 60);
    if (seconds < 3600)
        return QStringLiteral("%1m %2s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1h %2m %3s").arg(seconds / 3600).arg((seconds % 3600) / 60).arg(seconds % 60);
}

std::optional<QByteArray> Segment::toJSONLine() const
{
    if (hasLoneSurrogate(date) || hasLoneSurrogate(appName) || hasLoneSurrogate(windowTitle))
        return std::nullopt;
    QByteArray out;
    out.reserve(160 + appName.size() * 3 + windowTitle.size() * 3);
    out += "{\"id\":\"";
    out += uuidString(id).toLatin1();
    out += "\",\"date\":";
    appendEscaped(out, date.toUtf8());
    out += ",\"appName\":";
    appendEscaped(out, appName.toUtf8());
    out += ",\"windowTitle\":";
    appendEscaped(out, windowTitle.toUtf8());
    out += ",\"startTime\":";
    out += QByteArray::number(startTime);
    out += ",\"endTime\":";
    out += QByteArray::number(endTime);
    out += ",\"type\":\"";
    out += type == SegmentType::inactivity ? "inactivity" : "process";
    out += '"';
    if (syncedAt) {
        out += ",\"syncedAt\":";
        out += QByteArray::number(*syncedAt);
    }
    out += '}';
    return out;
}

std::optional<Segment> Segment::fromJSONLine(QByteArrayView utf8)
{
    if (!utf8.isValidUtf8())
        return std::nullopt;
    return RecordReader(utf8).read();
}

std::optional<Segment::DecodedObjects> Segment::decodableObjects(QByteArrayView line)
{
    if (!line.isValidUtf8())
        return std::nullopt;
    return decodableObjectsOfValidUtf8(line);
}

std::optional<Segment::DecodedObjects> Segment::decodableObjectsOfValidUtf8(QByteArrayView line)
{
    if (auto whole = RecordReader(line).read()) {
        DecodedObjects single;
        single.append({line, std::move(*whole)});
        return single;
    }
    const auto objects = topLevelJSONObjects(line);
    if (!objects)
        return std::nullopt;
    DecodedObjects decoded;
    decoded.reserve(objects->size());
    for (QByteArrayView text : *objects) {
        auto segment = RecordReader(text).read();
        if (!segment)
            return std::nullopt;
        decoded.append({text, std::move(*segment)});
    }
    return decoded;
}
