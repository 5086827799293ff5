// The fallback to plain JSON when the server cannot read a gzipped body: one plain resend, then no compression for
// the rest of the process. The flag is process-wide, so this runs in its own process, in this order.
#include "api_client.h"
#include "service_fixture.h"
#include "wire_records.h"

#include <QTest>

using namespace Qt::StringLiterals;
using ServiceTest::await;

namespace {

const QString kLog = u"/api/segments/log"_s;

QByteArray emptyLogBody(qsizetype size)
{
    QByteArray body = R"({"ids":[],"segments":[],"emitSocket":false})";
    body += QByteArray(size - body.size(), ' ');
    return body;
}

QString encodingOf(const QJsonValue &entry)
{
    return entry.toObject().value(u"headerMap").toObject().value(u"content-encoding").toString();
}

} // namespace

class TestGzipRefusal : public QObject
{
    Q_OBJECT
private:
    ServiceTest::DevService m_dev;
    ServiceTest::FakeTokenProvider m_tokens;
    std::unique_ptr<APIClient> m_client;

    Result<QByteArray, RequestError> post(qsizetype size) { return await(m_client->postRaw(kLog, emptyLogBody(size))); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dev.start());
        m_tokens.token = m_dev.issueToken();
        m_client = std::make_unique<APIClient>(&m_tokens);
        QVERIFY(!APIClient::isGzipRefused());
    }

    void init()
    {
        QVERIFY(m_dev.reset());
    }

    // Only a 400 about gzip to a compressed body counts: these leave compression on.
    void otherRefusalsDoNotCount_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addRow("400 without the word to a gzipped post") << qsizetype(4000) << 400 << uR"({"error":"bad request"})"_s;
        QTest::addRow("400 naming gzip to a plain post") << qsizetype(500) << 400 << uR"({"error":"gzip required"})"_s;
        QTest::addRow("500 naming gzip to a gzipped post") << qsizetype(4000) << 500 << uR"({"error":"gzip broke"})"_s;
    }
    void otherRefusalsDoNotCount()
    {
        QFETCH(qsizetype, size);
        QFETCH(int, status);
        QFETCH(QString, body);
        QVERIFY(m_dev.setFaults({{u"failNext"_s, QJsonObject{{u"path"_s, kLog}, {u"status"_s, status}, {u"body"_s, body}}}}));
        const auto result = post(size);
        QVERIFY(!result);
        const APIError *error = apiError(result.error());
        QVERIFY(error);
        QCOMPARE(error->status, status);
        QCOMPARE(m_dev.requests().size(), 1);   // no resend
        QVERIFY(!APIClient::isGzipRefused());
    }

    void refusalFallsBackOnceAndForGood()
    {
        QVERIFY(m_dev.setFaults({{u"refuseGzip"_s, true}}));
        const auto first = post(4000);
        QVERIFY2(first, qPrintable(first ? QString() : errorMessage(first.error())));
        QVERIFY(APIClient::isGzipRefused());
        QJsonArray seen = m_dev.requests();
        QCOMPARE(seen.size(), 2);
        QCOMPARE(encodingOf(seen.at(0)), u"gzip"_s);
        QCOMPARE(seen.at(0).toObject().value(u"status").toInt(), 400);
        QCOMPARE(encodingOf(seen.at(1)), QString());
        QCOMPARE(seen.at(1).toObject().value(u"bodySize").toInteger(), 4000);

        // Later posts go plain at once, even to a server that would now take gzip.
        QVERIFY(m_dev.setFaults({{u"refuseGzip"_s, false}}));
        m_dev.mark();
        QVERIFY(post(4000));
        seen = m_dev.requests();
        QCOMPARE(seen.size(), 1);
        QCOMPARE(encodingOf(seen.at(0)), QString());
    }
};

QTEST_GUILESS_MAIN(TestGzipRefusal)
#include "tst_gzip_refusal.moc"
