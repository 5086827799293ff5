#include "cli/command.h"

#include <QString>
#include <cstdio>
#include <vector>

namespace {
std::vector<CliCommand> &registry()
{
    static std::vector<CliCommand> commands;
    return commands;
}
void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}
} // namespace

void Cli::add(const CliCommand &command) { registry().push_back(command); }

const CliCommand *Cli::find(const QString &name)
{
    for (const CliCommand &c : registry())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

QList<CliCommand> Cli::all() { return QList<CliCommand>(registry().begin(), registry().end()); }
void Cli::out(const QString &text) { write(stdout, text); }
void Cli::err(const QString &text) { write(stderr, text); }
