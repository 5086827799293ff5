#include "x11_text.h"

#include <QByteArray>
#include <cerrno>
#include <iconv.h>

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

// Converts bytes in a named iconv encoding; bytes it cannot convert become U+FFFD, an unknown encoding makes the
// whole run U+FFFD.
QString convert(const char *encoding, QByteArrayView bytes)
{
    if (bytes.isEmpty())
        return {};
    iconv_t cd = iconv_open("UTF-8", encoding);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString(1, kReplacement);
    QByteArray in = bytes.toByteArray();
    QByteArray out;
    char *inPtr = in.data();
    size_t inLeft = static_cast<size_t>(in.size());
    char buffer[1024];
    while (inLeft > 0) {
        char *outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<qsizetype>(sizeof buffer - outLeft));
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            // An invalid or truncated sequence: mark it and go on with the next byte.
            out.append("\xEF\xBF\xBD");
            ++inPtr;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

// Final bytes of the 96-character sets (ESC - F) that X writes in compound text.
const char *iso8859ForFinal(char final)
{
    switch (final) {
    case 'A': return "ISO-8859-1";
    case 'B': return "ISO-8859-2";
    case 'C': return "ISO-8859-3";
    case 'D': return "ISO-8859-4";
    case 'F': return "ISO-8859-7";
    case 'G': return "ISO-8859-6";
    case 'H': return "ISO-8859-8";
    case 'L': return "ISO-8859-5";
    case 'M': return "ISO-8859-9";
    case 'T': return "TIS-620";
    case 'V': return "ISO-8859-10";
    case 'Y': return "ISO-8859-13";
    case '_': return "ISO-8859-14";
    case 'b': return "ISO-8859-15";
    case 'f': return "ISO-8859-16";
    default: return nullptr;
    }
}

// The 94x94 sets (ESC $ ( F / ESC $ ) F), decoded through the EUC encoding that carries them in GR.
const char *eucForFinal(char final)
{
    switch (final) {
    case 'A': return "EUC-CN";
    case 'B': return "EUC-JP";
    case 'C': return "EUC-KR";
    default: return nullptr;
    }
}

// Names X uses in extended segments, mapped to iconv's names.
QByteArray iconvNameForXName(QByteArray name)
{
    name = name.toLower();
    if (name.startsWith("iso8859-"))
        return "ISO-8859-" + name.mid(8);
    if (name == "big5-0")
        return "BIG5";
    if (name == "gbk-0")
        return "GBK";
    if (name == "gb18030-0" || name == "gb18030-1")
        return "GB18030";
    if (name == "koi8-r" || name == "koi8-u")
        return name.toUpper();
    if (name == "iso10646-1" || name == "utf-8")
        return "UTF-8";
    return name.toUpper();
}

enum class SetKind { Ascii, Single96, Double94, Unknown };

struct GraphicSet
{
    SetKind kind = SetKind::Ascii;
    const char *encoding = nullptr;   // iconv name for Single96 and Double94
};

class CompoundTextDecoder
{
public:
    explicit CompoundTextDecoder(QByteArrayView bytes) : m_bytes(bytes) {}

    QString run()
    {
        m_gr = {SetKind::Single96, "ISO-8859-1"};
        while (m_pos < m_bytes.size()) {
            const auto c = static_cast<unsigned char>(m_bytes[m_pos]);
            if (c == 0x1B) {
                flush();
                escape();
            } else if (c == 0x9B) {
                flush();
                skipControlSequence();
            } else {
                take(c);
                ++m_pos;
            }
        }
        flush();
        return m_out;
    }

private:
    [[nodiscard]] char at(qsizetype i) const { return i < m_bytes.size() ? m_bytes[i] : '\0'; }

    // Bytes are gathered in runs of one graphic set and converted together.
    void take(unsigned char c)
    {
        const bool right = c >= 0x80;
        if ((c & 0x7F) < 0x20 || c == 0x7F) {
            flush();
            if (c == '\t' || c == '\n')
                m_out += QChar(static_cast<char16_t>(c));
            return;
        }
        const GraphicSet &set = right ? m_gr : m_gl;
        if (m_runActive && m_runRight != right)
            flush();
        m_runActive = true;
        m_runRight = right;
        m_runSet = set;
        // The double-byte sets travel in GL as 7-bit pairs; their EUC form wants the high bit set.
        m_run.append(static_cast<char>(set.kind == SetKind::Double94 ? (c | 0x80) : c));
    }

    void flush()
    {
        if (!m_runActive)
            return;
        switch (m_runSet.kind) {
        case SetKind::Ascii:
            m_out += QString::fromLatin1(m_run.constData(), m_run.size());
            break;
        case SetKind::Single96:
        case SetKind::Double94:
            m_out += convert(m_runSet.encoding, m_run);
            break;
        case SetKind::Unknown:
            m_out += QString(m_run.size(), kReplacement);
            break;
        }
        m_run.clear();
        m_runActive = false;
    }

    void escape()
    {
        const char a = at(m_pos + 1);
        const char b = at(m_pos + 2);
        const char c = at(m_pos + 3);
        if (a == '(' && b) {   // 94-set into GL
            m_gl = (b == 'B' || b == 'J') ? GraphicSet{SetKind::Ascii, nullptr} : GraphicSet{SetKind::Unknown, nullptr};
            m_pos += 3;
        } else if (a == ')' && b) {   // 94-set into GR
            m_gr = GraphicSet{b == 'B' ? SetKind::Ascii : SetKind::Unknown, nullptr};
            m_pos += 3;
        } else if (a == '-' && b) {   // 96-set into GR
            const char *enc = iso8859ForFinal(b);
            m_gr = enc ? GraphicSet{SetKind::Single96, enc} : GraphicSet{SetKind::Unknown, nullptr};
            m_pos += 3;
        } else if (a == '$' && (b == '(' || b == ')') && c) {
            const char *enc = eucForFinal(c);
            const GraphicSet set = enc ? GraphicSet{SetKind::Double94, enc} : GraphicSet{SetKind::Unknown, nullptr};
            (b == '(' ? m_gl : m_gr) = set;
            m_pos += 4;
        } else if (a == '$' && (b == 'A' || b == 'B' || b == 'C')) {   // the old short form, into GL
            m_gl = GraphicSet{SetKind::Double94, eucForFinal(b)};
            m_pos += 3;
        } else if (a == '%' && b == 'G') {
            utf8Segment();
        } else if (a == '%' && b == '/' && c >= '0' && c <= '4') {
            extendedSegment();
        } else {
            m_pos += 1;   // not a sequence we know: drop the ESC, keep what follows as text
        }
    }

    void utf8Segment()
    {
        const qsizetype start = m_pos + 3;
        qsizetype end = start;
        while (end < m_bytes.size() && !(m_bytes[end] == '\x1B' && at(end + 1) == '%' && at(end + 2) == '@'))
            ++end;
        m_out += QString::fromUtf8(m_bytes.sliced(start, end - start));
        m_pos = end < m_bytes.size() ? end + 3 : end;
    }

    // ESC % / n M L name STX data: M and L give the length of name, STX and data (each byte minus 128).
    void extendedSegment()
    {
        const auto m = static_cast<unsigned char>(at(m_pos + 4));
        const auto l = static_cast<unsigned char>(at(m_pos + 5));
        if (m < 0x80 || l < 0x80 || m_pos + 6 > m_bytes.size()) {
            m_pos = m_bytes.size();
            return;
        }
        const qsizetype length = (m - 0x80) * 128 + (l - 0x80);
        const qsizetype start = m_pos + 6;
        const qsizetype end = std::min(start + length, m_bytes.size());
        const QByteArrayView segment = m_bytes.sliced(start, end - start);
        const qsizetype stx = segment.indexOf('\x02');
        if (stx >= 0) {
            const QByteArray name = iconvNameForXName(segment.first(stx).toByteArray());
            m_out += convert(name.constData(), segment.sliced(stx + 1));
        } else if (!segment.isEmpty()) {
            m_out += kReplacement;
        }
        m_pos = end;
    }

    // Direction controls (CSI 1 ] / CSI 2 ] / CSI ]) carry no text.
    void skipControlSequence()
    {
        ++m_pos;
        while (m_pos < m_bytes.size() && m_bytes[m_pos] != ']')
            ++m_pos;
        if (m_pos < m_bytes.size())
            ++m_pos;
    }

    QByteArrayView m_bytes;
    qsizetype m_pos = 0;
    GraphicSet m_gl;
    GraphicSet m_gr;
    QString m_out;
    QByteArray m_run;
    GraphicSet m_runSet;
    bool m_runActive = false;
    bool m_runRight = false;
};

} // namespace

QString X11Text::decode(Encoding encoding, QByteArrayView bytes)
{
    switch (encoding) {
    case Encoding::Utf8: return QString::fromUtf8(bytes);
    case Encoding::Latin1: return QString::fromLatin1(bytes);
    case Encoding::CompoundText: return decodeCompoundText(bytes);
    }
    return {};
}

QString X11Text::decodeCompoundText(QByteArrayView bytes) { return CompoundTextDecoder(bytes).run(); }

X11Text::WmClass X11Text::parseWmClass(QByteArrayView bytes)
{
    const qsizetype firstNul = bytes.indexOf('\0');
    if (firstNul < 0)
        return {QString::fromLatin1(bytes), {}};
    QByteArrayView rest = bytes.sliced(firstNul + 1);
    const qsizetype secondNul = rest.indexOf('\0');
    if (secondNul >= 0)
        rest = rest.first(secondNul);
    return {QString::fromLatin1(bytes.first(firstNul)), QString::fromLatin1(rest)};
}
