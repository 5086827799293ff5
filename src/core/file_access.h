#pragma once
// The segment store's file layer: the handful of file operations the history needs, behind virtuals so tests can
// make chosen operations fail.
//
// Guarantees of the real implementation:
// - files are created with mode 0600 and directories with 0700 from the first byte (open(O_CREAT|O_EXCL, 0600),
//   mkdir(…, 0700)); nothing is ever chmod-ed down after a moment of being readable by others;
// - writeFileAtomically: temporary file in the same directory → write → fsync → rename over the target → fsync
//   the directory, so after a crash or a power loss the target holds either the old or the new content;
// - appendWithTailCheck: appends at the end in one write; when the file does not end in a line feed, a line feed is
//   written first so the new record starts on a line of its own.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <optional>

struct FileResult
{
    bool ok = true;
    QString error;   // strerror-style text when !ok
    [[nodiscard]] static FileResult success() { return {}; }
    [[nodiscard]] static FileResult failure(QString message) { return {false, std::move(message)}; }
    explicit operator bool() const { return ok; }
};

class FileAccess
{
public:
    virtual ~FileAccess();

    // The process's real file system.
    [[nodiscard]] static FileAccess *real();

    // Anything at the path (file, directory, dangling link excluded).
    [[nodiscard]] virtual bool exists(const QString &path) const;

    // The whole file; nullopt with *error set when it cannot be opened or read.
    [[nodiscard]] virtual std::optional<QByteArray> readFile(const QString &path, QString *error = nullptr) const;

    // Replaces (or creates) the file so that it holds exactly `data`, atomically and durably; mode 0600.
    virtual FileResult writeFileAtomically(const QString &path, QByteArrayView data);

    // Appends `data` to an existing file and leaves it with mode 0600 (fchmod on the open file). `openFailed`: the
    // file could not be opened at all, nothing was written (`missing` when it does not exist); `repairedTail`: a line
    // feed was written first because the file did not end in one.
    struct AppendResult
    {
        bool ok = true;
        bool openFailed = false;
        bool repairedTail = false;
        QString error;
        bool missing = false;
    };
    virtual AppendResult appendWithTailCheck(const QString &path, QByteArrayView data);

    // chmod of an existing file or directory (nothing happens and true is returned when nothing is there).
    virtual FileResult setPermissions(const QString &path, unsigned mode);

    // Entry names of a directory (no "." / ".."); hidden entries only when asked for.
    [[nodiscard]] virtual std::optional<QStringList> listDirectory(const QString &path, bool includeHidden,
                                                                   QString *error = nullptr) const;

    // A file, or a directory with everything in it.
    virtual FileResult remove(const QString &path);

    // Copies a file to a new path that must not exist yet; the copy is created with mode 0600 and written atomically.
    virtual FileResult copyFile(const QString &from, const QString &to);

    // mkdir -p: every missing component is created with mode 0700.
    virtual FileResult makeDirectories(const QString &path);
};
