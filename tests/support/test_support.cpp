#include "test_support.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QTimeZone>

QString TestSupport::builtProgram(const QString &name)
{
    const QString dir = qEnvironmentVariable("KELVORA_BIN_DIR", QCoreApplication::applicationDirPath());
    return QDir(dir).filePath(name);
}

TestSupport::Run TestSupport::runProgram(const QString &program, const QStringList &args, const QStringList &extraEnv,
                                         int timeoutMs)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &kv : extraEnv) {
        const qsizetype eq = kv.indexOf(QLatin1Char('='));
        env.insert(kv.left(eq), kv.mid(eq + 1));
    }
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(timeoutMs) || !p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

qint64 TestSupport::localMs(int year, int month, int day, int hour, int minute, int second, int ms)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, ms), QTimeZone::systemTimeZone())
        .toMSecsSinceEpoch();
}
