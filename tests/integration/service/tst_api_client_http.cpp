// The API client against the stand-in web service over real HTTP: what each request carries, when bodies are
// compressed, how statuses, slow answers and gzip answers come back.
#include "api_client.h"
#include "service_fixture.h"
#include "wire_records.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;
using ServiceTest::await;

namespace {

const QString kCalendar = u"/api/segments/calendar"_s;
const QString kLog = u"/api/segments/log"_s;

// A valid, empty logging request padded with JSON white space to exactly size bytes.
QByteArray emptyLogBody(qsizetype size)
{
    QByteArray body = R"({"ids":[],"segments":[],"emitSocket":false})";
    body += QByteArray(size - body.size(), ' ');
    return body;
}

QJsonObject header(const QJsonObject &entry) { return entry.value(u"headerMap").toObject(); }

} // namespace

class TestAPIClientHTTP : public QObject
{
    Q_OBJECT
private:
    ServiceTest::DevService m_dev;
    QString m_token;
    ServiceTest::FakeTokenProvider m_tokens;
    std::unique_ptr<APIClient> m_client;

    QJsonObject onlyRequest()
    {
        const QJsonArray all = m_dev.requests();
        if (all.size() != 1)
            qWarning("expected one request, the stand-in saw %lld", static_cast<long long>(all.size()));
        return all.isEmpty() ? QJsonObject() : all.last().toObject();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dev.start());
        m_token = m_dev.issueToken();
        QVERIFY(!m_token.isEmpty());
    }

    void init()
    {
        QVERIFY(m_dev.reset());
        ServiceTest::useApiHost(m_dev.apiBase());
        m_tokens = {};
        m_tokens.token = m_token;
        m_client = std::make_unique<APIClient>(&m_tokens);
    }

    void identifyingHeaders_data()
    {
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<QByteArray>("verb");
        for (const bool withToken : {true, false})
            for (const QByteArray verb : {"GET", "POST", "DELETE"})
                QTest::addRow("%s %s", verb.constData(), withToken ? "with token" : "without token") << withToken << verb;
    }
    void identifyingHeaders()
    {
        QFETCH(bool, withToken);
        QFETCH(QByteArray, verb);
        if (!withToken)
            m_tokens.token.reset();
        qputenv("TZ", "America/Denver");

        if (verb == "GET")
            (void)await(m_client->getRaw(kCalendar));
        else if (verb == "POST")
            (void)await(m_client->postRaw(kLog, emptyLogBody(100)));
        else
            (void)await(m_client->deleteResource(u"/api/segments/8F14E45F-CEEA-467F-A0E6-5B2A7C3D9E10/unlog"_s));

        const QJsonObject h = header(onlyRequest());
        if (withToken)
            QCOMPARE(h.value(u"authorization").toString(), u"Bearer "_s + m_token);
        else
            QVERIFY(!h.contains(u"authorization"));
        QCOMPARE(h.value(u"x-requested-with").toString(), u"XMLHttpRequest"_s);
        QCOMPARE(h.value(u"x-kelvora-client").toString(), u"desktop"_s);
        QCOMPARE(h.value(u"x-kelvora-time-zone").toString(), u"America/Denver"_s);
        if (verb != "DELETE")
            QCOMPARE(h.value(u"accept-encoding").toString(), u"gzip"_s);
        if (verb == "POST") {
            QCOMPARE(h.value(u"content-type").toString(), u"application/json"_s);
            QVERIFY(!h.contains(u"content-encoding"));
        }
        if (!withToken)
            QTRY_COMPARE(m_tokens.invalidations, 1);   // the stand-in answers 401 without a token
        qunsetenv("TZ");
    }

    // A token that could end the header line would let stored text write headers of its own.
    void tokenThatWouldBreakTheHeaderIsNotSent()
    {
        m_tokens.token = m_token + u"\r\nX-Injected: 1"_s;
        const auto result = await(m_client->getRaw(kCalendar));
        QVERIFY(!result);
        QCOMPARE(apiError(result.error())->kind, APIError::Kind::unauthorized);
        const QJsonObject h = header(onlyRequest());
        QVERIFY(!h.contains(u"authorization"));
        QVERIFY(!h.contains(u"x-injected"));
        QCOMPARE(h.value(u"x-kelvora-client").toString(), u"desktop"_s);
    }

    void timeZoneIsReadForEveryRequest()
    {
        for (const char *zone : {"Asia/Kolkata", "Europe/Berlin"}) {
            qputenv("TZ", zone);
            m_dev.mark();
            QVERIFY(await(m_client->getRaw(kCalendar)));
            QCOMPARE(header(onlyRequest()).value(u"x-kelvora-time-zone").toString(), QString::fromLatin1(zone));
        }
        qunsetenv("TZ");
    }

    void queryReachesServer()
    {
        auto day = await(m_client->get<FetchSegmentsV2Response>(u"/api/segments"_s, APIClient::Query{{u"date"_s, u"2026-12-11"_s}}));
        QVERIFY(day);
        QCOMPARE(day->date, u"2026-12-11"_s);
        const QJsonObject entry = onlyRequest();
        QCOMPARE(entry.value(u"path").toString(), u"/api/segments"_s);
        QCOMPARE(entry.value(u"query").toString(), u"date=2026-12-11"_s);
    }

    void compressionBoundary_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("compressed");
        QTest::addRow("1023 bytes go plain") << qsizetype(1023) << false;
        QTest::addRow("1024 bytes go gzipped") << qsizetype(1024) << true;
        QTest::addRow("a large body goes gzipped") << qsizetype(200000) << true;
    }
    void compressionBoundary()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, compressed);
        const auto raw = await(m_client->postRaw(kLog, emptyLogBody(size)));
        QVERIFY(raw);
        QVERIFY(APIClient::decode<LogSegmentsV2Response>(raw.value()));
        const QJsonObject entry = onlyRequest();
        QCOMPARE(entry.value(u"status").toInt(), 200);
        QCOMPARE(header(entry).value(u"content-encoding").toString(), compressed ? u"gzip"_s : QString());
        QCOMPARE(entry.value(u"decodedSize").toInteger(-1), compressed ? size : -1);
        if (compressed)
            QVERIFY(entry.value(u"bodySize").toInteger() < size);
        else
            QCOMPARE(entry.value(u"bodySize").toInteger(), size);
        QVERIFY(!APIClient::isGzipRefused());
    }

    void statusMapping_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        using K = APIError::Kind;
        QTest::addRow("302 is not followed") << 302 << int(K::httpError) << u"Request failed (302)"_s;
        QTest::addRow("400") << 400 << int(K::httpError) << u"Request failed (400)"_s;
        QTest::addRow("401 signs out") << 401 << int(K::unauthorized) << u"Please log in again"_s;
        QTest::addRow("403") << 403 << int(K::forbidden) << u"Access denied"_s;
        QTest::addRow("404") << 404 << int(K::notFound) << u"Resource not found"_s;
        QTest::addRow("500") << 500 << int(K::serverError) << u"Server error (500)"_s;
        QTest::addRow("599") << 599 << int(K::serverError) << u"Server error (599)"_s;
        QTest::addRow("600") << 600 << int(K::httpError) << u"Request failed (600)"_s;
    }
    void statusMapping()
    {
        QFETCH(int, status);
        QFETCH(int, kind);
        QFETCH(QString, message);
        QVERIFY(m_dev.setFaults({{u"failNext"_s, QJsonObject{{u"path"_s, kCalendar}, {u"status"_s, status}}}}));
        const auto result = await(m_client->get<CalendarDataResponse>(kCalendar));
        QVERIFY(!result);
        const APIError *error = apiError(result.error());
        QVERIFY(error);
        QCOMPARE(int(error->kind), kind);
        QCOMPARE(error->message(), message);
        QCOMPARE(m_dev.requests().size(), 1);   // a redirect is not followed either
        if (status == 401) {
            QTRY_COMPARE(m_tokens.invalidations, 1);
            QVERIFY(!m_tokens.invalidatedOffMainThread);
        } else {
            QTest::qWait(20);
            QCOMPARE(m_tokens.invalidations, 0);
        }
    }

    void undecodableAnswer_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addRow("required key missing") << uR"({"success":true,"calendar":{},"startDate":"a"})"_s;
        QTest::addRow("not JSON") << u"Service temporarily unavailable"_s;
    }
    void undecodableAnswer()
    {
        QFETCH(QString, body);
        QVERIFY(m_dev.setFaults({{u"failNext"_s, QJsonObject{{u"path"_s, kCalendar}, {u"status"_s, 200}, {u"body"_s, body}}}}));
        const auto result = await(m_client->get<CalendarDataResponse>(kCalendar));
        QVERIFY(!result);
        const APIError *error = apiError(result.error());
        QVERIFY(error);
        QCOMPARE(error->kind, APIError::Kind::decodingError);
        QCOMPARE(error->message(), u"Failed to parse response"_s);
    }

    void gzipAnswersAreInflated_data()
    {
        QTest::addColumn<bool>("gzipAnswers");
        QTest::addRow("gzip answer") << true;
        QTest::addRow("plain answer") << false;
    }
    void gzipAnswersAreInflated()
    {
        QFETCH(bool, gzipAnswers);
        QVERIFY(m_dev.setFaults({{u"gzipAnswers"_s, gzipAnswers}}));
        const auto calendar = await(m_client->get<CalendarDataResponse>(kCalendar));
        QVERIFY(calendar);
        QVERIFY(calendar->success);
        QCOMPARE(onlyRequest().value(u"answerGzip").toBool(), gzipAnswers);
    }

    void timeouts_data()
    {
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("totalMs");
        QTest::addRow("nothing moves for the idle time") << 300 << 20000;
        QTest::addRow("the whole exchange takes too long") << 20000 << 300;
    }
    void timeouts()
    {
        QFETCH(int, idleMs);
        QFETCH(int, totalMs);
        m_client->setTimeouts({std::chrono::milliseconds(idleMs), std::chrono::milliseconds(totalMs)});
        QVERIFY(m_dev.setFaults({{u"delayMs"_s, 5000}, {u"delayPath"_s, kCalendar}}));
        QElapsedTimer clock;
        clock.start();
        const auto result = await(m_client->get<CalendarDataResponse>(kCalendar));
        QVERIFY(clock.elapsed() < 3000);
        QVERIFY(!result);
        const auto *transport = std::get_if<TransportError>(&result.error());
        QVERIFY(transport);
        QCOMPARE(transport->code, QNetworkReply::TimeoutError);
        QCOMPARE(errorMessage(result.error()), u"The request timed out"_s);
    }

    void transportFailureIsPassedOn()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        ServiceTest::useApiHost(u"http://127.0.0.1:%1"_s.arg(port));
        const auto result = await(m_client->getRaw(kCalendar));
        QVERIFY(!result);
        const auto *transport = std::get_if<TransportError>(&result.error());
        QVERIFY(transport);
        QCOMPARE(transport->code, QNetworkReply::ConnectionRefusedError);
        QVERIFY(!transport->message().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAPIClientHTTP)
#include "tst_api_client_http.moc"
