// The stand-in web service's HTTP API, sign-in page and fault knobs, over real HTTP on loopback.
#include "devservice_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

using namespace DevServiceWire;

namespace {

constexpr qint64 T0 = 1772438400000; // a morning; the server keys days by the "date" field, not by the time
const QString kDay = QStringLiteral("2026-03-02");

QJsonObject claimsOf(const QByteArray &token)
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3)
        return {};
    return QJsonDocument::fromJson(QByteArray::fromBase64(parts[1], QByteArray::Base64UrlEncoding)).object();
}

QByteArray formBody(const QString &email, const QString &nonce, const QString &redirect)
{
    return "email=" + QUrl::toPercentEncoding(email) + "&nonce=" + QUrl::toPercentEncoding(nonce) +
           "&redirect=" + QUrl::toPercentEncoding(redirect);
}

const QList<QPair<QByteArray, QByteArray>> kFormHeaders{
    {QByteArray("Content-Type"), QByteArray("application/x-www-form-urlencoded")}};

} // namespace

class DevServiceApiTest : public QObject
{
    Q_OBJECT

private:
    DevServiceProcess m_svc;
    QByteArray m_token;

    HttpReply log(const QJsonObject &request) { return m_svc.postJson(QStringLiteral("/api/segments/log"), request, m_token); }
    HttpReply day(const QString &date = kDay) { return m_svc.get(QStringLiteral("/api/segments?date=") + date, m_token); }
    HttpReply postRaw(const QByteArray &body, const QByteArray &encoding)
    {
        return m_svc.send("POST", QStringLiteral("/api/segments/log"), body,
                          {{QByteArray("Content-Type"), QByteArray("application/json")},
                           {QByteArray("Content-Encoding"), encoding},
                           {QByteArray("Authorization"), "Bearer " + m_token}});
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_svc.start());
        QVERIFY2(QRegularExpression(QStringLiteral("^api=(http://127\\.0\\.0\\.1:\\d+) web=\\1 realtime=\\1$"))
                     .match(m_svc.firstLine())
                     .hasMatch(),
                 qPrintable(m_svc.firstLine()));
    }

    void init()
    {
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/reset")).status, 200);
        m_token = m_svc.tokenFor(QStringLiteral("ada@example.com"));
        QVERIFY(!m_token.isEmpty());
    }

    void signInRedirectsWithTokenAndNonce()
    {
        const QString nonce = QStringLiteral("6F1C7E2A-0B7D-4E3F-9A10-7C2B5D8E9F01");
        const HttpReply page = m_svc.get(QStringLiteral("/desktop-auth?redirect=kelvora://auth&nonce=") + nonce);
        QCOMPARE(page.status, 200);
        QVERIFY(page.body.contains("Sign in"));
        QVERIFY(page.body.contains("value=\"" + nonce.toLatin1() + "\""));

        const HttpReply done = m_svc.send("POST", QStringLiteral("/desktop-auth"),
                                          formBody(QStringLiteral(" Ada@Example.com"), nonce, QStringLiteral("kelvora://auth")),
                                          kFormHeaders);
        QCOMPARE(done.status, 302);
        const QUrl location(QString::fromLatin1(done.header("Location")));
        QCOMPARE(location.scheme(), QStringLiteral("kelvora"));
        QCOMPARE(location.host(), QStringLiteral("auth"));
        const QUrlQuery query(location);
        QCOMPARE(query.queryItemValue(QStringLiteral("nonce")), nonce);
        const QByteArray token = query.queryItemValue(QStringLiteral("token")).toLatin1();
        const QJsonObject claims = claimsOf(token);
        QCOMPARE(claims.value(QStringLiteral("email")).toString(), QStringLiteral("ada@example.com"));
        QVERIFY(claims.value(QStringLiteral("exp")).toInteger() > QDateTime::currentSecsSinceEpoch());
        // The id names the user's data folder: stable per address and a plain path component.
        const QString sub = claims.value(QStringLiteral("sub")).toString();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f-]{36}$")).match(sub).hasMatch());
        QCOMPARE(sub, claimsOf(m_token).value(QStringLiteral("sub")).toString());
        QCOMPARE(m_svc.get(QStringLiteral("/api/user/profile"), token).status, 200);

        const HttpReply out = m_svc.send("POST", QStringLiteral("/desktop-auth"),
                                         "action=logout&" + formBody(QString(), nonce, QStringLiteral("kelvora://auth")),
                                         kFormHeaders);
        QCOMPARE(out.status, 302);
        QCOMPARE(out.header("Location"), "kelvora://logout?nonce=" + nonce.toLatin1());
    }

    void signInErrorKnobRedirectsWithError()
    {
        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("signInError"), QStringLiteral("account locked")}});
        const HttpReply done = m_svc.send("POST", QStringLiteral("/desktop-auth"),
                                          formBody(QStringLiteral("ada@example.com"), QStringLiteral("N1"),
                                                   QStringLiteral("kelvora://auth")),
                                          kFormHeaders);
        QCOMPARE(done.status, 302);
        const QUrlQuery query(QUrl(QString::fromLatin1(done.header("Location"))));
        QCOMPARE(query.queryItemValue(QStringLiteral("error"), QUrl::FullyDecoded), QStringLiteral("account locked"));
        QCOMPARE(query.queryItemValue(QStringLiteral("nonce")), QStringLiteral("N1"));
        QVERIFY(!query.hasQueryItem(QStringLiteral("token")));
    }

    void signInRefusesWhatItCannotTrust_data()
    {
        QTest::addColumn<QString>("redirect");
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QString>("email");
        QTest::addRow("web redirect") << "https://attacker.example/steal" << "N1" << "a@example.com";
        QTest::addRow("scheme in capitals") << "KELVORA://auth" << "N1" << "a@example.com";
        QTest::addRow("redirect with its own query") << "kelvora://auth?token=planted" << "N1" << "a@example.com";
        QTest::addRow("no nonce") << "kelvora://auth" << "" << "a@example.com";
        QTest::addRow("markup in nonce") << "kelvora://auth" << "\"><script>x</script>" << "a@example.com";
        QTest::addRow("not an e-mail") << "kelvora://auth" << "N1" << "ada";
    }

    void signInRefusesWhatItCannotTrust()
    {
        QFETCH(QString, redirect);
        QFETCH(QString, nonce);
        QFETCH(QString, email);
        const HttpReply reply = m_svc.send("POST", QStringLiteral("/desktop-auth"), formBody(email, nonce, redirect),
                                           kFormHeaders);
        QCOMPARE(reply.status, 400);
        QVERIFY(reply.header("Location").isEmpty());
        QVERIFY(!reply.body.contains("<script>"));
    }

    void apiRefusesBadTokens_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        const QByteArray good = m_svc.tokenFor(QStringLiteral("bob@example.com"));
        QByteArray tampered = good;
        tampered[tampered.size() - 2] = tampered.at(tampered.size() - 2) == 'A' ? 'B' : 'A';
        const QList<QByteArray> parts = good.split('.');
        const QByteArray unsigned_ = QByteArray(R"({"alg":"none","typ":"JWT"})").toBase64(QByteArray::Base64UrlEncoding |
                                                                                           QByteArray::OmitTrailingEquals) +
                                     '.' + parts[1] + '.';
        QTest::addRow("missing") << QByteArray();
        QTest::addRow("not bearer") << QByteArray("Basic " + good);
        QTest::addRow("garbage") << QByteArray("Bearer not-a-token");
        QTest::addRow("tampered signature") << QByteArray("Bearer " + tampered);
        QTest::addRow("alg none") << QByteArray("Bearer " + unsigned_);
        QTest::addRow("expired") << QByteArray("Bearer " + m_svc.tokenFor(QStringLiteral("bob@example.com"), -5));
    }

    void apiRefusesBadTokens()
    {
        QFETCH(QByteArray, authorization);
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!authorization.isEmpty())
            headers.append({QByteArray("Authorization"), authorization});
        const HttpReply reply = m_svc.send("GET", QStringLiteral("/api/segments/calendar"), {}, headers);
        QCOMPARE(reply.status, 401);
        QVERIFY(!reply.json().value(QStringLiteral("error")).toString().isEmpty());
    }

    void dayTotalsMergeOverlaps_data()
    {
        QTest::addColumn<QList<qint64>>("bounds"); // start, end pairs in ms after T0
        QTest::addColumn<qint64>("trackedSec");
        QTest::addRow("overlap counts once") << QList<qint64>{0, 60000, 30000, 90000} << qint64(90);
        QTest::addRow("contained") << QList<qint64>{0, 100000, 10000, 20000} << qint64(100);
        QTest::addRow("touching blocks join") << QList<qint64>{0, 1500, 1500, 3000} << qint64(3);
        QTest::addRow("each block loses its own fraction") << QList<qint64>{0, 1500, 5000, 6500} << qint64(2);
        QTest::addRow("disjoint") << QList<qint64>{0, 10000, 20000, 25000} << qint64(15);
    }

    void dayTotalsMergeOverlaps()
    {
        QFETCH(QList<qint64>, bounds);
        QFETCH(qint64, trackedSec);
        QList<Seg> segments;
        for (qsizetype i = 0; i + 1 < bounds.size(); i += 2)
            segments.append(Seg{uuid(int(i)), T0 + bounds[i], T0 + bounds[i + 1]});
        QCOMPARE(log(fullRequest(segments)).json().value(QStringLiteral("updated")).toInt(), segments.size());
        const QJsonObject answer = day().json();
        QCOMPARE(answer.value(QStringLiteral("trackedSec")).toInteger(), trackedSec);
        QCOMPARE(answer.value(QStringLiteral("loggedSec")).toInteger(), trackedSec);
    }

    void loggedDayComesBackWithTextTimes()
    {
        const HttpReply logged = log(fullRequest({{uuid(1), T0, T0 + 60000}, {uuid(2), T0 + 30000, T0 + 120000},
                                                  {uuid(3), T0, T0 + 5000, QStringLiteral("2026-03-03")}}));
        QCOMPARE(logged.status, 200);
        const QJsonObject answer = logged.json();
        QCOMPARE(answer.value(QStringLiteral("success")).toBool(), true);
        QCOMPARE(answer.value(QStringLiteral("updated")).toInt(), 3);
        QCOMPARE(answer.value(QStringLiteral("rejected")).toInt(), 0);
        QCOMPARE(answer.value(QStringLiteral("totalLoggedSecs")).toInteger(), 125);
        QCOMPARE(answer.value(QStringLiteral("calendarPatch")).toObject(),
                 (QJsonObject{{kDay, 120}, {QStringLiteral("2026-03-03"), 5}}));
        // Logging the same segments again changes nothing: the server is idempotent by id.
        QCOMPARE(log(fullRequest({{uuid(1), T0, T0 + 60000}})).json().value(QStringLiteral("totalLoggedSecs")).toInteger(), 125);

        const QJsonObject fetched = day().json();
        QCOMPARE(fetched.value(QStringLiteral("date")).toString(), kDay);
        const QJsonArray segments = fetched.value(QStringLiteral("segments")).toArray();
        QCOMPARE(segments.size(), 2);
        const QJsonObject first = segments.at(0).toObject();
        QCOMPARE(first.value(QStringLiteral("id")).toString(), uuid(1).toLower());
        QCOMPARE(first.value(QStringLiteral("startTime")).toString(),
                 QDateTime::fromMSecsSinceEpoch(T0, Qt::UTC).toString(Qt::ISODateWithMs));
        QVERIFY(first.value(QStringLiteral("endTime")).isString());
        QCOMPARE(first.value(QStringLiteral("logged")).toBool(), true);
        QCOMPARE(first.value(QStringLiteral("appName")).toString(), QStringLiteral("Editor"));

        const QJsonObject calendar = m_svc.get(QStringLiteral("/api/segments/calendar"), m_token).json();
        QCOMPARE(calendar.value(QStringLiteral("calendar")).toObject(),
                 (QJsonObject{{kDay, 120}, {QStringLiteral("2026-03-03"), 5}}));
        QCOMPARE(calendar.value(QStringLiteral("startDate")).toString(), kDay);
        QVERIFY(calendar.value(QStringLiteral("endDate")).isString());

        // Another user sees none of it.
        const QByteArray other = m_svc.tokenFor(QStringLiteral("eve@example.com"));
        QCOMPARE(m_svc.get(QStringLiteral("/api/segments?date=") + kDay, other).json()
                     .value(QStringLiteral("segments")).toArray().size(), 0);
    }

    void resentSegmentReplacesItsTimes()
    {
        QCOMPARE(log(fullRequest({{uuid(1), T0, T0 + 60000}, {uuid(2), T0 + 100000, T0 + 110000}})).status, 200);
        QCOMPARE(log(fullRequest({{uuid(1), T0, T0 + 30000}})).json().value(QStringLiteral("calendarPatch")).toObject(),
                 (QJsonObject{{kDay, 40}}));
        QCOMPARE(day().json().value(QStringLiteral("trackedSec")).toInteger(), 40);
        // Moved to another day, it leaves the first.
        const QJsonObject moved = log(fullRequest({{uuid(1), T0, T0 + 30000, QStringLiteral("2026-03-01")}})).json();
        QCOMPARE(moved.value(QStringLiteral("calendarPatch")).toObject(),
                 (QJsonObject{{kDay, 10}, {QStringLiteral("2026-03-01"), 30}}));
        QCOMPARE(day().json().value(QStringLiteral("segments")).toArray().size(), 1);
    }

    void unlogThenIdsOnlyMarksLoggedAgain()
    {
        QCOMPARE(log(fullRequest({{uuid(1), T0, T0 + 60000}, {uuid(2), T0 + 60000, T0 + 90000}})).status, 200);
        QCOMPARE(m_svc.send("DELETE", QStringLiteral("/api/segments/%1/unlog").arg(uuid(2)), {},
                            {{QByteArray("Authorization"), "Bearer " + m_token}}).status, 200);
        QJsonObject fetched = day().json();
        QCOMPARE(fetched.value(QStringLiteral("trackedSec")).toInteger(), 90);
        QCOMPARE(fetched.value(QStringLiteral("loggedSec")).toInteger(), 60);
        QCOMPARE(fetched.value(QStringLiteral("segments")).toArray().at(1).toObject().value(QStringLiteral("logged")).toBool(), false);

        // Known ids sent alone are logged again; an id the server never saw is refused.
        const QJsonObject answer = log(idsRequest({uuid(1), uuid(2), uuid(99)})).json();
        QCOMPARE(answer.value(QStringLiteral("updated")).toInt(), 2);
        QCOMPARE(answer.value(QStringLiteral("rejected")).toInt(), 1);
        QCOMPARE(day().json().value(QStringLiteral("loggedSec")).toInteger(), 90);

        QCOMPARE(m_svc.send("DELETE", QStringLiteral("/api/segments/%1/unlog").arg(uuid(98)), {},
                            {{QByteArray("Authorization"), "Bearer " + m_token}}).status, 404);
        for (const QString &id : {uuid(1), uuid(2)})
            m_svc.send("DELETE", QStringLiteral("/api/segments/%1/unlog").arg(id), {},
                       {{QByteArray("Authorization"), "Bearer " + m_token}});
        QVERIFY(m_svc.get(QStringLiteral("/api/segments/calendar"), m_token).json()
                    .value(QStringLiteral("calendar")).toObject().isEmpty());
        QCOMPARE(day().json().value(QStringLiteral("segments")).toArray().size(), 2);
    }

    void malformedLogRequestsAre400_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("mentions");
        const QByteArray seg = R"({"id":"00000001-AAAA-4BBB-8CCC-DDDDDDDDDDDD","date":"2026-03-02","appName":"A","windowTitle":"t","startTime":1,"endTime":2,"type":"process"})";
        const QByteArray ids = R"("ids":["00000001-AAAA-4BBB-8CCC-DDDDDDDDDDDD"])";
        QTest::addRow("not JSON") << QByteArray("{") << "JSON";
        QTest::addRow("no emitSocket") << QByteArray("{" + ids + R"(,"segments":[]})") << "emitSocket";
        QTest::addRow("ids not a list") << QByteArray(R"({"ids":"x","segments":[],"emitSocket":false})") << "ids";
        QTest::addRow("unknown key") << QByteArray("{" + ids + R"(,"segments":[],"emitSocket":false,"extra":1})") << "extra";
        QByteArray noTitle = seg;
        noTitle.replace(R"("windowTitle":"t",)", "");
        QTest::addRow("segment without windowTitle") << QByteArray("{" + ids + R"(,"segments":[)" + noTitle + R"(],"emitSocket":false})") << "windowTitle";
        QByteArray textTime = seg;
        textTime.replace(R"("startTime":1)", R"("startTime":"1")");
        QTest::addRow("startTime as text") << QByteArray("{" + ids + R"(,"segments":[)" + textTime + R"(],"emitSocket":false})") << "startTime";
        QByteArray fraction = seg;
        fraction.replace(R"("endTime":2)", R"("endTime":2.5)");
        QTest::addRow("fractional endTime") << QByteArray("{" + ids + R"(,"segments":[)" + fraction + R"(],"emitSocket":false})") << "endTime";
        QTest::addRow("segment not in ids") << QByteArray(R"({"ids":[],"segments":[)" + seg + R"(],"emitSocket":false})") << "not listed";
        QJsonArray many;
        for (int i = 0; i < 251; ++i)
            many.append(uuid(i));
        QTest::addRow("more than 250 ids") << QJsonDocument(QJsonObject{{QStringLiteral("ids"), many},
                                                                        {QStringLiteral("segments"), QJsonArray()},
                                                                        {QStringLiteral("emitSocket"), false}}).toJson()
                                           << "250";
    }

    void malformedLogRequestsAre400()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, mentions);
        const HttpReply reply = postRaw(body, "identity");
        QCOMPARE(reply.status, 400);
        const QString error = reply.json().value(QStringLiteral("error")).toString();
        QVERIFY2(error.contains(mentions), qPrintable(error));
    }

    void unstorableSegmentsAreRejectedNotFatal()
    {
        const QJsonObject answer = log(fullRequest({{uuid(1), T0, T0 + 1000},
                                                    {uuid(2), T0 + 5000, T0 + 1000},
                                                    {uuid(3), T0, T0 + 1000, kDay, QStringLiteral("meeting")}})).json();
        QCOMPARE(answer.value(QStringLiteral("updated")).toInt(), 1);
        QCOMPARE(answer.value(QStringLiteral("rejected")).toInt(), 2);
    }

    void gzipBodiesAreInflatedAndChecked()
    {
        const QByteArray plain = QJsonDocument(fullRequest({{uuid(1), T0, T0 + 60000}})).toJson(QJsonDocument::Compact);
        const QByteArray packed = gzip(plain);
        QCOMPARE(postRaw(packed, "gzip").json().value(QStringLiteral("updated")).toInt(), 1);
        const QJsonObject entry = m_svc.send("GET", QStringLiteral("/__admin/requests?path=/api/segments/log")).json()
                                      .value(QStringLiteral("requests")).toArray().last().toObject();
        QCOMPARE(entry.value(QStringLiteral("contentEncoding")).toString(), QStringLiteral("gzip"));
        QCOMPARE(entry.value(QStringLiteral("bodySize")).toInteger(), packed.size());
        QCOMPARE(entry.value(QStringLiteral("decodedSize")).toInteger(), plain.size());
        QCOMPARE(entry.value(QStringLiteral("body")).toString().toUtf8(), plain);
        QCOMPARE(QByteArray::fromBase64(entry.value(QStringLiteral("rawBodyBase64")).toString().toLatin1()), packed);

        // Broken framing is a plain 400 that does not read as a refusal of compression, so a client
        // with a bad CRC or length cannot mistake it for one and fall back silently.
        QByteArray badCrc = packed;
        badCrc[badCrc.size() - 8] = static_cast<char>(badCrc.at(badCrc.size() - 8) ^ 0x01);
        QByteArray badLength = packed;
        badLength[badLength.size() - 1] = static_cast<char>(badLength.at(badLength.size() - 1) ^ 0x01);
        for (const QByteArray &broken : {badCrc, badLength, packed.left(packed.size() - 4), packed + "x", plain}) {
            const HttpReply reply = postRaw(broken, "gzip");
            QCOMPARE(reply.status, 400);
            QVERIFY2(!reply.body.toLower().contains("gzip"), reply.body.constData());
        }
        QCOMPARE(postRaw(plain, "br").status, 415);
    }

    void gzipAnswerWhenAsked()
    {
        QCOMPARE(log(fullRequest({{uuid(1), T0, T0 + 60000}})).status, 200);
        const HttpReply reply = m_svc.send("GET", QStringLiteral("/api/segments?date=") + kDay, {},
                                           {{QByteArray("Authorization"), "Bearer " + m_token},
                                            {QByteArray("Accept-Encoding"), QByteArray("gzip")}});
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Encoding"), QByteArray("gzip"));
        QCOMPARE(QJsonDocument::fromJson(gunzip(reply.body)).object().value(QStringLiteral("trackedSec")).toInteger(), 60);

        const HttpReply plain = m_svc.send("GET", QStringLiteral("/api/segments?date=") + kDay, {},
                                           {{QByteArray("Authorization"), "Bearer " + m_token},
                                            {QByteArray("Accept-Encoding"), QByteArray("identity")}});
        QVERIFY(plain.header("Content-Encoding").isEmpty());
        QCOMPARE(plain.json().value(QStringLiteral("trackedSec")).toInteger(), 60);

        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("gzipAnswers"), false}});
        const HttpReply unasked = m_svc.send("GET", QStringLiteral("/api/segments?date=") + kDay, {},
                                             {{QByteArray("Authorization"), "Bearer " + m_token},
                                              {QByteArray("Accept-Encoding"), QByteArray("gzip")}});
        QVERIFY(unasked.header("Content-Encoding").isEmpty());
        QCOMPARE(unasked.json().value(QStringLiteral("trackedSec")).toInteger(), 60);
    }

    void failNextAnswersWithStatus_data()
    {
        QTest::addColumn<int>("status");
        for (int status : {302, 401, 404, 500, 599, 600})
            QTest::addRow("%d", status) << status;
    }

    void failNextAnswersWithStatus()
    {
        QFETCH(int, status);
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"),
                             QJsonObject{{QStringLiteral("failNext"),
                                          QJsonObject{{QStringLiteral("path"), QStringLiteral("/api/segments/log")},
                                                      {QStringLiteral("count"), 2},
                                                      {QStringLiteral("status"), status}}}}).status, 200);
        const QJsonObject request = fullRequest({{uuid(1), T0, T0 + 1000}});
        const HttpReply first = log(request);
        QCOMPARE(first.status, status);
        QVERIFY(first.header("Location").isEmpty());
        QCOMPARE(day().status, 200); // other paths are untouched
        QCOMPARE(log(request).status, status);
        QCOMPARE(log(request).status, 200);
    }

    void faultRequestsAreStrict()
    {
        for (const QJsonObject &bad : {QJsonObject{{QStringLiteral("bogus"), 1}},
                                       QJsonObject{{QStringLiteral("delayMs"), -1}},
                                       QJsonObject{{QStringLiteral("failNext"), QJsonObject{{QStringLiteral("path"), QStringLiteral("*")}}}},
                                       QJsonObject{{QStringLiteral("refuseGzip"), true}, {QStringLiteral("socketToken"), QStringLiteral("odd")}}}) {
            QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"), bad).status, 400);
        }
        // A rejected request changes nothing, not even its valid keys.
        QCOMPARE(m_svc.send("GET", QStringLiteral("/__admin/faults")).json().value(QStringLiteral("refuseGzip")).toBool(), false);
    }

    void delayHoldsTheAnswer()
    {
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("delayMs"), 400}}).status, 200);
        QVERIFY(day().elapsedMs >= 400);
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("delayMs"), 0}}).status, 200);
        QVERIFY(day().elapsedMs < 400);
    }

    void refuseGzipMentionsGzip()
    {
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("refuseGzip"), true}}).status, 200);
        const QByteArray plain = QJsonDocument(fullRequest({{uuid(1), T0, T0 + 1000}})).toJson();
        const HttpReply refused = postRaw(gzip(plain), "gzip");
        QCOMPARE(refused.status, 400);
        QVERIFY(refused.body.toLower().contains("gzip"));
        QCOMPARE(postRaw(plain, "identity").status, 200);
    }

    void rejectIdsAreCountedAndNotStored()
    {
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"),
                             QJsonObject{{QStringLiteral("rejectIds"), QJsonArray{uuid(2).toLower()}}}).status, 200);
        const QJsonObject answer = log(fullRequest({{uuid(1), T0, T0 + 1000}, {uuid(2), T0 + 2000, T0 + 3000}})).json();
        QCOMPARE(answer.value(QStringLiteral("updated")).toInt(), 1);
        QCOMPARE(answer.value(QStringLiteral("rejected")).toInt(), 1);
        QCOMPARE(day().json().value(QStringLiteral("segments")).toArray().size(), 1);
    }

    void expiredTokensGet401()
    {
        QCOMPARE(day().status, 200);
        QCOMPARE(m_svc.admin(QStringLiteral("/__admin/faults"),
                             QJsonObject{{QStringLiteral("expireTokensOf"), QStringLiteral("ada@example.com")}}).status, 200);
        const HttpReply refused = day();
        QCOMPARE(refused.status, 401);
        QCOMPARE(refused.json().value(QStringLiteral("error")).toString(), QStringLiteral("Token has expired"));
        // Signing in again gives a token that works.
        QCOMPARE(m_svc.get(QStringLiteral("/api/segments?date=") + kDay, m_svc.tokenFor(QStringLiteral("ada@example.com"))).status, 200);
    }

    void journalRecordsHeadersAsSent()
    {
        m_svc.send("GET", QStringLiteral("/api/segments?date=") + kDay, {},
                   {{QByteArray("Authorization"), "Bearer " + m_token},
                    {QByteArray("X-Kelvora-Client"), QByteArray("desktop")},
                    {QByteArray("X-Kelvora-Time-Zone"), QByteArray("Europe/Vienna")}});
        const QJsonObject entry = m_svc.send("GET", QStringLiteral("/__admin/requests")).json()
                                      .value(QStringLiteral("requests")).toArray().last().toObject();
        QCOMPARE(entry.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
        QCOMPARE(entry.value(QStringLiteral("path")).toString(), QStringLiteral("/api/segments"));
        QCOMPARE(entry.value(QStringLiteral("query")).toString(), QStringLiteral("date=") + kDay);
        const QJsonObject headers = entry.value(QStringLiteral("headerMap")).toObject();
        QCOMPARE(headers.value(QStringLiteral("x-kelvora-client")).toString(), QStringLiteral("desktop"));
        QCOMPARE(headers.value(QStringLiteral("x-kelvora-time-zone")).toString(), QStringLiteral("Europe/Vienna"));
        QCOMPARE(headers.value(QStringLiteral("authorization")).toString(), QString::fromLatin1("Bearer " + m_token));
    }

    void adminRefusesWebPages()
    {
        const HttpReply reply = m_svc.send("POST", QStringLiteral("/__admin/reset"), "{}",
                                           {{QByteArray("Content-Type"), QByteArray("application/json")},
                                            {QByteArray("Origin"), QByteArray("https://attacker.example")}});
        QCOMPARE(reply.status, 403);
    }

    void socketTokenCarriesUserTopic()
    {
        const QString sub = claimsOf(m_token).value(QStringLiteral("sub")).toString();
        const QJsonObject ticket = m_svc.get(QStringLiteral("/api/auth/socket-token"), m_token).json();
        QCOMPARE(ticket.value(QStringLiteral("realtimeTopic")).toString(), QStringLiteral("user:") + sub);
        QCOMPARE(claimsOf(ticket.value(QStringLiteral("realtimeToken")).toString().toLatin1())
                     .value(QStringLiteral("sub")).toString(), sub);
        // The realtime token is no session token.
        QCOMPARE(m_svc.get(QStringLiteral("/api/user/profile"), ticket.value(QStringLiteral("realtimeToken")).toString().toLatin1()).status, 401);

        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("socketToken"), QStringLiteral("noTopic")}});
        const QJsonObject bare = m_svc.get(QStringLiteral("/api/auth/socket-token"), m_token).json();
        QVERIFY(bare.value(QStringLiteral("realtimeToken")).isString());
        QVERIFY(!bare.contains(QStringLiteral("realtimeTopic")));
        m_svc.admin(QStringLiteral("/__admin/faults"), QJsonObject{{QStringLiteral("socketToken"), QStringLiteral("none")}});
        QVERIFY(m_svc.get(QStringLiteral("/api/auth/socket-token"), m_token).json().isEmpty());
    }

    void versionReportsConfiguredLatest()
    {
        DevServiceProcess svc;
        QVERIFY(svc.start({QStringLiteral("--latest-version"), QStringLiteral("3.1.4")}));
        QTRY_VERIFY(svc.stderrText().contains("not the Kelvora service"));
        const HttpReply reply = svc.send("GET", QStringLiteral("/api/desktop/version"), {},
                                         {{QByteArray("X-Kelvora-Environment"), QByteArray("kelvora app")}});
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().value(QStringLiteral("latestVersion")).toString(), QStringLiteral("3.1.4"));
        QVERIFY(reply.json().value(QStringLiteral("downloadUrl")).isString());
        QVERIFY(reply.json().value(QStringLiteral("releaseNotes")).isString());
    }

    void dataAndTokensSurviveRestart()
    {
        QTemporaryDir dir;
        const QString db = dir.filePath(QStringLiteral("service.sqlite"));
        QByteArray token;
        {
            DevServiceProcess svc;
            QVERIFY(svc.start({QStringLiteral("--db"), db}));
            token = svc.tokenFor(QStringLiteral("ada@example.com"));
            QCOMPARE(svc.postJson(QStringLiteral("/api/segments/log"), fullRequest({{uuid(1), T0, T0 + 60000}}), token).status, 200);
        }
        QCOMPARE(QFile(db).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        DevServiceProcess svc;
        QVERIFY(svc.start({QStringLiteral("--db"), db}));
        const QJsonObject fetched = svc.get(QStringLiteral("/api/segments?date=") + kDay, token).json();
        QCOMPARE(fetched.value(QStringLiteral("loggedSec")).toInteger(), 60);
    }
};

QTEST_GUILESS_MAIN(DevServiceApiTest)
#include "devservice_api_test.moc"
