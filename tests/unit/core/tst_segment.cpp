// The segment record: history-line codec (byte-exact both ways), welded lines, midnight split, duration text.
#include "segment.h"
#include "test_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using TestSupport::localMs;

namespace {
const QUuid kId = QUuid::fromString(QStringLiteral("6f1c2b1e-3d4a-4b5c-8d9e-0a1b2c3d4e5f"));
constexpr auto kIdUpper = "6F1C2B1E-3D4A-4B5C-8D9E-0A1B2C3D4E5F";

Segment sample(const QString &title = QStringLiteral("main.cpp"), std::optional<qint64> synced = std::nullopt)
{
    return Segment{kId, QStringLiteral("2025-03-14"), QStringLiteral("Editor"), title, 1000, 2000,
                   SegmentType::process, synced};
}

QByteArray line(const char *rest)
{
    return QByteArray(R"({"id":")") + kIdUpper + R"(","date":"2025-03-14","appName":"Editor",)" + rest;
}
} // namespace

class TestSegment : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void encodesByteExact_data();
    void encodesByteExact();
    void refusesLoneSurrogates();
    void decodes_data();
    void decodes();
    void agreesWithQtJson();
    void weldedLines_data();
    void weldedLines();
    void splitsAtLocalMidnight_data();
    void splitsAtLocalMidnight();
    void backwardsSplitIsEmpty();
    void formatsDuration_data();
    void formatsDuration();
    void liveDurationFollowsTheClock();
    void timeRangeUsesArrow();
};

void TestSegment::encodesByteExact_data()
{
    QTest::addColumn<Segment>("segment");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("closed, not synced") << sample() << line(R"("windowTitle":"main.cpp","startTime":1000,"endTime":2000,"type":"process"})");
    QTest::addRow("synced") << sample(QStringLiteral("t"), 3000)
                            << line(R"("windowTitle":"t","startTime":1000,"endTime":2000,"type":"process","syncedAt":3000})");
    QTest::addRow("escapes") << sample(QStringLiteral("a/b \"q\" \\ \t\n\x01\x7f"))
                             << line("\"windowTitle\":\"a\\/b \\\"q\\\" \\\\ \\t\\n\\u0001\x7f\",\"startTime\":1000,\"endTime\":2000,\"type\":\"process\"}");
    QTest::addRow("raw UTF-8, line separators escaped")
        << sample(QStringLiteral("Café — 日本 😀 a\u2028b\u2029c\u0085d"))
        << line("\"windowTitle\":\"Caf\xC3\xA9 \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 "
                "a\\u2028b\\u2029c\\u0085d\",\"startTime\":1000,\"endTime\":2000,\"type\":\"process\"}");
    Segment inactivity = sample(QString());
    inactivity.type = SegmentType::inactivity;
    inactivity.startTime = -5;
    inactivity.endTime = std::numeric_limits<qint64>::max();
    QTest::addRow("inactivity, extremes")
        << inactivity << line(R"("windowTitle":"","startTime":-5,"endTime":9223372036854775807,"type":"inactivity"})");
}

void TestSegment::encodesByteExact()
{
    QFETCH(Segment, segment);
    QFETCH(QByteArray, expected);
    QCOMPARE(segment.toJSONLine().value(), expected);
    QCOMPARE(Segment::fromJSONLine(expected), segment);   // and back
}

void TestSegment::refusesLoneSurrogates()
{
    QString broken = QStringLiteral("x");
    broken += QChar(0xD800);
    QVERIFY(!sample(broken).toJSONLine());
}

