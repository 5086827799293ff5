// `kelvora report [DATE|PATH] [--json] [--now EPOCH_MS] [--user ID]`: one day as Kelvora sees it — the
// application → window → segment tree with live and pending totals, ghost stretches marked, the day's merged
// tracked / pending / synced seconds and what a log-everything would upload. A timesheet for the terminal, and a
// reproducible view of the day rules for tests (--now fixes the clock).
#include "cli/command.h"
#include "cli/history_target.h"

#include "clock.h"
#include "config.h"
#include "header_totals.h"
#include "segment_hierarchy.h"
#include "segment_store.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

constexpr const char *kUsage =
    "report [--json] [--now EPOCH_MS] [--user ID] [DATE|PATH]  the day's activity tree, totals and loggable ids";

QString helpText()
{
    return QStringLiteral(
               "Usage: kelvora report [--json] [--now EPOCH_MS] [--user ID] [DATE|PATH]\n"
               "\n"
               "Shows one day of history as Kelvora counts it: applications, their windows and segments with\n"
               "each row's total and still-to-log time, ghost stretches (never counted, never uploaded), the\n"
               "day's tracked, pending and synced seconds (overlaps counted once) and the segments a\n"
               "log-everything would upload.\n"
               "\n"
               "DATE|PATH     a day as yyyy-MM-dd or \"today\" (the default): that day's file in the data\n"
               "              directory; or the path of a history file.\n"
               "--user ID     the data directory of that user (%1/ID). Without it the\n"
               "              signed-out data directory (%1) is used.\n"
               "--now MS      take this instant (milliseconds since the epoch) as now: the open segment of\n"
               "              today counts up to it, and the day-edge rules use it.\n"
               "--json        one JSON object instead of the tree.\n"
               "\n"
               "The newest open record of today counts as the segment being recorded.\n"
               "Exit status: 0 on success (a missing file is an empty day), 2 when the file cannot be read or\n"
               "the arguments are wrong.\n")
        .arg(Config::appSupportBaseDirectory());
}

int usageError(const QString &message)
{
    Cli::err(QStringLiteral("kelvora report: %1\nUsage: kelvora report [--json] [--now EPOCH_MS] [--user ID] "
                            "[DATE|PATH] (see --help)\n")
                 .arg(message));
    return 2;
}

// A JSON string literal with the standard escaping.
QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString jsonIdArray(const QList<QUuid> &ids)
{
    QStringList items;
    items.reserve(ids.size());
    for (const QUuid &id : ids)
        items << QLatin1Char('"') + uuidString(id) + QLatin1Char('"');
    return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
}

// The day's record being recorded, as far as a file can tell: the newest open record dated today and not in the
// future. The application keeps exactly one such record while it records.
std::optional<QUuid> liveOpenId(const QList<Segment> &segments)
{
    const QString today = Config::todayString();
    const qint64 now = Clock::nowMs();
    const Segment *newest = nullptr;
    for (const Segment &s : segments)
        if (s.isOpen() && s.date == today && s.startTime <= now && (!newest || s.startTime >= newest->startTime))
            newest = &s;
    return newest ? std::optional<QUuid>(newest->id) : std::nullopt;
}

struct Report
{
    std::optional<QString> date;
    QList<Segment> segments;
    std::optional<QUuid> openId;
    LocalDayTotals totals;
    QList<QUuid> ghostIds;   // in file order
    QList<QUuid> loggableIds;
    QList<AppGroup> apps;
};

Report analyse(std::optional<QString> date, QList<Segment> segments)
{
    Report r;
    r.date = std::move(date);
    r.segments = std::move(segments);
    r.openId = liveOpenId(r.segments);
    const QSet<QString> &excluded = SegmentStore::excludedSystemProcesses();
    r.totals = LocalDayTotals::compute(r.segments, r.openId, excluded);
    for (const Segment &s : r.segments)
        if (r.totals.ghostIds.contains(s.id))
            r.ghostIds << s.id;
    for (const Segment &s : SegmentStore::loggableBatch(r.segments, r.openId))
        r.loggableIds << s.id;
    QList<Segment> shown;
    for (const Segment &s : r.segments)
        if (!excluded.contains(s.appName))
            shown << s;
    r.apps = SegmentHierarchyBuilder::build(shown, r.openId);
    return r;
}

// Built with one multi-argument arg() per object: a chained arg() would also substitute "%1"-like text inside a
// window title that an earlier call had inserted.
QString toJson(const Report &r)
{
    const auto number = [](qint64 n) { return QString::number(n); };
    QStringList apps;
    for (const AppGroup &app : r.apps) {
        QStringList processes;
        for (const ProcessGroup &p : app.processes) {
            QList<QUuid> ids;
            for (const Segment &s : p.segments)
                ids << s.id;
            processes << QStringLiteral("{\"id\":%1,\"windowTitle\":%2,\"liveTotalSeconds\":%3,"
                                        "\"pendingLiveTotalSeconds\":%4,\"segmentIds\":%5}")
                             .arg(jsonString(p.id), jsonString(p.windowTitle), number(p.liveTotalSeconds(r.openId)),
                                  number(p.pendingLiveTotalSeconds(r.openId)), jsonIdArray(ids));
        }
        apps << QStringLiteral("{\"appName\":%1,\"pendingLiveTotalSeconds\":%2,\"logPickerDuration\":%3,"
                               "\"processes\":[%4]}")
                    .arg(jsonString(app.appName), number(app.pendingLiveTotalSeconds(r.openId)),
                         jsonString(app.formattedLogPickerDuration(r.openId)), processes.join(QLatin1Char(',')));
    }
    return QStringLiteral("{\"date\":%1,\"trackedSeconds\":%2,\"pendingSeconds\":%3,\"syncedSeconds\":%4,"
                          "\"ghostIds\":%5,\"loggableIds\":%6,\"apps\":[%7]}\n")
        .arg(r.date ? jsonString(*r.date) : QStringLiteral("null"), number(r.totals.total), number(r.totals.pending),
             number(r.totals.syncedSeconds), jsonIdArray(r.ghostIds), jsonIdArray(r.loggableIds),
             apps.join(QLatin1Char(',')));
}

