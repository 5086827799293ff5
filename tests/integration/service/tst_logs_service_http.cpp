// The logs service against the stand-in: how a logging call is cut into requests, what the known-id cache changes,
// how refusals and failures end a call, and the day, calendar and withdraw calls.
#include "api_client.h"
#include "auth_state.h"
#include "config.h"
#include "logs_service.h"
#include "service_fixture.h"

#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

using namespace Qt::StringLiterals;
using ServiceTest::await;

namespace {

const QString kDay = u"2026-12-11"_s;
const QString kLogPath = u"/api/segments/log"_s;

QList<Segment> makeSegments(int count, int firstMinute = 0)
{
    QList<Segment> out;
    const qint64 dayStart = 1765411200000;   // 2026-12-11T00:00:00Z
    for (int i = 0; i < count; ++i) {
        Segment s;
        s.id = QUuid::createUuid();
        s.date = kDay;
        s.appName = u"Editor"_s;
        s.windowTitle = u"notes-%1.txt"_s.arg(firstMinute + i);
        s.startTime = dayStart + qint64(firstMinute + i) * 60000;
        s.endTime = s.startTime + 30000;
        out.append(s);
    }
    return out;
}

QStringList idsOf(const QList<Segment> &segments)
{
    QStringList ids;
    for (const Segment &s : segments)
        ids.append(uuidString(s.id));
    return ids;
}

QJsonObject bodyOf(const QJsonValue &entry)
{
    return QJsonDocument::fromJson(entry.toObject().value(u"body").toString().toUtf8()).object();
}

// "F50,F10,I250,I50": full or IDs-only, with the id count, in sending order; also checks emitSocket and ids.
QString shapeOf(const QJsonArray &requests, QStringList *sentIds)
{
    QStringList shape;
    for (qsizetype i = 0; i < requests.size(); ++i) {
        const QJsonObject body = bodyOf(requests.at(i));
        const QJsonArray ids = body.value(u"ids").toArray();
        const QJsonArray segments = body.value(u"segments").toArray();
        const bool last = i == requests.size() - 1;
        if (body.value(u"emitSocket").toBool() != last)
            return u"emitSocket wrong on request %1"_s.arg(i + 1);
        if (!segments.isEmpty() && segments.size() != ids.size())
            return u"ids and segments differ on request %1"_s.arg(i + 1);
        for (qsizetype k = 0; k < ids.size(); ++k) {
            if (!segments.isEmpty() && segments.at(k).toObject().value(u"id") != ids.at(k))
                return u"segment %1 of request %2 is not its id"_s.arg(k).arg(i + 1);
            sentIds->append(ids.at(k).toString());
        }
        shape.append((segments.isEmpty() ? u"I"_s : u"F"_s) + QString::number(ids.size()));
    }
    return shape.join(u',');
}

} // namespace

class TestLogsServiceHTTP : public QObject
{
    Q_OBJECT
private:
    ServiceTest::DevService m_dev;
    ServiceTest::FakeTokenProvider m_tokens;
    StaticAuthState m_auth{true, u"tester"_s};
    std::unique_ptr<APIClient> m_client;
    std::unique_ptr<LogsService> m_logs;

    [[nodiscard]] LogsServiceError::Kind logsKind(const LogsFailure &failure)
    {
        const auto *e = std::get_if<LogsServiceError>(&failure);
        return e ? e->kind : LogsServiceError::Kind(-1);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setOrganizationName(u"Kelvora-tests"_s);
        QCoreApplication::setApplicationName(u"test_logs_service_http"_s);
        QVERIFY(m_dev.start());
        m_tokens.token = m_dev.issueToken();
        m_client = std::make_unique<APIClient>(&m_tokens);
    }

    void init()
    {
        QVERIFY(m_dev.reset());
        Config::enableFlag(Config::kApiSyncFlag);
        m_auth.set(true, u"tester"_s);
        m_logs = std::make_unique<LogsService>(*m_client, m_auth);
    }

