// Decoding window titles and WM_CLASS as other X clients write them, including malformed bytes.
#include "x11_text.h"

#include <QTest>

class TestX11Text : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void compoundText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addRow("plain ASCII") << QByteArray("Report.txt") << QStringLiteral("Report.txt");
        QTest::addRow("GR defaults to Latin-1") << QByteArray("caf\xe9") << QStringLiteral("café");
        QTest::addRow("ISO 8859-2 in GR") << QByteArray("\x1b-B\xa3\xf3\x64\xbc") << QStringLiteral("Łódź");
        QTest::addRow("ISO 8859-5 then back to Latin-1")
            << QByteArray("\x1b-L\xbf\xe0\xd8\xd2\xd5\xe2 \x1b-A\xe9") << QStringLiteral("Привет é");
        QTest::addRow("UTF-8 segment") << QByteArray("a \x1b%G\xe2\x9c\x93\x1b%@ b") << QStringLiteral("a ✓ b");
        QTest::addRow("UTF-8 segment without its end")
            << QByteArray("\x1b%G\xc3\xa9t\xc3\xa9") << QStringLiteral("été");
        QTest::addRow("JIS X 0208 in GL") << QByteArray("\x1b$(BF|K\\\x1b(B!") << QStringLiteral("日本!");
        QTest::addRow("extended segment naming its encoding")
            << QByteArray("\x1b%/1\x80\x8ciso8859-15\x02\xa4") << QStringLiteral("€");
        QTest::addRow("tab and newline kept, other controls dropped")
            << QByteArray("a\tb\nc\x07" "d") << QStringLiteral("a\tb\ncd");
        QTest::addRow("direction controls carry no text") << QByteArray("x\x9b" "2]y\x9b]") << QStringLiteral("xy");
    }
    void compoundText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(X11Text::decodeCompoundText(bytes), text);
    }

    // Hostile or cut-off input must decode to something without reading past the end.
    void compoundTextSurvivesMalformedInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addRow("lone ESC") << QByteArray("abc\x1b");
        QTest::addRow("cut designation") << QByteArray("\x1b$(");
        QTest::addRow("extended segment longer than the data") << QByteArray("\x1b%/1\xff\xffiso8859-15\x02\xa4");
        QTest::addRow("extended segment without length") << QByteArray("\x1b%/1");
        QTest::addRow("odd byte in a double-byte set") << QByteArray("\x1b$(BF");
        QTest::addRow("unknown set") << QByteArray("\x1b-Z\xa1\xa2");
        QTest::addRow("unterminated direction") << QByteArray("\x9b" "1");
    }
    void compoundTextSurvivesMalformedInput()
    {
        QFETCH(QByteArray, bytes);
        const QString text = X11Text::decodeCompoundText(bytes);
        QVERIFY(text.size() <= bytes.size());
    }

    void decodeByType()
    {
        const QByteArray bytes("\xc3\xa9");
        QCOMPARE(X11Text::decode(X11Text::Encoding::Utf8, bytes), QStringLiteral("é"));
        QCOMPARE(X11Text::decode(X11Text::Encoding::Latin1, bytes), QStringLiteral("Ã©"));
        QCOMPARE(X11Text::decode(X11Text::Encoding::Utf8, QByteArray("\xff" "a")), QStringLiteral("\uFFFDa"));
    }

    void wmClass_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("instance");
        QTest::addColumn<QString>("className");
        QTest::addRow("both") << QByteArray("navigator\0Firefox\0", 18) << "navigator" << "Firefox";
        QTest::addRow("no final NUL") << QByteArray("xterm\0XTerm", 11) << "xterm" << "XTerm";
        QTest::addRow("instance only") << QByteArray("lonely") << "lonely" << "";
        QTest::addRow("extra strings ignored") << QByteArray("a\0B\0c\0", 6) << "a" << "B";
        QTest::addRow("empty") << QByteArray() << "" << "";
    }
    void wmClass()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, instance);
        QFETCH(QString, className);
        const X11Text::WmClass parsed = X11Text::parseWmClass(bytes);
        QCOMPARE(parsed.instance, instance);
        QCOMPARE(parsed.className, className);
    }
};

QTEST_GUILESS_MAIN(TestX11Text)
#include "tst_x11_text.moc"
