// Locations that are not complete URLs never reach a handler, which could take them for file names or options.
#include "xdg_url_opener.h"

#include <QTest>

class TestXdgUrlOpener : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void refusesIncompleteUrls_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addRow("empty") << QUrl();
        QTest::addRow("relative path") << QUrl(QStringLiteral("settings/privacy"));
        QTest::addRow("looks like an option") << QUrl(QStringLiteral("--help"));
        QTest::addRow("invalid") << QUrl(QStringLiteral("http://exa mple.org"), QUrl::StrictMode);
    }
    void refusesIncompleteUrls()
    {
        QFETCH(QUrl, url);
        XdgUrlOpener opener;
        QVERIFY(!opener.open(url));
    }
};

QTEST_GUILESS_MAIN(TestXdgUrlOpener)
#include "tst_xdg_url_opener.moc"
