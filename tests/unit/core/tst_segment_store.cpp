// SegmentStore: opening and closing, appends, the tail repair, loading (line breaks, welded and superseded
// records, invalid UTF-8), midnight crossings (also across DST changes, with either day selected), day selection,
// the deferred notification and the write-failure paths. Runs with TZ=Europe/Berlin.
#include "failing_file_access.h"
#include "store_fixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace StoreTest;
using TestSupport::FixedClock;
using TestSupport::localMs;

namespace {

qint64 noon() { return localMs(2025, 3, 14, 12, 0); }

struct Fixture
{
    QTemporaryDir dir;
    bool signedIn = true;
    SegmentStore store;
    explicit Fixture(FileAccess *files = nullptr)
        : store(dir.path(), [this] { return signedIn; }, nullptr, files)
    {
    }
    [[nodiscard]] QString today() const { return store.segmentsFilePath(Clock::now()); }
    [[nodiscard]] QString fileOf(qint64 ms) const { return dayFile(dir.path(), ms); }
};

} // namespace

class TestSegmentStore : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { Clock::reset(); }

    void filePathNamesTheDay()
    {
        FixedClock clock(noon());
        Fixture f;
        QCOMPARE(f.store.segmentsFilePath(Clock::now()), f.dir.path() + u"/processes-2025-03-14.jsonl"_qs);
        // Any instant of the day names the same file; 23:59:59.999 is still the 14th.
        QCOMPARE(f.store.segmentsFilePath(QDateTime::fromMSecsSinceEpoch(localMs(2025, 3, 14, 23, 59, 59, 999))),
                 f.store.segmentsFilePath(Clock::now()));
    }

    void startRefusedWhenSignedOut()
    {
        FixedClock clock(noon());
        Fixture f;
        f.signedIn = false;
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        QVERIFY(f.store.segments().isEmpty());
        QVERIFY(!f.store.currentOpenSegment());
        QVERIFY(!QFile::exists(f.today()));
        QCOMPARE(f.store.recordAppendCount(), 0);
    }

    void startRefusedWhilePastDaySelected()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(noon() - 86'400'000));
        QVERIFY(!f.store.isViewingToday());
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        QVERIFY(f.store.segments().isEmpty());
        QCOMPARE(QDir(f.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    void startWritesAnOpenLine()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"Editor"_qs, u"main.cpp"_qs, SegmentType::process);
        QVERIFY(f.store.currentOpenSegment());
        const Segment s = *f.store.currentOpenSegment();
        QVERIFY(s.isOpen());
        QCOMPARE(s.startTime, noon());
        QCOMPARE(s.date, u"2025-03-14"_qs);
        QCOMPARE(f.store.segments(), QList<Segment>{s});
        QCOMPARE(readBytes(f.today()), line(s));
        QCOMPARE(modeOf(f.today()), 0600);
    }

    // The first segment is closed at the second start; its closed line follows its open line; a load keeps one record.
    void consecutiveStartsSupersede()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        const Segment a = *f.store.currentOpenSegment();
        Clock::advanceMs(90'000);
        f.store.startSegment(u"B"_qs, u"b"_qs, SegmentType::process);
        const Segment b = *f.store.currentOpenSegment();
        Segment aClosed = a;
        aClosed.endTime = noon() + 90'000;
        QCOMPARE(f.store.segments(), (QList<Segment>{aClosed, b}));
        QCOMPARE(readBytes(f.today()), line(a) + line(aClosed) + line(b));
        QVERIFY(f.store.uncompactedPaths().contains(f.today()));

        const auto read = SegmentStore::readHistory(f.today());
        QCOMPARE(read.history.segments, (QList<Segment>{aClosed, b}));
        QCOMPARE(read.history.superseded, 1);
        QCOMPARE(read.history.unreadable, 0);

        Fixture other;
        QCOMPARE(other.store.loadSegmentsFromFile(f.today()), (QList<Segment>{aClosed, b}));
        QVERIFY(other.store.uncompactedPaths().contains(f.today()));
    }

    void closeAppendsTheEnd()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::inactivity);
        Clock::advanceMs(61'500);
        f.store.closeCurrentSegment();
        QVERIFY(!f.store.currentOpenSegment());
        QCOMPARE(f.store.segments().size(), 1);
        QCOMPARE(f.store.segments().first().durationMs(), 61'500);
        QCOMPARE(f.store.segments().first().type, SegmentType::inactivity);
        QCOMPARE(onDisk(f.today()), f.store.segments());
        // Nothing open: a second close does nothing.
        const int appends = f.store.recordAppendCount();
        f.store.closeCurrentSegment();
        QCOMPARE(f.store.recordAppendCount(), appends);
    }

    void closeIsNotGatedBySignIn()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        f.signedIn = false;
        Clock::advanceMs(5'000);
        f.store.closeCurrentSegment();
        QCOMPARE(onDisk(f.today()).first().durationMs(), 5'000);
    }

    // A file whose last line lacks its line feed: the next append writes one first and says so; nothing is lost.
    void tailRepair()
    {
        FixedClock clock(noon());
        Fixture f;
        const Segment old = record(u"Old"_qs, noon() - 600'000, noon() - 300'000);
        writeBytes(f.today(), old.toJSONLine().value());   // no "\n"
        QTest::ignoreMessage(QtInfoMsg,
                             "[SegmentStore] Repaired an unterminated history file before appending: "
                             "processes-2025-03-14.jsonl");
        f.store.startSegment(u"New"_qs, u"n"_qs, SegmentType::process);
        const Segment fresh = *f.store.currentOpenSegment();
        QCOMPARE(readBytes(f.today()), line(old) + line(fresh));
        const auto read = SegmentStore::readHistory(f.today());
        QCOMPARE(read.history.segments, (QList<Segment>{old, fresh}));
        QCOMPARE(read.history.unreadable, 0);
    }

    // A terminated file is not "repaired": no extra line feed, no message.
    void noRepairWhenTerminated()
    {
        FixedClock clock(noon());
        Fixture f;
        const Segment old = record(u"Old"_qs, noon() - 600'000, noon() - 300'000);
        writeBytes(f.today(), line(old));
        f.store.startSegment(u"New"_qs, u"n"_qs, SegmentType::process);
        QCOMPARE(readBytes(f.today()), line(old) + line(*f.store.currentOpenSegment()));
    }

    void lineBreaks_data()
    {
        QTest::addColumn<QByteArray>("separator");
        QTest::addColumn<int>("pieces");   // pieces between the two records' texts, empty ones included
        QTest::addRow("LF") << QByteArray("\n") << 2;
        QTest::addRow("VT") << QByteArray("\v") << 2;
        QTest::addRow("FF") << QByteArray("\f") << 2;
        QTest::addRow("CR") << QByteArray("\r") << 2;
        QTest::addRow("CR LF") << QByteArray("\r\n") << 3;
        QTest::addRow("NEL") << QByteArray("\xC2\x85") << 2;
        QTest::addRow("LS") << QByteArray("\xE2\x80\xA8") << 2;
        QTest::addRow("PS") << QByteArray("\xE2\x80\xA9") << 2;
        QTest::addRow("LF LF") << QByteArray("\n\n") << 3;
        QTest::addRow("blank line with spaces") << QByteArray("\n  \t \n") << 3;
    }
    void lineBreaks()
    {
        QFETCH(QByteArray, separator);
        QFETCH(int, pieces);
        const Segment a = record(u"A"_qs, noon(), noon() + 1000);
        const Segment b = record(u"B"_qs, noon() + 1000, noon() + 2000);
        const QByteArray text = a.toJSONLine().value() + separator + b.toJSONLine().value() + '\n';
        QCOMPARE(SegmentStore::historyLines(text).size(), pieces + 1);   // the empty piece after the final "\n"
        const auto loaded = SegmentStore::loadHistory(text);
        QCOMPARE(loaded.segments, (QList<Segment>{a, b}));
        QCOMPARE(loaded.unreadable, 0);
        QCOMPARE(loaded.welded, 0);
    }

    // Break characters that only look like the start of one (C2 / E2 lead bytes of other characters) split nothing.
    void nonBreakingLeadBytes()
    {
        const Segment a = record(u"Café — naïve → “x” ©"_qs, noon(), noon() + 1000);
        const auto loaded = SegmentStore::loadHistory(line(a));
        QCOMPARE(loaded.segments, QList<Segment>{a});
    }

    // Titles holding the Unicode line separators survive the store: they are escaped on write.
    void separatorsInTitlesRoundTrip()
    {
        FixedClock clock(noon());
        Fixture f;
        const QString title = u"a\u2028b\u2029c\u0085d\re\nf\vg\fh"_qs;
        f.store.startSegment(u"Editor"_qs, title, SegmentType::process);
        Clock::advanceMs(1000);
        f.store.closeCurrentSegment();
        const auto read = SegmentStore::readHistory(f.today());
        QCOMPARE(read.history.unreadable, 0);
        QCOMPARE(read.history.segments.size(), 1);
        QCOMPARE(read.history.segments.first().windowTitle, title);
    }

    void weldedAndUnreadableLines()
    {
        const Segment a = record(u"A"_qs, noon(), noon() + 1000);
        const Segment b = record(u"B"_qs, noon() + 1000, noon() + 2000);
        const Segment c = record(u"C"_qs, noon() + 2000, noon() + 3000);
        const QByteArray text = a.toJSONLine().value() + b.toJSONLine().value() + '\n'   // welded pair
            + "not a record\n" + a.toJSONLine().value() + ",{}\n"                        // unreadable, twice
            + c.toJSONLine().value() + " \t" + c.toJSONLine().value() + '\n';            // welded with blanks
        const auto loaded = SegmentStore::loadHistory(text);
        QCOMPARE(loaded.segments, (QList<Segment>{a, b, c}));
        QCOMPARE(loaded.welded, 4);
        QCOMPARE(loaded.unreadable, 2);
        QCOMPARE(loaded.superseded, 1);
    }

    // Order of first appearance, content of the last appearance.
    void latestRecordPerId()
    {
        Segment a1 = record(u"A"_qs, noon(), noon());
        const Segment b = record(u"B"_qs, noon(), noon() + 5);
        Segment a2 = a1;
        a2.endTime = noon() + 10;
        Segment a3 = a2;
        a3.syncedAt = noon() + 20;
        QCOMPARE(SegmentStore::latestRecordPerId({a1, b, a2, a3}), (QList<Segment>{a3, b}));
        // Ids compare as UUIDs: an upper- and a lower-case line are the same record.
        const QByteArray upper = a1.toJSONLine().value();
        QByteArray lower = upper;
        lower.replace(a1.idString().toUtf8(), a1.idString().toLower().toUtf8());
        lower.replace("\"endTime\":" + QByteArray::number(a1.endTime),
                      "\"endTime\":" + QByteArray::number(a1.endTime + 7));
        const auto loaded = SegmentStore::loadHistory(upper + '\n' + lower + '\n');
        QCOMPARE(loaded.segments.size(), 1);
        QCOMPARE(loaded.segments.first().endTime, a1.endTime + 7);
    }

    void historyFileContent()
    {
        QCOMPARE(SegmentStore::historyFileContent({}), QByteArray());
        const Segment a = record(u"A"_qs, noon(), noon() + 1000);
        const Segment b = record(u"B"_qs, noon(), noon() + 2000);
        QCOMPARE(SegmentStore::historyFileContent({a, b}), line(a) + line(b));
    }

    void notUtf8IsUnreadable()
    {
        FixedClock clock(noon());
        Fixture f;
        const Segment a = record(u"A"_qs, noon(), noon() + 1000);
        writeBytes(f.today(), line(a) + "\xff\xfe\n");
        const auto read = SegmentStore::readHistory(f.today());
        QCOMPARE(read.status, SegmentStore::HistoryRead::Status::unreadable);
        QVERIFY(read.error.contains(u"UTF-8"_qs));
        f.store.loadSegments(Clock::now());
        QVERIFY(f.store.segments().isEmpty());
        // The file is left as it was.
        QCOMPARE(readBytes(f.today()), line(a) + "\xff\xfe\n");
    }

    void missingFileIsAnEmptyDay()
    {
        FixedClock clock(noon());
        Fixture f;
        QCOMPARE(SegmentStore::readHistory(f.today()).status, SegmentStore::HistoryRead::Status::missing);
        f.store.loadSegments(Clock::now());
        QVERIFY(f.store.segments().isEmpty());
        QVERIFY(!QFile::exists(f.today()));
    }

    // Closing after midnight: every piece once in its own day's file, the selected list and file agree, the unsplit
    // record is gone. Both with the day before still selected (the process tracker's order) and with the new day
    // selected, and across the DST changes.
    void midnightCrossing_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        QTest::addColumn<QList<qint64>>("durations");
        QTest::addColumn<bool>("newDaySelected");
        const qint64 min = 60'000, hour = 3'600'000;
        for (bool newDay : {false, true}) {
            const char *sel = newDay ? "new day selected" : "day before selected";
            QTest::addRow("23:50-00:10, %s", sel)
                << localMs(2025, 3, 14, 23, 50) << localMs(2025, 3, 15, 0, 10) << QList<qint64>{10 * min, 10 * min}
                << newDay;
            // Last Sunday of October: 27 Oct 2024 has 25 hours in Berlin.
            QTest::addRow("autumn DST, three days, %s", sel)
                << localMs(2024, 10, 26, 23, 30) << localMs(2024, 10, 28, 0, 30)
                << QList<qint64>{30 * min, 25 * hour, 30 * min} << newDay;
            // The night of the change itself: 26 Oct 23:00 to 27 Oct 03:30 (02:00-03:00 happens twice).
            QTest::addRow("autumn DST night, %s", sel)
                << localMs(2024, 10, 26, 23, 0) << localMs(2024, 10, 27, 3, 30)
                << QList<qint64>{hour, 4 * hour + 30 * min} << newDay;
            // Last Sunday of March: 30 Mar 2025 has 23 hours.
            QTest::addRow("spring DST, three days, %s", sel)
                << localMs(2025, 3, 29, 23, 30) << localMs(2025, 3, 31, 0, 30)
                << QList<qint64>{30 * min, 23 * hour, 30 * min} << newDay;
        }
    }
    void midnightCrossing()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        QFETCH(QList<qint64>, durations);
        QFETCH(bool, newDaySelected);
        FixedClock clock(start);
        Fixture f;
        const Segment before = record(u"Earlier"_qs, start - 3'600'000, start - 1'800'000);
        writeBytes(f.fileOf(start), line(before));
        f.store.startSegment(u"Editor"_qs, u"late"_qs, SegmentType::process);
        const Segment unsplit = *f.store.currentOpenSegment();
        QCOMPARE(f.store.segments().size(), 2);   // the first start reads the day's file
        Clock::setNowMs(end);
        if (newDaySelected) {
            // The list of the new day holds the open record: its line is in that day's file too.
            writeBytes(f.fileOf(end), line(unsplit));
            f.store.setSelectedDate(Clock::now());
            QVERIFY(f.store.currentOpenSegment());
            QCOMPARE(f.store.currentOpenSegment()->id, unsplit.id);
        }
        f.store.closeCurrentSegment();
        QVERIFY(!f.store.currentOpenSegment());

        // The pieces, gathered from every file.
        QList<Segment> pieces;
        QStringList files = QDir(f.dir.path()).entryList({u"*.jsonl"_qs}, QDir::Files, QDir::Name);
        for (const QString &name : files) {
            const QString path = f.dir.path() + u'/' + name;
            const auto read = SegmentStore::readHistory(path);
            QCOMPARE(read.history.unreadable, 0);
            for (const Segment &s : read.history.segments) {
                QVERIFY2(s.id != unsplit.id, qPrintable(u"unsplit record still in "_qs + name));
                QCOMPARE(path, f.fileOf(s.startTime));   // each record in its own day's file
                QCOMPARE(s.date, Config::dayKeyForMs(s.startTime));
                if (s.id != before.id)
                    pieces.append(s);
            }
        }
        QCOMPARE(pieces.size(), durations.size());
        std::sort(pieces.begin(), pieces.end(),
                  [](const Segment &a, const Segment &b) { return a.startTime < b.startTime; });
        QCOMPARE(pieces.first().startTime, start);
        QCOMPARE(pieces.last().endTime, end);
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            QCOMPARE(pieces.at(i).durationMs(), durations.at(i));
            QCOMPARE(pieces.at(i).appName, u"Editor"_qs);
            QVERIFY(!pieces.at(i).isSynced());
            if (i > 0) {
                QCOMPARE(pieces.at(i).startTime, pieces.at(i - 1).endTime);
                // Boundaries are local midnights.
                QCOMPARE(QDateTime::fromMSecsSinceEpoch(pieces.at(i).startTime).time(), QTime(0, 0));
            }
        }
        // The selected list and its file agree, and the list holds its day's piece.
        const QString selectedFile = f.store.segmentsFilePath(f.store.selectedDate());
        QCOMPARE(f.store.segments(), onDisk(selectedFile));
        QCOMPARE(f.store.segments().last(), newDaySelected ? pieces.last() : pieces.first());
        QVERIFY(!f.store.uncompactedPaths().contains(selectedFile));
        // The process tracker then switches to the new day: it shows the new day's piece, nothing open.
        f.store.goToToday();
        QCOMPARE(f.store.segments(), QList<Segment>{pieces.last()});
        QCOMPARE(onDisk(f.fileOf(end)), QList<Segment>{pieces.last()});
        QCOMPARE(onDisk(f.fileOf(start)), (QList<Segment>{before, pieces.first()}));
    }

    // Selecting another day while recording drops the open segment from memory; back on today, orphan recovery closes
    // the still-open record at the current time. The other day's file is never written with today's records.
    void selectingAnotherDayWhileRecording()
    {
        FixedClock clock(noon());
        Fixture f;
        const qint64 yesterdayNoon = noon() - 86'400'000;
        const Segment old = record(u"Yesterday"_qs, yesterdayNoon, yesterdayNoon + 60'000);
        writeBytes(f.fileOf(yesterdayNoon), line(old));
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        const Segment open = *f.store.currentOpenSegment();

        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(yesterdayNoon));
        QVERIFY(!f.store.currentOpenSegment());
        QCOMPARE(f.store.segments(), QList<Segment>{old});
        QCOMPARE(f.store.displayDateString(), u"Mar 13, 2025"_qs);

        Clock::advanceMs(120'000);
        f.store.goToToday();   // loads today (orphan recovery rewrites today's file) before selecting it
        QVERIFY(f.store.isViewingToday());
        QVERIFY(!f.store.currentOpenSegment());
        QCOMPARE(f.store.segments().size(), 1);
        QCOMPARE(f.store.segments().first().id, open.id);
        QCOMPARE(f.store.segments().first().endTime, noon() + 120'000);
        QCOMPARE(onDisk(f.today()), f.store.segments());
        QCOMPARE(readBytes(f.fileOf(yesterdayNoon)), line(old));
    }

    void setSelectedDateWithinTheDayDoesNotReload()
    {
        FixedClock clock(noon());
        Fixture f;
        QSignalSpy changed(&f.store, &SegmentStore::selectedDateChanged);
        const Segment a = record(u"A"_qs, noon() - 5000, noon() - 1000);
        writeBytes(f.today(), line(a));
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(noon() + 3'600'000));
        QCOMPARE(changed.count(), 1);
        QVERIFY(f.store.segments().isEmpty());   // same day: nothing loaded
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(noon() + 86'400'000));
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(noon()));
        QCOMPARE(f.store.segments(), QList<Segment>{a});
    }

    void peekLeavesTheSelectionAlone()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        const QList<Segment> before = f.store.segments();
        const qint64 other = noon() - 2 * 86'400'000;
        const Segment x = record(u"X"_qs, other, other + 1000);
        writeBytes(f.fileOf(other), line(x) + line(x));
        QCOMPARE(f.store.peekSegments(QDateTime::fromMSecsSinceEpoch(other)), QList<Segment>{x});
        QCOMPARE(f.store.segments(), before);
        QVERIFY(f.store.currentOpenSegment());
        QVERIFY(f.store.isViewingToday());
        QVERIFY(f.store.uncompactedPaths().contains(f.fileOf(other)));   // like any load
    }

    void loadTodayRefreshesTheOpenSegment()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        const Segment open = *f.store.currentOpenSegment();
        f.store.loadToday();
        QVERIFY(f.store.currentOpenSegment());
        QCOMPARE(*f.store.currentOpenSegment(), open);
        QCOMPARE(f.store.segments(), QList<Segment>{open});   // the live segment is no orphan
    }

    void displayDateString()
    {
        FixedClock clock(localMs(2025, 3, 14, 0, 0));
        Fixture f;
        QCOMPARE(f.store.displayDateString(), u"Today"_qs);
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(localMs(2025, 3, 14, 23, 59)));
        QCOMPARE(f.store.displayDateString(), u"Today"_qs);
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(localMs(2025, 3, 1, 9, 0)));
        QCOMPARE(f.store.displayDateString(), u"Mar 1, 2025"_qs);
        Clock::setNowMs(localMs(2025, 4, 2, 9, 0));
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(localMs(2025, 3, 14, 9, 0)));
        QCOMPARE(f.store.displayDateString(), u"Mar 14, 2025"_qs);
    }

    // notifyChange is deferred, also on the main thread: the change signal, then didChange, on a later turn.
    void notificationIsDeferredAndOrdered()
    {
        FixedClock clock(noon());
        Fixture f;
        QStringList events;
        connect(&f.store, &SegmentStore::segmentsChanged, this, [&] { events << u"changed"_qs; });
        connect(&f.store, &SegmentStore::didChange, this, [&] { events << u"didChange"_qs; });
        QSignalSpy did(&f.store, &SegmentStore::didChange);
        f.store.startSegment(u"Editor"_qs, u"a"_qs, SegmentType::process);
        Clock::advanceMs(1000);
        f.store.startSegment(u"Other"_qs, u"b"_qs, SegmentType::process);
        QCOMPARE(did.count(), 0);   // nothing delivered yet
        QVERIFY(!events.contains(u"didChange"_qs));
        const qsizetype immediate = events.size();   // property assignments announce themselves at once
        QVERIFY(immediate > 0);
        settle();
        // Two starts: append (1), update (1) + append (1) = three deferred pairs.
        QCOMPARE(did.count(), 3);
        const QStringList deferred = events.mid(immediate);
        QCOMPARE(deferred, (QStringList{u"changed"_qs, u"didChange"_qs, u"changed"_qs, u"didChange"_qs, u"changed"_qs,
                                        u"didChange"_qs}));
        QCOMPARE(did.first().size(), 0);   // no arguments
    }

    void loadToDayNotifies()
    {
        FixedClock clock(noon());
        Fixture f;
        QSignalSpy did(&f.store, &SegmentStore::didChange);
        f.store.loadSegments(Clock::now());
        QCOMPARE(did.count(), 0);
        QTRY_COMPARE(did.count(), 1);
    }

    // An append that fails keeps the change in memory and marks the file; the next write to that day rewrites it.
    void appendFailureIsRepairedByTheNextWrite()
    {
        FixedClock clock(noon());
        FailingFileAccess files;
        Fixture f(&files);
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);   // creates the file
        files.failing = {FailingFileAccess::Op::append, FailingFileAccess::Op::writeAtomically};
        Clock::advanceMs(10'000);
        f.store.startSegment(u"B"_qs, u"b"_qs, SegmentType::process);   // A's close and B's open line both fail
        QVERIFY(f.store.uncompactedPaths().contains(f.today()));
        QCOMPARE(onDisk(f.today()).size(), 1);   // only A's open line made it
        QCOMPARE(f.store.segments().size(), 2);  // memory keeps both
        files.failing.clear();
        Clock::advanceMs(10'000);
        f.store.closeCurrentSegment();
        QCOMPARE(onDisk(f.today()), f.store.segments());
        QCOMPARE(f.store.segments().at(0).durationMs(), 10'000);
        QCOMPARE(f.store.segments().at(1).durationMs(), 10'000);
        QVERIFY(!f.store.uncompactedPaths().contains(f.today()));
        // Back to appends once repaired.
        const int rewrites = f.store.fileRewriteCount();
        Clock::advanceMs(1000);
        f.store.startSegment(u"C"_qs, u"c"_qs, SegmentType::process);
        QCOMPARE(f.store.fileRewriteCount(), rewrites);
    }

    void createFailureKeepsMemory()
    {
        FixedClock clock(noon());
        FailingFileAccess files;
        files.failing = {FailingFileAccess::Op::writeAtomically};
        Fixture f(&files);
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        QVERIFY(!QFile::exists(f.today()));
        QCOMPARE(f.store.segments().size(), 1);
        QVERIFY(f.store.uncompactedPaths().contains(f.today()));
        files.failing.clear();
        Clock::advanceMs(3000);
        f.store.closeCurrentSegment();
        QCOMPARE(onDisk(f.today()), f.store.segments());
        QCOMPARE(f.store.segments().first().durationMs(), 3000);
    }

    // A failed rewrite leaves the previous file intact (atomic write).
    void rewriteFailureLeavesThePreviousFile()
    {
        FixedClock clock(localMs(2025, 3, 14, 23, 50));
        FailingFileAccess files;
        Fixture f(&files);
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        const QByteArray before = readBytes(f.today());
        files.shouldFail = [&](FailingFileAccess::Op op, const QString &path) {
            return op == FailingFileAccess::Op::writeAtomically && path == f.fileOf(localMs(2025, 3, 14, 12, 0));
        };
        Clock::setNowMs(localMs(2025, 3, 15, 0, 10));
        f.store.closeCurrentSegment();   // the day-before file is to be rewritten: fails
        const QString dayBefore = f.fileOf(localMs(2025, 3, 14, 12, 0));
        QVERIFY(readBytes(dayBefore).startsWith(before));   // the previous content, plus the appended piece
        QVERIFY(f.store.uncompactedPaths().contains(dayBefore));
        QStringList leftovers = QDir(f.dir.path()).entryList({u".*.tmp"_qs}, QDir::Files | QDir::Hidden);
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(u' ')));
        files.shouldFail = nullptr;
    }

    // A day file that could not be read is copied aside before a rewrite replaces it: nothing in it is lost.
    void unreadableFileIsKeptBeforeARewrite()
    {
        FixedClock clock(localMs(2025, 3, 14, 23, 50));
        Fixture f;
        const Segment old = record(u"Old"_qs, localMs(2025, 3, 14, 9, 0), localMs(2025, 3, 14, 10, 0));
        const QByteArray garbled = line(old) + "\xff\n";
        writeBytes(f.today(), garbled);
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        QVERIFY(f.store.segments().size() == 1);   // the unreadable file read as an empty day
        const QByteArray beforeRewrite = readBytes(f.today());
        QVERIFY(beforeRewrite.startsWith(garbled));
        Clock::setNowMs(localMs(2025, 3, 15, 0, 10));
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression(u"^\\[SegmentStore\\] Kept a copy of an unreadable history file before "
                                                "rewriting it: processes-2025-03-14\\.unreadable-\\d+\\.jsonl$"_qs));
        f.store.closeCurrentSegment();
        const QStringList copies = QDir(f.dir.path()).entryList({u"processes-2025-03-14.unreadable-*.jsonl"_qs});
        QCOMPARE(copies.size(), 1);
        QVERIFY(readBytes(f.dir.path() + u'/' + copies.first()).startsWith(beforeRewrite));
        QCOMPARE(onDisk(f.fileOf(localMs(2025, 3, 14, 12, 0))), f.store.segments());
        QCOMPARE(f.store.segments().size(), 1);   // the day's piece
    }

    // The store's update after its file vanished rewrites the file from memory.
    void updateWithTheFileGoneRewrites()
    {
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        QVERIFY(QFile::remove(f.today()));
        Clock::advanceMs(4000);
        f.store.closeCurrentSegment();
        QCOMPARE(onDisk(f.today()), f.store.segments());
        QCOMPARE(f.store.fileRewriteCount(), 1);
        QCOMPARE(modeOf(f.today()), 0600);
    }

    // Rewriting with an empty list leaves an empty file, not a missing one (reconciliation dropping the only record).
    void rewriteOfAnEmptyListLeavesAnEmptyFile()
    {
        FixedClock clock(noon());
        Fixture f;
        const Segment excluded = record(u"loginwindow"_qs, noon() - 5000, noon() - 1000);
        writeBytes(f.today(), line(excluded));
        f.store.loadSegments(Clock::now());
        f.store.syncWithServer(QSet<QString>{}, QSet<QString>{});
        QVERIFY(f.store.segments().isEmpty());
        QVERIFY(QFile::exists(f.today()));
        QCOMPARE(readBytes(f.today()), QByteArray());
    }

    // Files the store creates or rewrites are 0600 even under a permissive umask; a 0644 file becomes 0600.
    void permissions()
    {
        const mode_t old = ::umask(0);
        FixedClock clock(noon());
        Fixture f;
        f.store.startSegment(u"A"_qs, u"a"_qs, SegmentType::process);
        QCOMPARE(modeOf(f.today()), 0600);
        const qint64 other = noon() - 86'400'000;
        writeBytes(f.fileOf(other), line(record(u"X"_qs, other, other + 5)));
        QFile::setPermissions(f.fileOf(other), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                                                   | QFileDevice::ReadOther);
        QCOMPARE(modeOf(f.fileOf(other)), 0644);
        f.store.setSelectedDate(QDateTime::fromMSecsSinceEpoch(other));
        f.store.syncWithServer(QSet<QString>{}, std::nullopt);   // no change: nothing written
        QCOMPARE(modeOf(f.fileOf(other)), 0644);
        Clock::setNowMs(other + 1000);   // pretend it is that day again and record: append secures the file
        f.store.startSegment(u"B"_qs, u"b"_qs, SegmentType::process);
        QCOMPARE(modeOf(f.fileOf(other)), 0600);
        ::umask(old);
    }
};

QTEST_GUILESS_MAIN(TestSegmentStore)
#include "tst_segment_store.moc"
