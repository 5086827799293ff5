#pragma once
// Shared pieces of the segment store tests: a store over a temporary directory, file helpers, record builders.
#include "config.h"
#include "segment_store.h"
#include "test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace StoreTest {

inline QByteArray readBytes(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

inline void appendBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append) || f.write(bytes) != bytes.size())
        qFatal("cannot append to %s", qPrintable(path));
}

// Permission bits of a path (-1 when it does not exist).
inline int modeOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

inline Segment record(const QString &app, qint64 start, qint64 end, std::optional<qint64> synced = std::nullopt,
                      SegmentType type = SegmentType::process, const QString &title = QStringLiteral("w"))
{
    return Segment{QUuid::createUuid(), Config::dayKeyForMs(start), app, title, start, end, type, synced};
}

inline QByteArray line(const Segment &s) { return s.toJSONLine().value() + '\n'; }

inline QList<Segment> onDisk(const QString &path) { return SegmentStore::readHistory(path).history.segments; }

inline QString dayFile(const QString &dir, qint64 ms)
{
    return dir + QStringLiteral("/processes-") + Config::dayKeyForMs(ms) + QStringLiteral(".jsonl");
}

// Delivers queued notifications.
inline void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace StoreTest