QString segmentState(const Segment &s, const Report &r)
{
    if (s.isLiveOpen(r.openId))
        return QStringLiteral("recording");
    if (r.totals.ghostIds.contains(s.id))
        return QStringLiteral("ghost (not counted)");
    if (s.isSynced())
        return QStringLiteral("logged");
    if (s.isOpen())
        return QStringLiteral("open, not recording");
    return QStringLiteral("pending");
}

QString toText(const Report &r)
{
    QString out;
    out += QStringLiteral("%1\n").arg(r.date.value_or(QStringLiteral("(unknown day)")));
    out += QStringLiteral("Tracked %1, pending %2, synced %3\n")
               .arg(Segment::formatDuration(r.totals.total), Segment::formatDuration(r.totals.pending),
                    Segment::formatDuration(r.totals.syncedSeconds));
    out += QStringLiteral("Segments %1, loggable %2, ghosts %3\n")
               .arg(r.segments.size())
               .arg(r.loggableIds.size())
               .arg(r.ghostIds.size());
    for (const AppGroup &app : r.apps) {
        out += QStringLiteral("\n%1  pending %2\n")
                   .arg(app.appName, Segment::formatDuration(app.pendingLiveTotalSeconds(r.openId)));
        for (const ProcessGroup &p : app.processes) {
            const QString title = p.windowTitle.isEmpty() ? QStringLiteral("(no title)") : p.windowTitle;
            const QString total = Segment::formatDuration(p.liveTotalSeconds(r.openId));
            if (p.isOvernightAway())
                out += QStringLiteral("  %1  %2\n").arg(title, total);
            else
                out += QStringLiteral("  %1  %2, pending %3\n").arg(title, total, p.formattedPendingDuration(r.openId));
            for (const Segment &s : p.segments) {
                const QString range = s.isLiveOpen(r.openId)
                                          ? QDateTime::fromMSecsSinceEpoch(s.startTime).toString(u"HH:mm") +
                                                QStringLiteral(" → now")
                                          : s.formattedTimeRange();
                out += QStringLiteral("    %1  %2  %3  %4\n")
                           .arg(range, s.liveFormattedDuration(r.openId), segmentState(s, r), s.idString());
            }
        }
    }
    return out;
}

int run(const QStringList &args)
{
    std::optional<QString> user;
    std::optional<QString> target;
    std::optional<qint64> now;
    bool json = false;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg.size() == 1) {
            if (target)
                return usageError(QStringLiteral("one DATE or PATH only"));
            target = arg;
            continue;
        }
        const auto value = [&](const QString &name) -> std::optional<QString> {
            if (arg.startsWith(name + QLatin1Char('=')))
                return arg.mid(name.size() + 1);
            if (arg == name && i + 1 < args.size())
                return args.at(++i);
            return std::nullopt;
        };
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            Cli::out(helpText());
            return 0;
        } else if (arg == QLatin1String("--json")) {
            json = true;
        } else if (arg == QLatin1String("--user") || arg.startsWith(QLatin1String("--user="))) {
            user = value(QStringLiteral("--user"));
            if (!user)
                return usageError(QStringLiteral("--user needs an id"));
        } else if (arg == QLatin1String("--now") || arg.startsWith(QLatin1String("--now="))) {
            const std::optional<QString> text = value(QStringLiteral("--now"));
            bool ok = false;
            const qint64 ms = text ? text->toLongLong(&ok) : 0;
            if (!ok)
                return usageError(QStringLiteral("--now needs milliseconds since the epoch"));
            now = ms;
        } else {
            return usageError(QStringLiteral("unknown option %1").arg(arg));
        }
    }
    if (now)
        Clock::setNowMs(*now);

    const auto resolved = resolveHistoryTarget(target.value_or(QStringLiteral("today")), user);
    if (const QString *error = std::get_if<QString>(&resolved))
        return usageError(*error);
    const QString path = std::get<HistoryTarget>(resolved).path;
    std::optional<QString> date = std::get<HistoryTarget>(resolved).dayKey;

    SegmentStore::HistoryRead read = SegmentStore::readHistory(path);
    if (read.status == SegmentStore::HistoryRead::Status::unreadable) {
        Cli::err(QStringLiteral("kelvora report: cannot read %1: %2\n")
                     .arg(QDir::toNativeSeparators(path), read.error));
        return 2;
    }
    QList<Segment> &segments = read.history.segments;
    if (!date && !segments.isEmpty())
        date = segments.first().date;
    const Report report = analyse(date, std::move(segments));
    Cli::out(json ? toJson(report) : toText(report));
    return 0;
}

} // namespace

KELVORA_CLI_COMMAND(report, "report", kUsage, run)
