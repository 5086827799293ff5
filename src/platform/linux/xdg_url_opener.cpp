#include "xdg_url_opener.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>

bool XdgUrlOpener::open(const QUrl &url)
{
    // Only complete URLs with a scheme: anything else could be read by the handler as a file name or an option.
    if (!url.isValid() || url.scheme().isEmpty() || url.isRelative())
        return false;
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QDesktopServices::openUrl(url);
    return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString(QUrl::FullyEncoded)});
}
