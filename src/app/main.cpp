// Kelvora: records which application window has the person's attention and logs that time to their account.
#include "application.h"
#include "cli/command.h"

#include <QCoreApplication>
#include <algorithm>

namespace {
int help()
{
    QString text = QStringLiteral("Usage: kelvora [COMMAND [ARGS…]]\nWithout a command Kelvora starts and records "
                                  "from the system tray.\n\nCommands:\n");
    auto commands = Cli::all();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand &a, const CliCommand &b) { return qstrcmp(a.name, b.name) < 0; });
    for (const CliCommand &c : commands)
        text += QStringLiteral("  %1\n").arg(QString::fromUtf8(c.usage));
    Cli::out(text);
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kelvora"));
    QCoreApplication::setApplicationName(QStringLiteral("Kelvora"));

    if (argc > 1) {
        const QString name = QString::fromLocal8Bit(argv[1]);
        if (name == QLatin1String("help") || name == QLatin1String("--help") || name == QLatin1String("-h"))
            return help();
        if (const CliCommand *command = Cli::find(name)) {
            QCoreApplication app(argc, argv);
            QStringList args = app.arguments().mid(2);
            return command->run(args);
        }
        Cli::err(QStringLiteral("kelvora: unknown command '%1' (try 'kelvora help')\n").arg(name));
        return 2;
    }
    return Application::run(argc, argv);
}