void TestSegment::decodes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("readable");
    const QByteArray tail = R"("startTime":1000,"endTime":2000,"type":"process")";
    QTest::addRow("lower-case id, keys reordered, extras ignored")
        << QByteArray(R"( {"type":"process","endTime":2000,"extra":{"a":[1,2.5e3,{"b":null}],"c":"}"},)"
                      R"("startTime":1000,"windowTitle":"x","appName":"Editor","date":"2025-03-14",)"
                      R"("id":"6f1c2b1e-3d4a-4b5c-8d9e-0a1b2c3d4e5f"} )") << true;
    QTest::addRow("syncedAt null") << line(R"("windowTitle":"x",)" + tail + R"(,"syncedAt":null})") << true;
    QTest::addRow("escaped key and \\u escapes") << line("\"window\\u0054itle\":\"\\ud83d\\ude00\\/\"," + tail + "}") << true;
    QTest::addRow("missing windowTitle") << line(tail + "}") << false;
    QTest::addRow("unknown type") << line(R"("windowTitle":"x","startTime":1000,"endTime":2000,"type":"idle"})") << false;
    QTest::addRow("string time") << line(R"("windowTitle":"x","startTime":"1000","endTime":2000,"type":"process"})") << false;
    QTest::addRow("fractional time") << line(R"("windowTitle":"x","startTime":1000.5,"endTime":2000,"type":"process"})") << false;
    QTest::addRow("beyond 64 bits") << line(R"("windowTitle":"x","startTime":9223372036854775808,"endTime":2000,"type":"process"})") << false;
    QTest::addRow("syncedAt text") << line(R"("windowTitle":"x",)" + tail + R"(,"syncedAt":"1"})") << false;
    QTest::addRow("id not a UUID") << QByteArray(R"({"id":"{6f1c2b1e-3d4a-4b5c-8d9e-0a1b2c3d4e5f}","date":"d","appName":"a","windowTitle":"x",)" + tail + "}") << false;
    QTest::addRow("lone surrogate escape") << line("\"windowTitle\":\"\\ud83d\"," + tail + "}") << false;
    QTest::addRow("raw control character") << line("\"windowTitle\":\"a\tb\"," + tail + "}") << false;
    QTest::addRow("trailing comma") << line(R"("windowTitle":"x",)" + tail + ",}") << false;
    QTest::addRow("not UTF-8") << line("\"windowTitle\":\"\xC3(\"," + tail + "}") << false;
    QTest::addRow("truncated") << line(R"("windowTitle":"x","startTime":10)") << false;
    QTest::addRow("text after object") << line(R"("windowTitle":"x",)" + tail + "}x") << false;
}

void TestSegment::decodes()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, readable);
    const auto segment = Segment::fromJSONLine(text);
    QCOMPARE(segment.has_value(), readable);
    if (segment)
        QCOMPARE(segment->id, kId);
}

void TestSegment::agreesWithQtJson()
{
    // An independent parser reads what we write the same way.
    const Segment s = sample(QStringLiteral("a/b \"q\" \\ \t\n\x01 Café 😀 \u2028"), 42);
    const QJsonObject o = QJsonDocument::fromJson(s.toJSONLine().value()).object();
    QCOMPARE(o.value(QStringLiteral("windowTitle")).toString(), s.windowTitle);
    QCOMPARE(o.value(QStringLiteral("id")).toString(), QString::fromLatin1(kIdUpper));
    QCOMPARE(o.value(QStringLiteral("syncedAt")).toInteger(), 42);
    QCOMPARE(o.keys().size(), 8);
}

void TestSegment::weldedLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("objects");   // -1: unreadable
    const QByteArray a = sample(QStringLiteral("a}{\"b\\\\")).toJSONLine().value();
    Segment other = sample();
    other.id = QUuid::createUuid();
    const QByteArray b = other.toJSONLine().value();
    QTest::addRow("single") << a << 1;
    QTest::addRow("glued") << a + b << 2;
    QTest::addRow("spaces and tabs between") << " " + a + " \t" + b + "\t" << 2;
    QTest::addRow("no-break space between") << a + "\xC2\xA0" + b << 2;
    QTest::addRow("empty") << QByteArray() << 0;
    QTest::addRow("blank") << QByteArray(" \t ") << 0;
    QTest::addRow("comma between") << a + "," + b << -1;
    QTest::addRow("text after") << a + "garbage" << -1;
    QTest::addRow("second not a segment") << a + R"({"id":1})" << -1;
    QTest::addRow("unterminated") << a + b.left(20) << -1;
    QTest::addRow("stray closing brace") << "}" + a << -1;
}

void TestSegment::weldedLines()
{
    QFETCH(QByteArray, text);
    QFETCH(int, objects);
    const auto decoded = Segment::decodableObjects(text);
    QCOMPARE(decoded ? int(decoded->size()) : -1, objects);
    if (decoded && objects == 2) {
        // Each pair holds the exact text of its own object.
        for (const auto &[objectText, segment] : *decoded)
            QCOMPARE(objectText.toByteArray(), segment.toJSONLine().value());
    }
}

