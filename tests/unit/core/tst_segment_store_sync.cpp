// Reconciliation with the server's view of the day, marking segments logged, and what may be uploaded.
#include "config.h"
#include "segment_store.h"
#include "test_support.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {
qint64 at(int h, int m, int s = 0) { return localMs(2025, 3, 14, h, m, s); }

Segment seg(qint64 start, qint64 end, std::optional<qint64> synced = std::nullopt, const QString &app = u"Editor"_qs,
            SegmentType type = SegmentType::process)
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), app, u"w"_qs, start, end, type, synced};
}
QString key(const Segment &s) { return s.id.toString(QUuid::WithoutBraces); }   // lower case, as the server sends

enum class ServerList { absent, knowsIt, lacksIt };

// A store over a temporary directory with the clock at noon of the test day and that day's file holding `lines`.
struct Fixture
{
    QTemporaryDir dir;
    FixedClock clock{at(12, 0)};
    SegmentStore store{dir.path(), [] { return true; }};

    explicit Fixture(const QByteArray &lines)
    {
        QFile f(path());
        if (!f.open(QIODevice::WriteOnly) || f.write(lines) != lines.size())
            qFatal("cannot write the fixture");
        f.close();
        store.loadSegments(Clock::now());
        QCoreApplication::processEvents();   // deliver the load's own notification before the test watches
    }
    explicit Fixture(const QList<Segment> &segments) : Fixture(SegmentStore::historyFileContent(segments)) {}
    [[nodiscard]] QString path() const { return store.segmentsFilePath(Clock::now()); }
    [[nodiscard]] QList<Segment> onDisk() const { return SegmentStore::readHistory(path()).history.segments; }
};
} // namespace

