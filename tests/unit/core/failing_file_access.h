#pragma once
// The real file layer, except that chosen operations fail on demand (append, rewrite, read, copy, …), so the
// store's failure paths run against real files.
#include "file_access.h"

#include <functional>
#include <map>
#include <set>

class FailingFileAccess final : public FileAccess
{
public:
    enum class Op { read, writeAtomically, append, setPermissions, list, remove, copy, makeDirectories };

    // Fails every call of these operations (on any path).
    std::set<Op> failing;
    // Or decide per call: return true to fail.
    std::function<bool(Op, const QString &path)> shouldFail;
    // Calls seen, per operation (failed ones included).
    mutable std::map<Op, int> calls;

    std::optional<QByteArray> readFile(const QString &path, QString *error) const override
    {
        if (fail(Op::read, path)) {
            if (error)
                *error = QStringLiteral("Injected read failure");
            return std::nullopt;
        }
        return FileAccess::readFile(path, error);
    }
    FileResult writeFileAtomically(const QString &path, QByteArrayView data) override
    {
        if (fail(Op::writeAtomically, path))
            return FileResult::failure(QStringLiteral("Injected write failure"));
        return FileAccess::writeFileAtomically(path, data);
    }
    AppendResult appendWithTailCheck(const QString &path, QByteArrayView data) override
    {
        if (fail(Op::append, path))
            return AppendResult{false, false, false, QStringLiteral("Injected append failure")};
        return FileAccess::appendWithTailCheck(path, data);
    }
    FileResult setPermissions(const QString &path, unsigned mode) override
    {
        if (fail(Op::setPermissions, path))
            return FileResult::failure(QStringLiteral("Injected chmod failure"));
        return FileAccess::setPermissions(path, mode);
    }
    std::optional<QStringList> listDirectory(const QString &path, bool includeHidden, QString *error) const override
    {
        if (fail(Op::list, path)) {
            if (error)
                *error = QStringLiteral("Injected listing failure");
            return std::nullopt;
        }
        return FileAccess::listDirectory(path, includeHidden, error);
    }
    FileResult remove(const QString &path) override
    {
        if (fail(Op::remove, path))
            return FileResult::failure(QStringLiteral("Injected remove failure"));
        return FileAccess::remove(path);
    }
    FileResult copyFile(const QString &from, const QString &to) override
    {
        if (fail(Op::copy, from))
            return FileResult::failure(QStringLiteral("Injected copy failure"));
        return FileAccess::copyFile(from, to);
    }
    FileResult makeDirectories(const QString &path) override
    {
        if (fail(Op::makeDirectories, path))
            return FileResult::failure(QStringLiteral("Injected mkdir failure"));
        return FileAccess::makeDirectories(path);
    }

private:
    bool fail(Op op, const QString &path) const
    {
        ++calls[op];
        return failing.count(op) > 0 || (shouldFail && shouldFail(op, path));
    }
};
