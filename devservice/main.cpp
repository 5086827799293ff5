// kelvora-devservice: a local stand-in of the Kelvora web service for development and tests.
#include "dev_service.h"
#include "time_log_store.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvora-devservice"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KELVORA_DEVSERVICE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Local development stand-in of the Kelvora web service (API, sign-in page, realtime endpoint). "
        "It is not the Kelvora service."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1; 0 picks a free one."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption dbOption(QStringLiteral("db"), QStringLiteral("SQLite database file (default: in memory)."),
                                      QStringLiteral("path"));
    const QCommandLineOption versionOption(QStringLiteral("latest-version"),
                                           QStringLiteral("Version the version check reports as the latest."),
                                           QStringLiteral("version"), QStringLiteral(KELVORA_DEVSERVICE_VERSION));
    const QCommandLineOption ttlOption(QStringLiteral("token-ttl"),
                                       QStringLiteral("Lifetime of issued session tokens in seconds."),
                                       QStringLiteral("seconds"), QString::number(30 * 24 * 3600));
    const QCommandLineOption logOption(QStringLiteral("log-requests"),
                                       QStringLiteral("Write one line per request to stderr."));
    parser.addOptions({portOption, dbOption, versionOption, ttlOption, logOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    bool ttlOk = false;
    const qint64 ttl = parser.value(ttlOption).toLongLong(&ttlOk);
    if (!portOk || port > 65535 || !ttlOk || ttl <= 0) {
        std::fprintf(stderr, "kelvora-devservice: --port needs 0..65535 and --token-ttl a positive number\n");
        return 2;
    }

    TimeLogStore store;
    QString error;
    if (!store.open(parser.value(dbOption), &error)) {
        std::fprintf(stderr, "kelvora-devservice: %s\n", qPrintable(error));
        return 1;
    }
    DevService service(store, DevService::Options{parser.value(versionOption), ttl, parser.isSet(logOption)});
    if (!service.start(static_cast<quint16>(port), &error)) {
        std::fprintf(stderr, "kelvora-devservice: cannot listen on 127.0.0.1:%u: %s\n", port, qPrintable(error));
        return 1;
    }

    // The first line is read by scripts and tests, so it goes out before anything else and at once.
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(service.port());
    std::printf("api=%s web=%s realtime=%s\n", qPrintable(base), qPrintable(base), qPrintable(base));
    std::fflush(stdout);
    std::fprintf(stderr,
                 "kelvora-devservice: development stand-in of the Kelvora web service, listening on %s (%s). "
                 "It is not the Kelvora service; nothing leaves this machine.\n",
                 qPrintable(base), parser.isSet(dbOption) ? qPrintable(parser.value(dbOption)) : "in-memory database");
    std::fflush(stderr);
    return QCoreApplication::exec();
}