class TestSegmentStoreSync : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // One local segment against the server's answer.
    void reconcile_data()
    {
        QTest::addColumn<bool>("localSynced");
        QTest::addColumn<QString>("app");
        QTest::addColumn<bool>("logged");
        QTest::addColumn<ServerList>("list");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("syncedAfter");
        QTest::addColumn<int>("changes");
        const QString editor = u"Editor"_qs;
        const QString login = u"loginwindow"_qs;
        QTest::addRow("pending, logged there") << false << editor << true << ServerList::knowsIt << true << true << 1;
        QTest::addRow("synced, logged there") << true << editor << true << ServerList::knowsIt << true << true << 0;
        QTest::addRow("synced, not logged") << true << editor << false << ServerList::knowsIt << true << false << 1;
        QTest::addRow("synced, not logged, unknown counts twice")
            << true << editor << false << ServerList::lacksIt << true << false << 2;
        QTest::addRow("synced, not logged, no list") << true << editor << false << ServerList::absent << true << false
                                                     << 1;
        QTest::addRow("pending, unknown stays pending") << false << editor << false << ServerList::lacksIt << true
                                                        << false << 0;
        QTest::addRow("synced, logged, no list") << true << editor << true << ServerList::absent << true << true << 0;
        QTest::addRow("excluded, unknown is dropped") << false << login << false << ServerList::lacksIt << false
                                                      << false << 1;
        QTest::addRow("excluded synced, unknown is dropped") << true << login << true << ServerList::lacksIt << false
                                                             << false << 1;
        QTest::addRow("excluded, known is like any other") << false << login << true << ServerList::knowsIt << true
                                                           << true << 1;
        QTest::addRow("excluded, no list is never dropped") << true << login << false << ServerList::absent << true
                                                            << false << 1;
    }
    void reconcile()
    {
        QFETCH(bool, localSynced);
        QFETCH(QString, app);
        QFETCH(bool, logged);
        QFETCH(ServerList, list);
        QFETCH(bool, kept);
        QFETCH(bool, syncedAfter);
        QFETCH(int, changes);
        const Segment s = seg(at(9, 0), at(10, 0), localSynced ? std::optional<qint64>(at(10, 5)) : std::nullopt, app);
        const Segment other = seg(at(10, 0), at(11, 0));   // pending, unknown: must survive every row untouched
        Fixture f(QList<Segment>{s, other});

        QSet<QString> loggedIds;
        if (logged)
            loggedIds << key(s);
        std::optional<QSet<QString>> all;
        if (list != ServerList::absent)
            all = list == ServerList::knowsIt ? QSet<QString>{key(s)}
                                              : QSet<QString>{u"ffffffff-0000-4000-8000-000000000000"_qs};
        QCOMPARE(f.store.syncWithServer(loggedIds, all), changes);

        for (const QList<Segment> &result : {f.store.segments(), f.onDisk()}) {
            QCOMPARE(result.size(), kept ? 2 : 1);
            QCOMPARE(result.last(), other);
            if (kept) {
                QCOMPARE(result.first().id, s.id);
                QCOMPARE(result.first().isSynced(), syncedAfter);
            }
        }
    }

    void idsMatchWhateverTheirCase()
    {
        const Segment s = seg(at(9, 0), at(10, 0));
        QByteArray line = SegmentStore::historyFileContent({s});
        QVERIFY(line.contains(s.idString().toLatin1()));   // written upper-case
        Fixture f(line.replace(s.idString().toLatin1(), s.idString().toLower().toLatin1()));
        QCOMPARE(f.store.syncWithServer(QSet<QString>{key(s)}, QSet<QString>{key(s)}), 1);
        QVERIFY(f.store.segments().first().isSynced());
        // An answer in upper case still counts as the same ids: the segment is not made pending (and re-uploaded).
        QCOMPARE(f.store.syncWithServer(QSet<QString>{s.idString()}, QSet<QString>{s.idString()}), 0);
        QVERIFY(f.store.segments().first().isSynced());
    }

    void completeAnswerForm()
    {
        const Segment logged = seg(at(9, 0), at(10, 0));
        const Segment vanished = seg(at(10, 0), at(11, 0), at(11, 5));
        Fixture f(QList<Segment>{logged, vanished});
        QCOMPARE(f.store.syncWithServer(QList<SegmentStore::ServerSegmentState>{{logged.idString(), true}}), 1 + 2);
        QVERIFY(f.store.segments().at(0).isSynced());
        QVERIFY(!f.store.segments().at(1).isSynced());
    }

    // Nothing to change: an uncompacted day file is compacted quietly; a compact one is left alone.
    void nothingToChange_data()
    {
        QTest::addColumn<bool>("superseded");
        QTest::addRow("uncompacted file is rewritten") << true;
        QTest::addRow("compact file is left alone") << false;
    }
    void nothingToChange()
    {
        QFETCH(bool, superseded);
        Segment s = seg(at(9, 0), at(9, 0));
        QByteArray lines = SegmentStore::historyFileContent({s});
        s.endTime = at(9, 30);
        if (superseded)
            lines += SegmentStore::historyFileContent({s});
        else
            lines = SegmentStore::historyFileContent({s});
        Fixture f(lines);
        QCOMPARE(f.store.uncompactedPaths().contains(f.path()), superseded);
        const int rewrites = f.store.fileRewriteCount();
        QSignalSpy changed(&f.store, &SegmentStore::didChange);
        QCOMPARE(f.store.syncWithServer({}, QSet<QString>{key(s)}), 0);
        QCoreApplication::processEvents();
        QCOMPARE(changed.size(), 0);
        QCOMPARE(f.store.fileRewriteCount(), rewrites + (superseded ? 1 : 0));
        QVERIFY(!f.store.uncompactedPaths().contains(f.path()));
        QCOMPARE(f.onDisk(), QList<Segment>{s});
    }

    void markSynced()
    {
        const Segment a = seg(at(9, 0), at(10, 0));
        const Segment b = seg(at(10, 0), at(11, 0), at(11, 1));
        Fixture f(QList<Segment>{a, b});
        QSignalSpy changed(&f.store, &SegmentStore::didChange);
        const int rewrites = f.store.fileRewriteCount();

        f.store.markSegmentsSynced({});
        f.store.markSegmentsSynced({QUuid::createUuid()});
        QCoreApplication::processEvents();
        QCOMPARE(changed.size(), 0);
        QCOMPARE(f.store.fileRewriteCount(), rewrites);

        f.store.markSegmentsSynced({a.id, b.id});
        QCoreApplication::processEvents();
        QCOMPARE(changed.size(), 1);
        QCOMPARE(f.store.pendingSegments(), QList<Segment>{});
        QCOMPARE(f.store.syncedSegments().size(), 2);
        QCOMPARE(f.store.segments().at(1).syncedAt, at(12, 0));   // marked again: a new time
        QCOMPARE(f.onDisk(), f.store.segments());

        f.store.markSegmentUnsynced(a.id);
        QCOMPARE(f.store.pendingSegments().size(), 1);
        QCOMPARE(f.store.pendingSegments().first().id, a.id);
        QCOMPARE(f.onDisk(), f.store.segments());
    }

    void loggableBatch()
    {
        FixedClock clock(at(12, 0));
        const Segment live = seg(at(11, 50), at(11, 50));
        const QList<Segment> day{
            seg(at(0, 0, 5), at(1, 0)),                                                        // process ghost
            live,                                                                              // open
            seg(at(9, 0), at(9, 30), at(9, 31)),                                               // synced
            seg(at(9, 30), at(9, 40), std::nullopt, u"loginwindow"_qs),                        // excluded
            seg(at(3, 0), at(8, 0), std::nullopt, u"Inactivity"_qs, SegmentType::inactivity),  // 5 h away
            seg(at(10, 0), at(10, 10)),                                                        // kept
            seg(at(10, 10), at(10, 20), std::nullopt, u"Inactivity"_qs, SegmentType::inactivity),   // kept
        };
        const QList<Segment> batch = SegmentStore::loggableBatch(day, live.id);
        QCOMPARE(batch, (QList<Segment>{day.at(5), day.at(6)}));
    }
};

QTEST_GUILESS_MAIN(TestSegmentStoreSync)
#include "tst_segment_store_sync.moc"
