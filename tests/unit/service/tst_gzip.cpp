// Gzip framing: our header, CRC-32 and trailer must make a member that zlib and the gzip tool both read back.
#include "gzip.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

namespace {

quint32 littleEndianAt(const QByteArray &bytes, qsizetype at)
{
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<quint8>(bytes.at(at + i));
    return v;
}

QByteArray sampleBody(qsizetype size)
{
    // JSON-like and partly random, so DEFLATE has both repetition and noise to deal with.
    QByteArray out;
    QRandomGenerator rng(42);
    while (out.size() < size) {
        out += R"({"id":"8F14E45F-CEEA-467F-A0E6-)" + QByteArray::number(rng.generate(), 16).toUpper() + R"(","appName":"Editor"},)";
    }
    out.truncate(size);
    return out;
}

} // namespace

class TestGzip : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void crc32_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<quint32>("crc");
        QTest::addRow("empty") << QByteArray() << 0x00000000U;
        QTest::addRow("check value") << QByteArray("123456789") << 0xCBF43926U;
        QTest::addRow("one byte") << QByteArray("a") << 0xE8B7BE43U;
        QTest::addRow("zero byte") << QByteArray(1, '\0') << 0xD202EF8DU;
        QTest::addRow("high bytes") << QByteArray("\xff\xfe\x80", 3) << 0x265EA2ECU;
    }
    void crc32()
    {
        QFETCH(QByteArray, input);
        QFETCH(quint32, crc);
        QCOMPARE(Gzip::crc32(input), crc);
    }

    void compressFraming_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addRow("one byte") << QByteArray("x");
        QTest::addRow("threshold body") << sampleBody(1024);
        QTest::addRow("full batch size") << sampleBody(20000);
        QTest::addRow("incompressible") << [] {
            QByteArray noise(70000, Qt::Uninitialized);
            QRandomGenerator rng(7);
            for (char &c : noise)
                c = static_cast<char>(rng.bounded(256));
            return noise;
        }();
    }
    void compressFraming()
    {
        QFETCH(QByteArray, input);
        const auto gz = Gzip::compress(input);
        QVERIFY(gz);
        QCOMPARE(gz->left(10), QByteArray::fromHex("1f8b0800000000000003"));
        QCOMPARE(littleEndianAt(*gz, gz->size() - 8), Gzip::crc32(input));
        QCOMPARE(littleEndianAt(*gz, gz->size() - 4), static_cast<quint32>(input.size()));
        // zlib's own gzip reader checks header, CRC and length.
        QCOMPARE(Gzip::decompress(*gz).value_or("<failed>"), input);
    }

    void gzipToolReadsIt()
    {
        const QString tool = QStandardPaths::findExecutable(QStringLiteral("gzip"));
        if (tool.isEmpty())
            QSKIP("the gzip tool is not installed");
        const QByteArray input = sampleBody(30000);
        QProcess gzip;
        gzip.start(tool, {QStringLiteral("-dc")});
        QVERIFY(gzip.waitForStarted());
        gzip.write(Gzip::compress(input).value());
        gzip.closeWriteChannel();
        QVERIFY(gzip.waitForFinished());
        QCOMPARE(gzip.exitCode(), 0);
        QCOMPARE(gzip.readAllStandardOutput(), input);
    }

    void emptyInputGivesNothing() { QVERIFY(!Gzip::compress(QByteArray())); }

    void decompressRefusesDamage_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qsizetype>("maxSize");
        const QByteArray good = Gzip::compress(sampleBody(5000)).value();
        QByteArray badCrc = good;
        badCrc[badCrc.size() - 6] = static_cast<char>(badCrc.at(badCrc.size() - 6) ^ 0x01);
        QByteArray badLength = good;
        badLength[badLength.size() - 1] = static_cast<char>(badLength.at(badLength.size() - 1) ^ 0x01);
        QTest::addRow("wrong CRC") << badCrc << Gzip::kDefaultMaxInflatedSize;
        QTest::addRow("wrong length") << badLength << Gzip::kDefaultMaxInflatedSize;
        QTest::addRow("truncated") << good.left(good.size() - 20) << Gzip::kDefaultMaxInflatedSize;
        QTest::addRow("not gzip") << QByteArray(R"({"success":true,"updated":1})") << Gzip::kDefaultMaxInflatedSize;
        QTest::addRow("inflates beyond the limit") << Gzip::compress(QByteArray(1 << 20, 'a')).value() << qsizetype(1 << 16);
    }
    void decompressRefusesDamage()
    {
        QFETCH(QByteArray, data);
        QFETCH(qsizetype, maxSize);
        QVERIFY(!Gzip::decompress(data, maxSize));
    }
};

QTEST_GUILESS_MAIN(TestGzip)
#include "tst_gzip.moc"