    void batching_data()
    {
        QTest::addColumn<int>("fresh");
        QTest::addColumn<int>("known");
        QTest::addColumn<QString>("shape");
        QTest::addRow("120 new") << 120 << 0 << u"F50,F50,F20"_s;
        QTest::addRow("60 new and 300 known") << 60 << 300 << u"F50,F10,I250,I50"_s;
        QTest::addRow("exactly one full batch") << 50 << 0 << u"F50"_s;
        QTest::addRow("251 known") << 0 << 251 << u"I250,I1"_s;
        QTest::addRow("nothing") << 0 << 0 << QString();
    }
    void batching()
    {
        QFETCH(int, fresh);
        QFETCH(int, known);
        QFETCH(QString, shape);
        const QList<Segment> knownSegments = makeSegments(known, 0);
        if (known > 0)
            QVERIFY(await(m_logs->logSegments(knownSegments)));
        const QList<Segment> freshSegments = makeSegments(fresh, 400);
        m_dev.mark();

        // Known ones first in the input: the split keeps each part's order, full batches go first.
        const auto result = await(m_logs->logSegments(knownSegments + freshSegments));
        QVERIFY2(result, qPrintable(result ? QString() : errorMessage(result.error())));
        QStringList sent;
        QCOMPARE(shapeOf(m_dev.requests(kLogPath), &sent), shape);
        QCOMPARE(sent, idsOf(freshSegments) + idsOf(knownSegments));
        QCOMPARE(result->loggedIds, sent);
        QCOMPARE(result->sentCount, fresh + known);
        QCOMPARE(result->updatedCount, fresh + known);
        QCOMPARE(result->storedEverything(), fresh + known > 0);
        QCOMPARE(result->calendarPatch.has_value(), fresh + known > 0);
        if (fresh + known > 0) {
            QVERIFY(result->totalLoggedSecs > 0);
            QVERIFY(result->calendarPatch->value(kDay) > 0);
        }
    }

    void acceptedSegmentsAreResentAsIds()
    {
        const QList<Segment> segments = makeSegments(120);
        QVERIFY(await(m_logs->logSegments(segments)));
        m_dev.mark();
        const auto again = await(m_logs->logSegments(segments));
        QVERIFY(again);
        QStringList sent;
        QCOMPARE(shapeOf(m_dev.requests(kLogPath), &sent), u"I120"_s);
        QCOMPARE(sent, idsOf(segments));
        QVERIFY(again->storedEverything());
    }

    void fullRecordOnTheWire()
    {
        Segment s = makeSegments(1).constFirst();
        s.type = SegmentType::inactivity;
        s.windowTitle = QStringLiteral("\U0001F469\u200D\U0001F4BB").repeated(120);
        QVERIFY(await(m_logs->logSegments({s})));
        const QJsonObject wire = bodyOf(m_dev.requests(kLogPath).last()).value(u"segments").toArray().at(0).toObject();
        QCOMPARE(wire, SegmentDTO::from(s).toJson());
        QCOMPARE(wire.value(u"windowTitle").toString(),
                 QStringLiteral("\U0001F469\u200D\U0001F4BB").repeated(100) + QChar(0x2026));
        QCOMPARE(wire.value(u"type").toString(), u"inactivity"_s);
    }

    void partialRejection()
    {
        const QList<Segment> segments = makeSegments(100);
        const QStringList ids = idsOf(segments);
        QVERIFY(m_dev.setFaults({{u"rejectIds"_s, QJsonArray{ids.at(3), ids.at(40)}}}));

        const auto result = await(m_logs->logSegments(segments));
        QVERIFY(!result);
        QCOMPARE(std::get<LogsServiceError>(result.error()), LogsServiceError::segmentsRejectedOf(2, 100));
        QCOMPARE(errorMessage(result.error()), u"The server refused 2 of 100 entries"_s);
        QCOMPARE(m_dev.requests(kLogPath).size(), 2);   // the batch after the refusal still went
        for (int i = 0; i < 100; ++i)
            QCOMPARE(m_logs->isKnownOnServer(ids.at(i)), i >= 50);

        // Next time the refused batch goes in full again, the accepted one as ids.
        QVERIFY(m_dev.setFaults({{u"rejectIds"_s, QJsonArray{}}}));
        m_dev.mark();
        QVERIFY(await(m_logs->logSegments(segments)));
        QStringList sent;
        QCOMPARE(shapeOf(m_dev.requests(kLogPath), &sent), u"F50,I50"_s);
    }

