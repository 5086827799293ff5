#include "title_redaction.h"

#include <QRegularExpression>
#include <array>

namespace {

struct Rule
{
    QRegularExpression pattern;
    QString replacement;
};

// Unicode properties so that \s also ends a URL at non-ASCII spaces (no-break space, ideographic space) that
// browsers put in titles; the explicit character classes are unaffected.
Rule rule(const char16_t *pattern, const char16_t *replacement)
{
    Rule r{QRegularExpression(QString::fromUtf16(pattern), QRegularExpression::UseUnicodePropertiesOption),
           QString::fromUtf16(replacement)};
    r.pattern.optimize();
    return r;
}

// The order matters: a URL holding an e-mail address or a token is masked whole before the later rules see it.
const std::array<Rule, 7> &rules()
{
    static const std::array<Rule, 7> table{
        rule(uR"(https?://[^\s]+)", u"[URL]"),
        rule(uR"([a-zA-Z0-9._%+-]+@[a-zA-Z0-9.-]+\.[a-zA-Z]{2,})", u"[EMAIL]"),
        rule(uR"(eyJ[A-Za-z0-9_-]{20,}\.[A-Za-z0-9_-]{20,}\.[A-Za-z0-9_-]{20,})", u"[REDACTED_JWT]"),
        rule(uR"(sk[-_][A-Za-z0-9_-]{20,})", u"[REDACTED_KEY]"),
        rule(uR"(/Users/[^/]+/)", u"/Users/[REDACTED]/"),
        // Home folders on this system live under /home, where the rule above would let the user name through.
        rule(uR"(/home/[^/]+/)", u"/home/[REDACTED]/"),
        rule(uR"([a-fA-F0-9]{40,})", u"[TOKEN]"),
    };
    return table;
}

} // namespace

QString redactSensitive(const QString &title)
{
    QString result = title;
    for (const Rule &r : rules())
        result.replace(r.pattern, r.replacement);
    return result;
}
