#include "title_redaction.h"

#include <QTest>

class TitleRedactionTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void masks_data();
    void masks();
    void sameTitleAfterMasking();
};

void TitleRedactionTest::masks_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("expected");
    const QString hex39 = QString(39, QLatin1Char('a'));
    const QString hex40 = QStringLiteral("0123456789abcdefABCDEF0123456789abcdef01");
    const QString jwt = QStringLiteral("eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiIxMjM0NTY3ODkwIn0xx."
                                       "SflKxwRJSMeKKF2QT4fwpMeJf36POk6yJV_adQssw5c");

    QTest::addRow("plain title stays") << QStringLiteral("main.cpp — Editor") << QStringLiteral("main.cpp — Editor");
    QTest::addRow("url up to white space")
        << QStringLiteral("Docs https://example.org/a?b=c#d - Browser") << QStringLiteral("Docs [URL] - Browser");
    QTest::addRow("http too, several urls")
        << QStringLiteral("http://a.b x https://c.d") << QStringLiteral("[URL] x [URL]");
    QTest::addRow("url ends at a no-break space")
        << QStringLiteral("https://example.org/x\u00a0Tab") << QStringLiteral("[URL]\u00a0Tab");
    QTest::addRow("scheme is case-sensitive")
        << QStringLiteral("HTTPS://example.org") << QStringLiteral("HTTPS://example.org");
    QTest::addRow("email, rest kept")
        << QStringLiteral("Inbox - jane.doe+work@mail.example.com - Mail") << QStringLiteral("Inbox - [EMAIL] - Mail");
    QTest::addRow("email inside url is the url")
        << QStringLiteral("https://x.org/?to=jane@example.com done") << QStringLiteral("[URL] done");
    QTest::addRow("home folder inside url is the url")
        << QStringLiteral("https://x.org/Users/jane/ /Users/bob/notes.txt")
        << QStringLiteral("[URL] /Users/[REDACTED]/notes.txt");
    QTest::addRow("jwt") << (QStringLiteral("token ") + jwt) << QStringLiteral("token [REDACTED_JWT]");
    QTest::addRow("jwt with a short part stays")
        << QStringLiteral("eyJabc.defghijklmnopqrstuvwxyz.abcdefghijklmnopqrstu")
        << QStringLiteral("eyJabc.defghijklmnopqrstuvwxyz.abcdefghijklmnopqrstu");
    QTest::addRow("sk- key")
        << QStringLiteral("key sk-abcdefghijklmnopqrst end") << QStringLiteral("key [REDACTED_KEY] end");
    QTest::addRow("sk_ key unanchored, prefix kept")
        << QStringLiteral("mask_abcdefghij_klmnopqrstu") << QStringLiteral("ma[REDACTED_KEY]");
    QTest::addRow("sk- with 19 stays")
        << QStringLiteral("sk-abcdefghijklmnopqrs") << QStringLiteral("sk-abcdefghijklmnopqrs");
    QTest::addRow("key beats hex") << (QStringLiteral("sk-") + hex40) << QStringLiteral("[REDACTED_KEY]");
    QTest::addRow("users folder") << QStringLiteral("/Users/jane/Projects/a.txt")
                                  << QStringLiteral("/Users/[REDACTED]/Projects/a.txt");
    QTest::addRow("home folder") << QStringLiteral("~ /home/jane/src/kelvora - Terminal")
                                 << QStringLiteral("~ /home/[REDACTED]/src/kelvora - Terminal");
    QTest::addRow("home without trailing slash stays") << QStringLiteral("/home/jane") << QStringLiteral("/home/jane");
    QTest::addRow("39 hex stays") << (QStringLiteral("commit ") + hex39) << (QStringLiteral("commit ") + hex39);
    QTest::addRow("40 hex masked") << (QStringLiteral("commit ") + hex40) << QStringLiteral("commit [TOKEN]");
    QTest::addRow("longer hex run is one token") << (hex40 + hex40) << QStringLiteral("[TOKEN]");
    QTest::addRow("everything at once")
        << QStringLiteral("a@b.io /home/u/ sk-aaaaaaaaaaaaaaaaaaaa ") + hex40
        << QStringLiteral("[EMAIL] /home/[REDACTED]/ [REDACTED_KEY] [TOKEN]");
}

void TitleRedactionTest::masks()
{
    QFETCH(QString, title);
    QFETCH(QString, expected);
    QCOMPARE(redactSensitive(title), expected);
}

void TitleRedactionTest::sameTitleAfterMasking()
{
    // Two titles differing only in a masked part count as the same window.
    QCOMPARE(redactSensitive(QStringLiteral("Reading https://a.org/1 - Browser")),
             redactSensitive(QStringLiteral("Reading https://b.org/2 - Browser")));
    QCOMPARE(redactSensitive(QStringLiteral("To: a@x.org")), redactSensitive(QStringLiteral("To: b@y.com")));
}

QTEST_GUILESS_MAIN(TitleRedactionTest)
#include "tst_title_redaction.moc"
