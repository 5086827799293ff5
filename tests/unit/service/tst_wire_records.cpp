// The wire records: what a segment looks like when sent, and strict decoding of the server's answers.
#include "api_client.h"
#include "wire_records.h"

#include <QJsonDocument>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString kFamily = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");   // one character
const QString kFlag = QStringLiteral("\U0001F1E9\U0001F1EA");                                          // one character
const QString kThumb = QStringLiteral("\U0001F44D\U0001F3FD");                                         // with skin tone
const QString kEAcute = QStringLiteral("e\u0301");                                                     // combining mark

QString times(const QString &s, int n) { return s.repeated(n); }
QString as(int n) { return QString(n, QLatin1Char('a')); }
const QString kEllipsis = QStringLiteral("\u2026");

// Decodes text as the named record through the client's decoder; empty when it decoded.
QString decodeFailure(const QString &record, const QByteArray &json)
{
    const auto message = [](const auto &result) {
        if (result.ok())
            return QString();
        const APIError *e = apiError(result.error());
        return e && e->kind == APIError::Kind::decodingError ? e->detail : QStringLiteral("<not a decoding error>");
    };
    if (record == QLatin1String("log"))
        return message(APIClient::decode<LogSegmentsV2Response>(json));
    if (record == QLatin1String("day"))
        return message(APIClient::decode<FetchSegmentsV2Response>(json));
    return message(APIClient::decode<CalendarDataResponse>(json));
}

} // namespace

