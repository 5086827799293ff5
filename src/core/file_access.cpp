#include "file_access.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &path) { return QFile::encodeName(path); }

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

FileResult errnoFailure(const QString &what, const QString &path, int err)
{
    return FileResult::failure(QStringLiteral("%1 %2: %3").arg(what, path, errnoText(err)));
}

// Closes on scope exit; close errors are reported only where they matter (after writing).
struct Fd
{
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

// write(2) until everything is written (short writes and EINTR happen).
bool writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

QString fileNameOf(const QString &path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }

// fsync of a directory makes a rename in it durable.
int syncDirectory(const QString &dir)
{
    const int fd = ::open(native(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int rc = ::fsync(fd);
    const int err = rc == 0 ? 0 : errno;
    ::close(fd);
    return err;
}

} // namespace

FileAccess::~FileAccess() = default;

FileAccess *FileAccess::real()
{
    static FileAccess instance;
    return &instance;
}

bool FileAccess::exists(const QString &path) const
{
    struct stat st;
    return ::stat(native(path).constData(), &st) == 0;
}

std::optional<QByteArray> FileAccess::readFile(const QString &path, QString *error) const
{
    auto fail = [&](int err) -> std::optional<QByteArray> {
        if (error)
            *error = errnoText(err);
        return std::nullopt;
    };
    Fd fd(::open(native(path).constData(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return fail(errno);
    struct stat st;
    if (::fstat(fd.fd, &st) != 0)
        return fail(errno);
    if (S_ISDIR(st.st_mode))
        return fail(EISDIR);
    QByteArray data;
    // The size is a hint: the file may grow while we read, so read until end of file.
    qsizetype capacity = st.st_size > 0 ? static_cast<qsizetype>(st.st_size) + 1 : 4096;
    data.resize(capacity);
    qsizetype used = 0;
    for (;;) {
        if (used == data.size())
            data.resize(data.size() * 2);
        const ssize_t n = ::read(fd.fd, data.data() + used, static_cast<size_t>(data.size() - used));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        if (n == 0)
            break;
        used += n;
    }
    data.resize(used);
    return data;
}

FileResult FileAccess::writeFileAtomically(const QString &path, QByteArrayView data)
{
    const QString dir = parentOf(path);
    // A hidden name with a non-history extension: listings skip it and pruning never takes it for a day file.
    QString temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = dir + QStringLiteral("/.") + fileNameOf(path) + QLatin1Char('.')
            + QString::number(QRandomGenerator::global()->generate64(), 36) + QStringLiteral(".tmp");
        // Mode 0600 from the first byte: the file never exists with wider permissions.
        fd = ::open(native(temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return errnoFailure(QStringLiteral("Cannot create"), temp, errno);
    }
    if (fd < 0)
        return errnoFailure(QStringLiteral("Cannot create"), temp, EEXIST);
    Fd guard(fd);
    auto failAndUnlink = [&](const QString &what, int err) {
        ::unlink(native(temp).constData());
        return errnoFailure(what, path, err);
    };
    // The umask may have removed bits; set exactly 0600 before any content is written.
    if (::fchmod(fd, 0600) != 0)
        return failAndUnlink(QStringLiteral("Cannot set permissions of"), errno);
    if (!writeAll(fd, data.data(), data.size()))
        return failAndUnlink(QStringLiteral("Cannot write"), errno);
    if (::fsync(fd) != 0)
        return failAndUnlink(QStringLiteral("Cannot flush"), errno);
    if (::close(guard.release()) != 0)
        return failAndUnlink(QStringLiteral("Cannot close"), errno);
    if (::rename(native(temp).constData(), native(path).constData()) != 0)
        return failAndUnlink(QStringLiteral("Cannot replace"), errno);
    if (const int err = syncDirectory(dir); err != 0)
        return errnoFailure(QStringLiteral("Cannot flush the directory of"), path, err);
    return FileResult::success();
}

FileAccess::AppendResult FileAccess::appendWithTailCheck(const QString &path, QByteArrayView data)
{
    AppendResult result;
    Fd fd(::open(native(path).constData(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (fd.fd < 0) {
        result.ok = false;
        result.openFailed = true;
        result.missing = errno == ENOENT;
        result.error = errnoFailure(QStringLiteral("Cannot open"), path, errno).error;
        return result;
    }
    auto fail = [&](const QString &what, int err) {
        result.ok = false;
        result.error = errnoFailure(what, path, err).error;
        return result;
    };
    const off_t size = ::lseek(fd.fd, 0, SEEK_END);
    if (size < 0)
        return fail(QStringLiteral("Cannot seek in"), errno);
    QByteArray text;
    if (size > 0) {
        char last = 0;
        ssize_t n;
        do {
            n = ::pread(fd.fd, &last, 1, size - 1);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
            return fail(QStringLiteral("Cannot read"), errno);
        if (n != 1 || last != '\n') {
            result.repairedTail = true;
            text.reserve(data.size() + 1);
            text.append('\n');
        }
    }
    // One write of the whole line (O_APPEND): a killed process leaves either nothing or the complete line.
    const char *bytes = data.data();
    qsizetype count = data.size();
    if (result.repairedTail) {
        text.append(data);
        bytes = text.constData();
        count = text.size();
    }
    if (!writeAll(fd.fd, bytes, count))
        return fail(QStringLiteral("Cannot write to"), errno);
    // Every history file touched ends up owner-only, also one someone loosened meanwhile.
    if (::fchmod(fd.fd, 0600) != 0)
        return fail(QStringLiteral("Cannot set permissions of"), errno);
    return result;
}

FileResult FileAccess::setPermissions(const QString &path, unsigned mode)
{
    if (::chmod(native(path).constData(), static_cast<mode_t>(mode)) != 0) {
        if (errno == ENOENT)
            return FileResult::success();
        return errnoFailure(QStringLiteral("Cannot set permissions of"), path, errno);
    }
    return FileResult::success();
}

std::optional<QStringList> FileAccess::listDirectory(const QString &path, bool includeHidden, QString *error) const
{
    DIR *dir = ::opendir(native(path).constData());
    if (!dir) {
        if (error)
            *error = errnoText(errno);
        return std::nullopt;
    }
    QStringList names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        if (!includeHidden && name[0] == '.')
            continue;
        names.append(QFile::decodeName(name));
    }
    const int err = errno;
    ::closedir(dir);
    if (err != 0) {
        if (error)
            *error = errnoText(err);
        return std::nullopt;
    }
    return names;
}

FileResult FileAccess::remove(const QString &path)
{
    struct stat st;
    if (::lstat(native(path).constData(), &st) != 0)
        return errnoFailure(QStringLiteral("Cannot remove"), path, errno);
    if (S_ISDIR(st.st_mode)) {
        QString error;
        const auto names = listDirectory(path, true, &error);
        if (!names)
            return FileResult::failure(QStringLiteral("Cannot list %1: %2").arg(path, error));
        for (const QString &name : *names)
            if (FileResult r = remove(path + QLatin1Char('/') + name); !r)
                return r;
        if (::rmdir(native(path).constData()) != 0)
            return errnoFailure(QStringLiteral("Cannot remove"), path, errno);
        return FileResult::success();
    }
    if (::unlink(native(path).constData()) != 0)
        return errnoFailure(QStringLiteral("Cannot remove"), path, errno);
    return FileResult::success();
}

FileResult FileAccess::copyFile(const QString &from, const QString &to)
{
    if (exists(to))
        return errnoFailure(QStringLiteral("Cannot copy to"), to, EEXIST);
    QString error;
    const auto data = readFile(from, &error);
    if (!data)
        return FileResult::failure(QStringLiteral("Cannot read %1: %2").arg(from, error));
    return writeFileAtomically(to, *data);
}

FileResult FileAccess::makeDirectories(const QString &path)
{
    if (path.isEmpty())
        return FileResult::failure(QStringLiteral("Cannot create a directory without a name"));
    struct stat st;
    if (::stat(native(path).constData(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return FileResult::success();
        return errnoFailure(QStringLiteral("Cannot create directory"), path, ENOTDIR);
    }
    const QString parent = parentOf(path);
    if (parent != path)
        if (FileResult r = makeDirectories(parent); !r)
            return r;
    // Mode 0700 from the start; the umask can only take bits away.
    if (::mkdir(native(path).constData(), 0700) != 0 && errno != EEXIST)
        return errnoFailure(QStringLiteral("Cannot create directory"), path, errno);
    return FileResult::success();
}
