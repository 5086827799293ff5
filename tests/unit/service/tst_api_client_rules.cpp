// The API client's decisions that need no server: URL building, which addresses may carry the session, the status
// table with its messages, and what counts as a refusal of gzip.
#include "api_client.h"
#include "config.h"
#include "logs_service.h"
#include "service_fixture.h"

#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<APIClient::Query>)

class TestAPIClientRules : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void buildURL_data()
    {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<std::optional<APIClient::Query>>("query");
        QTest::addColumn<QString>("expected");   // empty: invalidURL
        const QString base = u"https://api.example.org"_s;
        QTest::addRow("no query") << base << u"/api/segments"_s << std::optional<APIClient::Query>() << u"https://api.example.org/api/segments"_s;
        QTest::addRow("empty query adds no ?") << base << u"/api/segments"_s << std::optional(APIClient::Query{})
                                              << u"https://api.example.org/api/segments"_s;
        QTest::addRow("day parameter as it is") << base << u"/api/segments"_s
                                               << std::optional(APIClient::Query{{u"date"_s, u"2026-12-11"_s}})
                                               << u"https://api.example.org/api/segments?date=2026-12-11"_s;
        QTest::addRow("pairs in the given order") << base << u"/p"_s
                                                 << std::optional(APIClient::Query{{u"z"_s, u"1"_s}, {u"a"_s, u"2"_s}})
                                                 << u"https://api.example.org/p?z=1&a=2"_s;
        QTest::addRow("value cannot add parameters") << base << u"/p"_s
                                                    << std::optional(APIClient::Query{{u"date"_s, u"x&admin=1#f"_s}})
                                                    << u"https://api.example.org/p?date=x%26admin%3D1%23f"_s;
        QTest::addRow("loopback with port") << u"http://127.0.0.1:8080"_s << u"/api/segments/calendar"_s
                                           << std::optional<APIClient::Query>() << u"http://127.0.0.1:8080/api/segments/calendar"_s;
        QTest::addRow("no scheme") << u"api.example.org"_s << u"/p"_s << std::optional<APIClient::Query>() << QString();
        QTest::addRow("space in path") << base << u"/a b"_s << std::optional<APIClient::Query>() << QString();
        QTest::addRow("no host") << u"https://"_s << u"/p"_s << std::optional<APIClient::Query>() << QString();
    }
    void buildURL()
    {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(std::optional<APIClient::Query>, query);
        QFETCH(QString, expected);
        const auto url = APIClient::buildURL(base, path, query);
        if (expected.isEmpty()) {
            QVERIFY(!url);
            QCOMPARE(url.error().kind, APIError::Kind::invalidURL);
            QCOMPARE(url.error().message(), u"Invalid URL"_s);
        } else {
            QVERIFY(url);
            QCOMPARE(url->toString(QUrl::FullyEncoded), expected);
        }
    }

    void secureForSession_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("secure");
        QTest::addRow("https") << u"https://api.example.org/x"_s << true;
        QTest::addRow("http remote") << u"http://api.example.org/x"_s << false;
        QTest::addRow("http 127.0.0.1") << u"http://127.0.0.1:5000/x"_s << true;
        QTest::addRow("http 127.200.1.9") << u"http://127.200.1.9/x"_s << true;
        QTest::addRow("http ::1") << u"http://[::1]:5000/x"_s << true;
        QTest::addRow("http localhost") << u"http://LOCALHOST:5000/x"_s << true;
        QTest::addRow("http localhost lookalike") << u"http://localhost.example.org/x"_s << false;
        QTest::addRow("http private network") << u"http://192.168.1.10/x"_s << false;
        QTest::addRow("other scheme") << u"ftp://127.0.0.1/x"_s << false;
    }
    void secureForSession()
    {
        QFETCH(QString, url);
        QFETCH(bool, secure);
        QCOMPARE(APIClient::isSecureForSession(QUrl(url)), secure);
    }

    void statusMapping_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("kind");   // -1: success
        QTest::addColumn<QString>("message");
        using K = APIError::Kind;
        QTest::addRow("200") << 200 << -1 << QString();
        QTest::addRow("204") << 204 << -1 << QString();
        QTest::addRow("299") << 299 << -1 << QString();
        QTest::addRow("302") << 302 << int(K::httpError) << u"Request failed (302)"_s;
        QTest::addRow("400") << 400 << int(K::httpError) << u"Request failed (400)"_s;
        QTest::addRow("401") << 401 << int(K::unauthorized) << u"Please log in again"_s;
        QTest::addRow("403") << 403 << int(K::forbidden) << u"Access denied"_s;
        QTest::addRow("404") << 404 << int(K::notFound) << u"Resource not found"_s;
        QTest::addRow("500") << 500 << int(K::serverError) << u"Server error (500)"_s;
        QTest::addRow("599") << 599 << int(K::serverError) << u"Server error (599)"_s;
        QTest::addRow("600") << 600 << int(K::httpError) << u"Request failed (600)"_s;
        QTest::addRow("199") << 199 << int(K::httpError) << u"Request failed (199)"_s;
    }
    void statusMapping()
    {
        QFETCH(int, status);
        QFETCH(int, kind);
        QFETCH(QString, message);
        const auto error = APIClient::errorForStatus(status);
        QCOMPARE(error.has_value(), kind >= 0);
        if (error) {
            QCOMPARE(int(error->kind), kind);
            QCOMPARE(error->message(), message);
        }
    }

    void fixedMessages()
    {
        using K = APIError::Kind;
        QCOMPARE(APIError::of(K::decodingError, 0, u"x"_s).message(), u"Failed to parse response"_s);
        QCOMPARE(APIError::of(K::networkError).message(), u"Network connection failed"_s);
        QCOMPARE(APIError::of(K::invalidResponse).message(), u"Invalid response from server"_s);
        QCOMPARE(LogsServiceError::segmentsRejectedOf(2, 100).message(), u"The server refused 2 of 100 entries"_s);
        QCOMPARE(LogsServiceError{LogsServiceError::Kind::featureDisabled}.message(), u"API sync is disabled"_s);
        QCOMPARE(LogsServiceError{LogsServiceError::Kind::notAuthenticated}.message(), u"Please log in first"_s);
    }

    void gzipRefusal_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refused");
        QTest::addRow("400 small letters") << 400 << QByteArray("gzip bodies are not accepted") << true;
        QTest::addRow("400 capitals") << 400 << QByteArray("GZIP NOT SUPPORTED") << true;
        QTest::addRow("400 mixed, inside a word") << 400 << QByteArray(R"({"error":"unsupported x-GZip"})") << true;
        QTest::addRow("400 without the word") << 400 << QByteArray("bad request") << false;
        QTest::addRow("400 empty") << 400 << QByteArray() << false;
        QTest::addRow("400 not UTF-8") << 400 << QByteArray("gzip \xff\xfe") << false;
        QTest::addRow("415 mentions gzip") << 415 << QByteArray("gzip") << false;
        QTest::addRow("200 mentions gzip") << 200 << QByteArray("gzip") << false;
    }
    void gzipRefusal()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, refused);
        QCOMPARE(APIClient::serverRefusedGzip(status, body), refused);
    }

    // Nothing goes on the wire when the address is missing or would expose the session.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("kind");
        QTest::addRow("not configured") << QString() << int(APIError::Kind::notConfigured);
        QTest::addRow("plain http to another machine") << u"http://127.0.0.1.example.org"_s << int(APIError::Kind::insecureURL);
        QTest::addRow("unparsable") << u"https://exa mple.org"_s << int(APIError::Kind::invalidURL);
    }
    void refusedBeforeSending()
    {
        QFETCH(QString, host);
        QFETCH(int, kind);
        qputenv("KELVORA_API_HOST", host.toUtf8());
        Config::reloadDeployment();
        APIClient client(nullptr);
        auto task = client.getRaw(u"/api/segments/calendar"_s);
        // No request was started, so the answer is there without running the event loop.
        QVERIFY(task.isReady());
        auto result = ServiceTest::await(client.deleteResource(u"/api/segments/x/unlog"_s));
        QVERIFY(!result);
        const APIError *error = apiError(result.error());
        QVERIFY(error);
        QCOMPARE(int(error->kind), kind);
        QVERIFY(!error->message().isEmpty());
        QCOMPARE(client.transferStats().requests, 0);
    }
};

QTEST_GUILESS_MAIN(TestAPIClientRules)
#include "tst_api_client_rules.moc"