    void failedRequestEndsTheCall_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addColumn<int>("kind");
        QTest::addRow("server error") << 500 << QString() << int(APIError::Kind::serverError);
        QTest::addRow("answer without updated") << 200 << uR"({"success":true})"_s << int(APIError::Kind::decodingError);
        QTest::addRow("session expired") << 401 << QString() << int(APIError::Kind::unauthorized);
    }
    void failedRequestEndsTheCall()
    {
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(int, kind);
        QJsonObject rule{{u"path"_s, kLogPath}, {u"status"_s, status}};
        if (!body.isEmpty())
            rule.insert(u"body"_s, body);
        QVERIFY(m_dev.setFaults({{u"failNext"_s, rule}}));
        const QList<Segment> segments = makeSegments(120);
        const auto result = await(m_logs->logSegments(segments));
        QVERIFY(!result);
        const APIError *error = apiError(result.error());
        QVERIFY(error);
        QCOMPARE(int(error->kind), kind);
        QCOMPARE(m_dev.requests(kLogPath).size(), 1);
        QCOMPARE(m_logs->knownServerSegmentCount(), 0);
    }

    void dayFetchFillsTheCache()
    {
        // Logged through another service, so this one learns of them only from the day's answer.
        const QList<Segment> segments = makeSegments(3);
        {
            LogsService other(*m_client, m_auth);
            QVERIFY(await(other.logSegments(segments)));
        }
        const auto day = await(m_logs->fetchLogs(kDay));
        QVERIFY(day);
        QCOMPARE(day->logs.size(), 3);
        QCOMPARE(day->totalTrackedSec.value_or(-1), 90);
        QCOMPARE(day->totalLoggedSec.value_or(-1), 90);
        for (const ServerSegment &s : day->logs)
            QVERIFY(s.isLogged());
        QCOMPARE(day->logs.first().id, day->logs.first().id.toLower());   // the stand-in answers in lower case
        for (const QString &id : idsOf(segments))
            QVERIFY(m_logs->isKnownOnServer(id));

        m_dev.mark();
        QVERIFY(await(m_logs->logSegments(segments)));
        QStringList sent;
        QCOMPARE(shapeOf(m_dev.requests(kLogPath), &sent), u"I3"_s);
        QCOMPARE(sent, idsOf(segments));   // sent upper-case, as local ids are written
    }

    void calendarAndUnlog()
    {
        const QList<Segment> segments = makeSegments(2);
        QVERIFY(await(m_logs->logSegments(segments)));
        auto calendar = await(m_logs->fetchCalendarData());
        QVERIFY(calendar);
        QCOMPARE(calendar->calendar.value(kDay), 60);

        m_dev.mark();
        const auto unlogged = await(m_logs->unlogSegment(segments.first().id));
        QVERIFY2(unlogged, qPrintable(unlogged ? QString() : errorMessage(unlogged.error())));
        const QJsonArray seen = m_dev.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen.at(0).toObject().value(u"method").toString(), u"DELETE"_s);
        QCOMPARE(seen.at(0).toObject().value(u"path").toString(), u"/api/segments/%1/unlog"_s.arg(uuidString(segments.first().id)));
        QVERIFY(m_logs->isKnownOnServer(uuidString(segments.first().id)));   // withdrawn, still held by the server
        calendar = await(m_logs->fetchCalendarData());
        QVERIFY(calendar);
        QCOMPARE(calendar->calendar.value(kDay), 30);

        const auto unknown = await(m_logs->unlogSegment(QUuid::createUuid()));
        QVERIFY(!unknown);
        QCOMPARE(apiError(unknown.error())->kind, APIError::Kind::notFound);
    }

    void guards_data()
    {
        QTest::addColumn<bool>("syncOn");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("kind");
        QTest::addRow("sync switched off") << false << true << int(LogsServiceError::Kind::featureDisabled);
        QTest::addRow("signed out") << true << false << int(LogsServiceError::Kind::notAuthenticated);
        QTest::addRow("both: the flag is checked first") << false << false << int(LogsServiceError::Kind::featureDisabled);
    }
    void guards()
    {
        QFETCH(bool, syncOn);
        QFETCH(bool, signedIn);
        QFETCH(int, kind);
        QSettings().setValue(QLatin1String(Config::kApiSyncFlag), syncOn);
        m_auth.set(signedIn, u"tester"_s);
        const auto expected = LogsServiceError::Kind(kind);

        QCOMPARE(logsKind(await(m_logs->logSegments(makeSegments(3))).error()), expected);
        QCOMPARE(logsKind(await(m_logs->fetchLogs(kDay)).error()), expected);
        QCOMPARE(logsKind(await(m_logs->fetchCalendarData()).error()), expected);
        QCOMPARE(logsKind(await(m_logs->unlogSegment(QUuid::createUuid())).error()), expected);
        QCOMPARE(m_dev.requests().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLogsServiceHTTP)
#include "tst_logs_service_http.moc"
