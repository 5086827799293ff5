// `kelvora history PATH_OR_DATE`: loads one history file exactly as the segment store does and prints what a rewrite
// would write, so people (and tests) can look inside their history.
#include "cli/command.h"
#include "cli/history_target.h"

#include "config.h"
#include "segment_store.h"

#include <QDir>

#include <cstdio>

namespace {

constexpr const char *kUsage =
    "history [--user ID] PATH_OR_DATE  print a history file's records as the store loads them";

QString helpText()
{
    return QStringLiteral(
               "Usage: kelvora history [--user ID] PATH_OR_DATE\n"
               "\n"
               "Loads a history file exactly as Kelvora does (every line break, welded lines, the latest record per\n"
               "id) and prints the resulting records on standard output, one history line each, as a rewrite of the\n"
               "file would write them. Standard error gets one summary line:\n"
               "  records=N superseded=N welded=N unreadable=N\n"
               "\n"
               "PATH_OR_DATE  a file path, or a day as yyyy-MM-dd or \"today\": that day's file\n"
               "              (processes-yyyy-MM-dd.jsonl) in the data directory.\n"
               "--user ID     the data directory of that user (%1/ID).\n"
               "              Without it the signed-out data directory (%1) is used: this\n"
               "              command does not read the signed-in account.\n"
               "\n"
               "Exit status: 0 on success and for a missing file (which prints nothing), 2 when the file cannot be\n"
               "read (permissions, not UTF-8) or the arguments are wrong.\n")
        .arg(Config::appSupportBaseDirectory());
}

int usageError(const QString &message)
{
    Cli::err(QStringLiteral("kelvora history: %1\nUsage: kelvora history [--user ID] PATH_OR_DATE (see --help)\n")
                 .arg(message));
    return 2;
}

int run(const QStringList &args)
{
    std::optional<QString> user;
    std::optional<QString> target;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (!optionsEnded && arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            if (arg == QLatin1String("--")) {
                optionsEnded = true;
            } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
                Cli::out(helpText());
                return 0;
            } else if (arg == QLatin1String("--user")) {
                if (i + 1 >= args.size())
                    return usageError(QStringLiteral("--user needs an id"));
                user = args.at(++i);
            } else if (arg.startsWith(QLatin1String("--user="))) {
                user = arg.mid(7);
            } else {
                return usageError(QStringLiteral("unknown option %1").arg(arg));
            }
            continue;
        }
        if (target)
            return usageError(QStringLiteral("one PATH_OR_DATE only"));
        target = arg;
    }
    if (!target)
        return usageError(QStringLiteral("PATH_OR_DATE is missing"));

    const auto resolved = resolveHistoryTarget(*target, user);
    if (const QString *error = std::get_if<QString>(&resolved))
        return usageError(*error);
    const QString path = std::get<HistoryTarget>(resolved).path;

    const SegmentStore::HistoryRead read = SegmentStore::readHistory(path);
    switch (read.status) {
    case SegmentStore::HistoryRead::Status::missing:
        return 0;
    case SegmentStore::HistoryRead::Status::unreadable:
        Cli::err(QStringLiteral("kelvora history: cannot read %1: %2\n")
                     .arg(QDir::toNativeSeparators(path), read.error));
        return 2;
    case SegmentStore::HistoryRead::Status::ok:
        break;
    }
    const QByteArray content = SegmentStore::historyFileContent(read.history.segments);
    std::fwrite(content.constData(), 1, static_cast<size_t>(content.size()), stdout);
    std::fflush(stdout);
    Cli::err(QStringLiteral("records=%1 superseded=%2 welded=%3 unreadable=%4\n")
                 .arg(read.history.segments.size())
                 .arg(read.history.superseded)
                 .arg(read.history.welded)
                 .arg(read.history.unreadable));
    return 0;
}

} // namespace

KELVORA_CLI_COMMAND(history, "history", kUsage, run)
