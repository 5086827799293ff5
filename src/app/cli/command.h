#pragma once
// Command-line subcommands (`kelvora NAME ARGS…`). Each lives in its own file and registers itself with
// KELVORA_CLI_COMMAND; main() dispatches to it before any user interface starts.
#include <QStringList>

struct CliCommand
{
    const char *name;
    const char *usage;   // one line, shown by `kelvora help`
    int (*run)(const QStringList &args);   // args exclude the program and command names; returns the exit code
};

namespace Cli {
void add(const CliCommand &command);
[[nodiscard]] const CliCommand *find(const QString &name);
[[nodiscard]] QList<CliCommand> all();
// Standard streams for commands: UTF-8, unbuffered enough for pipes.
void out(const QString &text);   // stdout, as is
void err(const QString &text);   // stderr, as is
}

#define KELVORA_CLI_COMMAND(ident, name, usage, fn)                                                                    \
    namespace {                                                                                                        \
    const bool ident##Registered = (Cli::add(CliCommand{name, usage, fn}), true);                                     \
    }
