#include "web_pages.h"

namespace {

QString page(const QString &title, const QString &content)
{
    return QStringLiteral("<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                          "<meta name=\"viewport\" content=\"width=device-width\"><title>%1</title>"
                          "<style>body{font-family:sans-serif;max-width:28em;margin:4em auto;padding:0 1em}"
                          "input,button{font-size:1em;padding:.4em}.note{color:#666;font-size:.9em}"
                          ".error{color:#b00}</style></head><body>%2"
                          "<p class=\"note\">Kelvora development stand-in: not the Kelvora service. "
                          "Data stays on this machine.</p></body></html>\n")
        .arg(title.toHtmlEscaped(), content);
}

} // namespace

QString WebPages::signInForm(const QString &nonce, const QString &redirect, const QString &error)
{
    const QString problem =
        error.isEmpty() ? QString() : QStringLiteral("<p class=\"error\">%1</p>").arg(error.toHtmlEscaped());
    return page(QStringLiteral("Sign in to Kelvora"),
                QStringLiteral("<h1>Sign in to Kelvora</h1>%1"
                               "<form method=\"post\" action=\"/desktop-auth\">"
                               "<p><label>E-mail <input type=\"email\" name=\"email\" required autofocus></label></p>"
                               "<input type=\"hidden\" name=\"nonce\" value=\"%2\">"
                               "<input type=\"hidden\" name=\"redirect\" value=\"%3\">"
                               "<p><button type=\"submit\">Sign in</button></p></form>"
                               "<form method=\"post\" action=\"/desktop-auth\">"
                               "<input type=\"hidden\" name=\"action\" value=\"logout\">"
                               "<input type=\"hidden\" name=\"nonce\" value=\"%2\">"
                               "<input type=\"hidden\" name=\"redirect\" value=\"%3\">"
                               "<p><button type=\"submit\">Sign the desktop app out</button></p></form>")
                    .arg(problem, nonce.toHtmlEscaped(), redirect.toHtmlEscaped()));
}

QString WebPages::placeholder(const QString &title, const QString &text)
{
    return page(title, QStringLiteral("<h1>%1</h1><p>%2</p>").arg(title.toHtmlEscaped(), text.toHtmlEscaped()));
}
