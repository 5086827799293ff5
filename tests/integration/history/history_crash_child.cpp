// Test-only helper of tst_history_crash: records segments as fast as it can through a real SegmentStore, with a
// simulated clock that crosses midnights, and reports on stdout every record whose write has completed. The test
// kills it with SIGKILL at random moments.
//
//   kelvora-history-crash-child DIR START_MS SEED MAX_OPS TAG
//
// Reports, one line each, written only after the store operation returned:
//   open APP START          a new open record
//   closed APP START END    a record closed at END (split at midnights by the store when it crossed one)
//   ready                   today is loaded (and its orphans recovered); recording starts
//   done                    all operations ran
#include "clock.h"
#include "config.h"
#include "segment_store.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <unistd.h>

namespace {

void report(const QByteArray &text)
{
    const QByteArray line = text + '\n';
    const char *p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(left));
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

void reportClosed(const Segment &s, qint64 end)
{
    report("closed " + s.appName.toUtf8() + ' ' + QByteArray::number(s.startTime) + ' ' + QByteArray::number(end));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s DIR START_MS SEED MAX_OPS TAG\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    Clock::setNowMs(QByteArray(argv[2]).toLongLong());
    QRandomGenerator rng(QByteArray(argv[3]).toUInt());
    const int maxOps = QByteArray(argv[4]).toInt();
    const QString tag = QString::fromLocal8Bit(argv[5]);

    SegmentStore store(dir, [] { return true; });
    store.loadToday();   // orphan recovery of what the killed predecessor left open today
    report("ready");
    for (int i = 0; i < maxOps; ++i) {
        const QString dayBefore = Config::todayString();
        Clock::advanceMs(rng.bounded(1'000, 25 * 60'000));
        if (Config::todayString() != dayBefore) {
            // The process tracker's midnight order: close (the store splits it), then switch to the new day.
            const std::optional<Segment> open = store.currentOpenSegment();
            store.closeCurrentSegment();
            if (open)
                reportClosed(*open, Clock::nowMs());
            store.goToToday();
            continue;
        }
        const int dice = static_cast<int>(rng.bounded(100));
        if (dice < 65) {
            const std::optional<Segment> previous = store.currentOpenSegment();
            const QString appName = QStringLiteral("app-%1-%2").arg(tag).arg(i);
            // Titles that stress the codec: quotes, braces, escapes, slashes, non-ASCII and line separators.
            const QString title =
                QStringLiteral("t%1 \"q\" {x} \\ / é → \u2028 \u0085 %2").arg(i).arg(rng.generate());
            store.startSegment(appName, title, dice < 10 ? SegmentType::inactivity : SegmentType::process);
            if (previous)
                reportClosed(*previous, Clock::nowMs());
            report("open " + appName.toUtf8() + ' ' + QByteArray::number(store.currentOpenSegment()->startTime));
        } else if (dice < 85) {
            const std::optional<Segment> open = store.currentOpenSegment();
            store.closeCurrentSegment();
            if (open)
                reportClosed(*open, Clock::nowMs());
        } else if (dice < 92) {
            store.loadToday();
        } else {
            // Looking at yesterday drops the open segment from memory; back on today orphan recovery closes it now.
            const std::optional<Segment> open = store.currentOpenSegment();
            store.setSelectedDate(Clock::now().addDays(-1));
            store.goToToday();
            if (open)
                reportClosed(*open, Clock::nowMs());
        }
        if (i % 16 == 0)
            QCoreApplication::processEvents();
    }
    report("done");
    return 0;
}