class TestWireRecords : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void titleCutting_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("expected");
        QTest::addRow("empty") << QString() << QString();
        QTest::addRow("100 characters stay") << as(100) << as(100);
        QTest::addRow("101 become 100 and an ellipsis") << as(101) << as(100) + kEllipsis;
        QTest::addRow("family emoji is the 100th character") << as(99) + kFamily << as(99) + kFamily;
        QTest::addRow("family emoji kept whole before the cut") << as(99) + kFamily + QStringLiteral("b")
                                                               << as(99) + kFamily + kEllipsis;
        QTest::addRow("cut falls where an emoji would be split") << as(100) + kFamily << as(100) + kEllipsis;
        QTest::addRow("101 family emoji") << times(kFamily, 101) << times(kFamily, 100) + kEllipsis;
        QTest::addRow("100 flags stay") << times(kFlag, 100) << times(kFlag, 100);
        QTest::addRow("skin tones") << times(kThumb, 120) << times(kThumb, 100) + kEllipsis;
        QTest::addRow("combining marks") << times(kEAcute, 101) << times(kEAcute, 100) + kEllipsis;
        QTest::addRow("CR LF is one character") << times(QStringLiteral("\r\n"), 100) << times(QStringLiteral("\r\n"), 100);
    }
    void titleCutting()
    {
        QFETCH(QString, title);
        QFETCH(QString, expected);
        QCOMPARE(truncatedTitle(title, 100), expected);
    }

    void segmentDTOFromSegment()
    {
        Segment s;
        s.id = QUuid(QStringLiteral("{8f14e45f-ceea-467f-a0e6-5b2a7c3d9e10}"));
        s.date = QStringLiteral("2026-12-11");
        s.appName = QStringLiteral("Editor");
        s.windowTitle = as(150);
        s.startTime = 1765400000123;
        s.endTime = 1765400090456;
        s.type = SegmentType::inactivity;
        s.syncedAt = 1765400100000;

        const QJsonObject json = SegmentDTO::from(s).toJson();
        QCOMPARE(json.keys(), (QStringList{u"appName"_s, u"date"_s, u"endTime"_s, u"id"_s, u"startTime"_s, u"type"_s, u"windowTitle"_s}));
        QCOMPARE(json.value(u"id").toString(), QStringLiteral("8F14E45F-CEEA-467F-A0E6-5B2A7C3D9E10"));
        QCOMPARE(json.value(u"date").toString(), s.date);
        QCOMPARE(json.value(u"startTime").toInteger(), s.startTime);
        QCOMPARE(json.value(u"endTime").toInteger(), s.endTime);
        QCOMPARE(json.value(u"type").toString(), QStringLiteral("inactivity"));
        QCOMPARE(json.value(u"windowTitle").toString(), as(100) + kEllipsis);

        LogSegmentsV2Request idsOnly;
        idsOnly.ids = {json.value(u"id").toString()};
        QCOMPARE(idsOnly.encoded(), QByteArray(R"({"emitSocket":false,"ids":["8F14E45F-CEEA-467F-A0E6-5B2A7C3D9E10"],"segments":[]})"));
    }

    void decodingAnswers_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("failureMentions");   // empty: decodes

        QTest::addRow("log: required keys only") << u"log"_s << QByteArray(R"({"success":true,"updated":3})") << QString();
        QTest::addRow("log: optional keys null") << u"log"_s
            << QByteArray(R"({"success":true,"updated":3,"rejected":null,"calendarPatch":null,"dates":null})") << QString();
        QTest::addRow("log: whole number as 3.0") << u"log"_s << QByteArray(R"({"success":true,"updated":3.0})") << QString();
        QTest::addRow("log: no success") << u"log"_s << QByteArray(R"({"updated":3})") << u"\"success\""_s;
        QTest::addRow("log: no updated") << u"log"_s << QByteArray(R"({"success":true})") << u"\"updated\""_s;
        QTest::addRow("log: updated is text") << u"log"_s << QByteArray(R"({"success":true,"updated":"3"})") << u"\"updated\""_s;
        QTest::addRow("log: updated has a fraction") << u"log"_s << QByteArray(R"({"success":true,"updated":2.5})") << u"\"updated\""_s;
        QTest::addRow("log: rejected is text") << u"log"_s << QByteArray(R"({"success":true,"updated":3,"rejected":"2"})") << u"\"rejected\""_s;
        QTest::addRow("log: patch value is text") << u"log"_s
            << QByteArray(R"({"success":true,"updated":3,"calendarPatch":{"2026-12-11":"60"}})") << u"\"calendarPatch\""_s;
        QTest::addRow("log: not an object") << u"log"_s << QByteArray(R"([1,2])") << u"not a JSON object"_s;
        QTest::addRow("log: not JSON") << u"log"_s << QByteArray("<html>") << QString();   // any text: checked below
        QTest::addRow("log: empty body") << u"log"_s << QByteArray() << QString();

        const QByteArray segment = R"({"id":"a","appName":"A","windowTitle":"W","startTime":"t","type":"process"})";
        QTest::addRow("day: segment with required keys only") << u"day"_s
            << QByteArray(R"({"success":true,"date":"2026-12-11","segments":[)" + segment + "]}") << QString();
        QTest::addRow("day: no segments") << u"day"_s << QByteArray(R"({"success":true,"date":"2026-12-11"})") << u"\"segments\""_s;
        QTest::addRow("day: no date") << u"day"_s << QByteArray(R"({"success":true,"segments":[]})") << u"\"date\""_s;
        for (const char *key : {"id", "appName", "windowTitle", "startTime", "type"}) {
            QJsonObject s = QJsonDocument::fromJson(segment).object();
            s.remove(QLatin1String(key));
            const QByteArray body = R"({"success":true,"date":"2026-12-11","segments":[)" + segment + ","
                                    + QJsonDocument(s).toJson(QJsonDocument::Compact) + "]}";
            QTest::addRow("day: second segment without %s", key) << u"day"_s << body << QStringLiteral("segments[1]: required key \"%1\"").arg(QLatin1String(key));
        }
        QTest::addRow("day: logged is text") << u"day"_s
            << QByteArray(R"({"success":true,"date":"d","segments":[{"id":"a","appName":"A","windowTitle":"W","startTime":"t","type":"p","logged":"yes"}]})")
            << u"\"logged\""_s;

        const QByteArray calendar = R"({"success":true,"calendar":{"2026-12-10":3600},"startDate":"a","endDate":"b"})";
        QTest::addRow("calendar: complete") << u"calendar"_s << calendar << QString();
        for (const char *key : {"success", "calendar", "startDate", "endDate"}) {
            QJsonObject o = QJsonDocument::fromJson(calendar).object();
            o.remove(QLatin1String(key));
            QTest::addRow("calendar: no %s", key) << u"calendar"_s << QJsonDocument(o).toJson(QJsonDocument::Compact)
                                                 << QStringLiteral("\"%1\"").arg(QLatin1String(key));
        }
    }
    void decodingAnswers()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        QFETCH(QString, failureMentions);
        const QString failure = decodeFailure(record, json);
        const bool shouldFail = !failureMentions.isEmpty() || !json.startsWith('{');
        QCOMPARE(!failure.isEmpty(), shouldFail);
        QVERIFY2(failure.contains(failureMentions), qPrintable(failure));
        QVERIFY(!failure.contains(QLatin1String("<not a decoding error>")));
    }

    void decodedValues()
    {
        const auto r = APIClient::decode<LogSegmentsV2Response>(
            R"({"success":true,"updated":48,"rejected":2,"totalLoggedSecs":7200,"dates":["2026-12-11"],)"
            R"("calendarPatch":{"2026-12-11":3600,"2026-12-10":0}})");
        QVERIFY(r);
        QCOMPARE(r->updated, 48);
        QCOMPARE(r->rejected.value_or(-1), 2);
        QCOMPARE(r->totalLoggedSecs.value_or(-1), 7200);
        QCOMPARE(r->dates.value_or(QStringList()), QStringList{u"2026-12-11"_s});
        QCOMPARE(r->calendarPatch.value_or(DaySeconds()), (DaySeconds{{u"2026-12-11"_s, 3600}, {u"2026-12-10"_s, 0}}));

        const auto day = APIClient::decode<FetchSegmentsV2Response>(
            R"({"success":true,"date":"2026-12-11","loggedSec":60,"segments":[)"
            R"({"id":"8f14e45f-ceea-467f-a0e6-5b2a7c3d9e10","appName":"A","windowTitle":"W","startTime":"2026-12-11T08:00:00.000Z","type":"process","logged":true},)"
            R"({"id":"X","appName":"B","windowTitle":"","startTime":"t","endTime":"u","type":"inactivity"}]})");
        QVERIFY(day);
        QVERIFY(!day->trackedSec);
        QCOMPARE(day->loggedSec.value_or(-1), 60);
        QCOMPARE(day->segments.size(), 2);
        FetchLogsResponse logs{day->segments, day->loggedSec, day->trackedSec};
        QCOMPARE(logs.allServerIds(), (QSet<QString>{u"8f14e45f-ceea-467f-a0e6-5b2a7c3d9e10"_s, u"x"_s}));
        QCOMPARE(logs.loggedServerIds(), QSet<QString>{u"8f14e45f-ceea-467f-a0e6-5b2a7c3d9e10"_s});
        QCOMPARE(day->segments.at(0).uuid().value_or(QUuid()), QUuid(QStringLiteral("{8f14e45f-ceea-467f-a0e6-5b2a7c3d9e10}")));
        QCOMPARE(day->segments.at(1).endTime.value_or(QString()), QStringLiteral("u"));
    }

    void storedEverything_data()
    {
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("updated");
        QTest::addColumn<bool>("expected");
        QTest::addRow("nothing sent") << 0 << 0 << false;
        QTest::addRow("all stored") << 120 << 120 << true;
        QTest::addRow("one short") << 120 << 119 << false;
        QTest::addRow("more confirmed than sent") << 3 << 4 << true;
    }
    void storedEverything()
    {
        QFETCH(int, sent);
        QFETCH(int, updated);
        QFETCH(bool, expected);
        LogSegmentsResponse r;
        r.sentCount = sent;
        r.updatedCount = updated;
        QCOMPARE(r.storedEverything(), expected);
    }
};

QTEST_GUILESS_MAIN(TestWireRecords)
#include "tst_wire_records.moc"