void TestSegment::splitsAtLocalMidnight_data()
{
    // Runs under TZ=Europe/Berlin: 2025-10-26 has 25 hours, 2025-03-30 has 23.
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QStringList>("days");
    QTest::addColumn<QList<qint64>>("boundaries");   // each piece's start after the first
    QTest::addRow("same day") << localMs(2025, 6, 1, 9) << localMs(2025, 6, 1, 10) << QStringList{QStringLiteral("2025-06-01")} << QList<qint64>{};
    QTest::addRow("23:30 to 00:45") << localMs(2025, 6, 1, 23, 30) << localMs(2025, 6, 2, 0, 45)
                                    << QStringList{QStringLiteral("2025-06-01"), QStringLiteral("2025-06-02")}
                                    << QList<qint64>{localMs(2025, 6, 2)};
    QTest::addRow("two midnights around the long DST day")
        << localMs(2025, 10, 25, 22) << localMs(2025, 10, 27, 1)
        << QStringList{QStringLiteral("2025-10-25"), QStringLiteral("2025-10-26"), QStringLiteral("2025-10-27")}
        << QList<qint64>{localMs(2025, 10, 26), localMs(2025, 10, 27)};
    QTest::addRow("ends exactly at midnight") << localMs(2025, 3, 29, 23) << localMs(2025, 3, 30)
                                              << QStringList{QStringLiteral("2025-03-29")} << QList<qint64>{};
}

void TestSegment::splitsAtLocalMidnight()
{
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    QFETCH(QStringList, days);
    QFETCH(QList<qint64>, boundaries);
    Segment s = sample();
    s.startTime = start;
    s.endTime = end;
    s.syncedAt = 5;
    const QList<Segment> pieces = s.splitAtMidnight();
    QCOMPARE(pieces.size(), days.size());
    if (!s.crossesMidnight()) {
        QCOMPARE(pieces.first(), s);
        return;
    }
    QCOMPARE(pieces.first().startTime, start);
    QCOMPARE(pieces.last().endTime, end);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        QCOMPARE(pieces[i].date, days[i]);
        QVERIFY(pieces[i].id != s.id);
        QVERIFY(!pieces[i].syncedAt);
        QCOMPARE(pieces[i].windowTitle, s.windowTitle);
        if (i > 0) {
            QCOMPARE(pieces[i].startTime, boundaries[i - 1]);
            QCOMPARE(pieces[i - 1].endTime, pieces[i].startTime);
        }
    }
    if (days.size() == 3)   // the whole 25-hour day
        QCOMPARE(pieces[1].durationMs(), qint64(25) * 3600 * 1000);
}

void TestSegment::backwardsSplitIsEmpty()
{
    Segment s = sample();
    s.startTime = localMs(2025, 6, 2, 1);
    s.endTime = localMs(2025, 6, 1, 23);
    QVERIFY(s.splitAtMidnight().isEmpty());
}

void TestSegment::formatsDuration_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    for (auto [s, t] : std::initializer_list<std::pair<qint64, const char *>>{
             {0, "0s"}, {59, "59s"}, {60, "1m 0s"}, {3599, "59m 59s"}, {3600, "1h 0m 0s"}, {3661, "1h 1m 1s"},
             {25 * 3600 + 61, "25h 1m 1s"}, {-5, "-5s"}, {-65, "-5s"}})
        QTest::addRow("%lld", static_cast<long long>(s)) << s << QString::fromUtf8(t);
}

void TestSegment::formatsDuration()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(Segment::formatDuration(seconds), text);
}

void TestSegment::liveDurationFollowsTheClock()
{
    TestSupport::FixedClock clock(100'000);
    Segment s = Segment::create(QStringLiteral("Editor"), QString(), SegmentType::process);
    QVERIFY(s.isOpen());
    Clock::advanceMs(61'500);
    QCOMPARE(s.liveDurationSeconds(s.id), 61);
    QCOMPARE(s.liveDurationSeconds(std::nullopt), 0);
    QCOMPARE(s.liveDurationSeconds(QUuid::createUuid()), 0);
    QVERIFY(s.isOrphanOpen(std::nullopt));
    QVERIFY(!s.isPending());
    s.close();
    QVERIFY(s.isPending());
    QCOMPARE(s.durationSeconds(), 61);
}

void TestSegment::timeRangeUsesArrow()
{
    Segment s = sample();
    s.startTime = localMs(2025, 3, 14, 9, 5);
    s.endTime = localMs(2025, 3, 14, 10, 40);
    QCOMPARE(s.formattedTimeRange(), QStringLiteral("09:05 \u2192 10:40"));
}

QTEST_GUILESS_MAIN(TestSegment)
#include "tst_segment.moc"
