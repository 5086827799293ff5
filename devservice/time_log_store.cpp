#include "time_log_store.h"

#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <algorithm>

namespace {

const QString kSecretKey = QStringLiteral("signing_secret");
const QString kSessionKey = QStringLiteral("session_number");

bool sameSegment(const StoredSegment &a, const StoredSegment &b)
{
    return a.logged == b.logged && a.startMs == b.startMs && a.endMs == b.endMs && a.date == b.date &&
           a.type == b.type && a.appName == b.appName && a.windowTitle == b.windowTitle;
}

QString sqlError(const QSqlQuery &q)
{
    return q.lastError().text();
}

} // namespace

TimeLogStore::TimeLogStore()
    : m_connection(QStringLiteral("devservice-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

TimeLogStore::~TimeLogStore()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connection);
}

bool TimeLogStore::exec(const QString &sql)
{
    QSqlQuery q(m_db);
    if (!q.exec(sql)) {
        qWarning("devservice: SQL failed (%s): %s", qPrintable(sql), qPrintable(sqlError(q)));
        return false;
    }
    return true;
}

bool TimeLogStore::open(const QString &path, QString *error)
{
    if (!path.isEmpty() && !QFile::exists(path)) {
        // Window titles are private: the database is readable by its owner only from the start.
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) ||
            !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            *error = QStringLiteral("cannot create %1: %2").arg(path, file.errorString());
            return false;
        }
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(path.isEmpty() ? QStringLiteral(":memory:") : path);
    if (!m_db.open()) {
        *error = m_db.lastError().text();
        return false;
    }
    const bool schema =
        (path.isEmpty() || (exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
                            exec(QStringLiteral("PRAGMA synchronous=NORMAL")))) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value BLOB NOT NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS users (sub TEXT PRIMARY KEY, email TEXT NOT NULL, "
                            "profile TEXT, revoked_through INTEGER NOT NULL DEFAULT 0)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS segments (user_sub TEXT NOT NULL, id TEXT NOT NULL, "
                            "date TEXT NOT NULL, app_name TEXT NOT NULL, window_title TEXT NOT NULL, "
                            "start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, type TEXT NOT NULL, "
                            "logged INTEGER NOT NULL, PRIMARY KEY (user_sub, id))"));
    if (!schema || !load()) {
        *error = QStringLiteral("cannot set up the database %1").arg(m_db.databaseName());
        return false;
    }
    return true;
}

bool TimeLogStore::load()
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT key, value FROM meta")))
        return false;
    while (q.next()) {
        if (q.value(0).toString() == kSecretKey)
            m_secret = q.value(1).toByteArray();
        else if (q.value(0).toString() == kSessionKey)
            m_sessionNumber = q.value(1).toLongLong();
    }
    if (m_secret.size() < 32) {
        m_secret.resize(32);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_secret.data()), 8);
        QSqlQuery put(m_db);
        put.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
        put.addBindValue(kSecretKey);
        put.addBindValue(m_secret);
        if (!put.exec())
            return false;
    }
    if (!q.exec(QStringLiteral("SELECT sub, email, profile, revoked_through FROM users")))
        return false;
    while (q.next()) {
        UserRecord u;
        u.sub = q.value(0).toString();
        u.email = q.value(1).toString();
        if (!q.value(2).isNull())
            u.profile = QJsonDocument::fromJson(q.value(2).toByteArray()).object();
        u.revokedThrough = q.value(3).toLongLong();
        m_users.insert(u.sub, u);
    }
    if (!q.exec(QStringLiteral("SELECT user_sub, id, date, app_name, window_title, start_ms, end_ms, type, logged "
                               "FROM segments")))
        return false;
    while (q.next()) {
        StoredSegment s{q.value(1).toString(), q.value(2).toString(), q.value(3).toString(), q.value(4).toString(),
                        q.value(5).toLongLong(), q.value(6).toLongLong(), q.value(7).toString(),
                        q.value(8).toInt() != 0};
        DayState &day = m_data[q.value(0).toString()].days[s.date];
        day.ids.insert(s.id);
        day.all.add(s.startMs, s.endMs);
        if (s.logged)
            day.logged.add(s.startMs, s.endMs);
        m_data[q.value(0).toString()].segments.insert(s.id, std::move(s));
    }
    return true;
}

std::optional<qint64> TimeLogStore::nextSessionNumber()
{
    QSqlQuery put(m_db);
    put.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)"));
    put.addBindValue(kSessionKey);
    put.addBindValue(m_sessionNumber + 1);
    if (!put.exec())
        return std::nullopt;
    return ++m_sessionNumber;
}

bool TimeLogStore::ensureUser(const QString &sub, const QString &email)
{
    if (m_users.contains(sub))
        return true;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO users (sub, email) VALUES (?, ?)"));
    q.addBindValue(sub);
    q.addBindValue(email);
    if (!q.exec())
        return false;
    m_users.insert(sub, UserRecord{sub, email, std::nullopt, 0});
    return true;
}

std::optional<UserRecord> TimeLogStore::user(const QString &sub) const
{
    const auto it = m_users.constFind(sub);
    if (it == m_users.constEnd())
        return std::nullopt;
    return *it;
}

std::optional<UserRecord> TimeLogStore::findUser(const QString &subOrEmail) const
{
    if (auto byId = user(subOrEmail))
        return byId;
    for (const UserRecord &u : m_users) {
        if (u.email.compare(subOrEmail, Qt::CaseInsensitive) == 0)
            return u;
    }
    return std::nullopt;
}

bool TimeLogStore::revokeSessions(const QString &sub)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET revoked_through = ? WHERE sub = ?"));
    q.addBindValue(m_sessionNumber);
    q.addBindValue(sub);
    if (!q.exec() || !m_users.contains(sub))
        return false;
    m_users[sub].revokedThrough = m_sessionNumber;
    return true;
}

bool TimeLogStore::setProfile(const QString &sub, const QJsonObject &profile)
{
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE users SET profile = ? WHERE sub = ?"));
    q.addBindValue(QString::fromUtf8(QJsonDocument(profile).toJson(QJsonDocument::Compact)));
    q.addBindValue(sub);
    if (!q.exec() || !m_users.contains(sub))
        return false;
    m_users[sub].profile = profile;
    return true;
}

std::optional<LogOutcome> TimeLogStore::log(const QString &sub, const LogRequest &request,
                                            const QSet<QString> &rejectIds)
{
    UserData &data = m_data[sub];
    QHash<QString, const IncomingSegment *> full;
    for (const IncomingSegment &s : request.segments)
        full.insert(s.id, &s);

    LogOutcome outcome;
    QList<StoredSegment> changes;
    QSet<QString> touched;
    QSet<QString> seen;
    for (const QString &id : request.ids) {
        if (seen.contains(id))
            continue;
        seen.insert(id);
        const IncomingSegment *incoming = full.value(id);
        const auto known = data.segments.constFind(id);
        if (rejectIds.contains(id) || (incoming && !incoming->problem.isEmpty()) ||
            (!incoming && known == data.segments.constEnd())) {
            ++outcome.rejected;
            continue;
        }
        StoredSegment s = incoming ? StoredSegment{id, incoming->date, incoming->appName, incoming->windowTitle,
                                                   incoming->startMs, incoming->endMs, incoming->type, true}
                                   : *known;
        s.logged = true;
        // Confirming what is already stored and logged needs no write.
        if (known != data.segments.constEnd() && sameSegment(*known, s)) {
            ++outcome.updated;
            touched.insert(s.date);
        } else {
            changes.append(std::move(s));
        }
    }

    if (!changes.isEmpty()) {
        if (!m_db.transaction())
            return std::nullopt;
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral(
            "INSERT INTO segments (user_sub, id, date, app_name, window_title, start_ms, end_ms, type, logged) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1) ON CONFLICT (user_sub, id) DO UPDATE SET date = excluded.date, "
            "app_name = excluded.app_name, window_title = excluded.window_title, start_ms = excluded.start_ms, "
            "end_ms = excluded.end_ms, type = excluded.type, logged = 1"));
        for (const StoredSegment &s : std::as_const(changes)) {
            q.addBindValue(sub);
            q.addBindValue(s.id);
            q.addBindValue(s.date);
            q.addBindValue(s.appName);
            q.addBindValue(s.windowTitle);
            q.addBindValue(s.startMs);
            q.addBindValue(s.endMs);
            q.addBindValue(s.type);
            if (!q.exec()) {
                qWarning("devservice: storing a segment failed: %s", qPrintable(sqlError(q)));
                m_db.rollback();
                return std::nullopt;
            }
        }
        if (!m_db.commit()) {
            m_db.rollback();
            return std::nullopt;
        }
    }

    QSet<QString> rebuild;
    for (StoredSegment &s : changes) {
        touched.insert(s.date);
        const auto previous = data.segments.constFind(s.id);
        DayState &day = data.days[s.date];
        if (previous == data.segments.constEnd()) {
            day.ids.insert(s.id);
            day.all.add(s.startMs, s.endMs);
            day.logged.add(s.startMs, s.endMs);
        } else if (previous->date == s.date && previous->startMs == s.startMs && previous->endMs == s.endMs) {
            if (!previous->logged)
                day.logged.add(s.startMs, s.endMs);
        } else {
            // The segment moved: blocks cannot give time back, so both days are rebuilt.
            data.days[previous->date].ids.remove(s.id);
            data.days[s.date].ids.insert(s.id);
            touched.insert(previous->date);
            rebuild.insert(previous->date);
            rebuild.insert(s.date);
        }
        data.segments.insert(s.id, std::move(s));
    }
    for (const QString &date : std::as_const(rebuild))
        recompute(data, date);
    outcome.updated += static_cast<int>(changes.size());
    for (const QString &date : std::as_const(touched))
        outcome.calendarPatch.insert(date, totals(sub, date).loggedSec);
    outcome.dates = outcome.calendarPatch.keys();
    outcome.totalLoggedSecs = totalLogged(data);
    return outcome;
}

QList<StoredSegment> TimeLogStore::segmentsOfDay(const QString &sub, const QString &date) const
{
    QList<StoredSegment> out;
    const auto data = m_data.constFind(sub);
    if (data == m_data.constEnd())
        return out;
    for (const QString &id : data->days.value(date).ids)
        out.append(data->segments.value(id));
    std::sort(out.begin(), out.end(), [](const StoredSegment &a, const StoredSegment &b) {
        return a.startMs != b.startMs ? a.startMs < b.startMs : a.id < b.id;
    });
    return out;
}

DayTotals TimeLogStore::totals(const QString &sub, const QString &date) const
{
    const auto data = m_data.constFind(sub);
    if (data == m_data.constEnd())
        return {};
    const auto day = data->days.constFind(date);
    return day == data->days.constEnd() ? DayTotals{} : DayTotals{day->all.seconds(), day->logged.seconds()};
}

QMap<QString, qint64> TimeLogStore::calendar(const QString &sub) const
{
    QMap<QString, qint64> out;
    const auto data = m_data.constFind(sub);
    if (data == m_data.constEnd())
        return out;
    for (auto it = data->days.constBegin(); it != data->days.constEnd(); ++it) {
        if (it->logged.seconds() > 0)
            out.insert(it.key(), it->logged.seconds());
    }
    return out;
}

TimeLogStore::Unlog TimeLogStore::unlog(const QString &sub, const QString &id, QString *date)
{
    const auto data = m_data.find(sub);
    if (data == m_data.end() || !data->segments.contains(id))
        return Unlog::UnknownId;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE segments SET logged = 0 WHERE user_sub = ? AND id = ?"));
    q.addBindValue(sub);
    q.addBindValue(id);
    if (!q.exec())
        return Unlog::StorageFailed;
    StoredSegment &s = data->segments[id];
    s.logged = false;
    *date = s.date;
    recompute(*data, s.date);
    return Unlog::Done;
}

bool TimeLogStore::wipe()
{
    if (!exec(QStringLiteral("DELETE FROM segments")) || !exec(QStringLiteral("DELETE FROM users")))
        return false;
    m_users.clear();
    m_data.clear();
    return true;
}

void TimeLogStore::recompute(UserData &data, const QString &date)
{
    DayState &day = data.days[date];
    if (day.ids.isEmpty()) {
        data.days.remove(date);
        return;
    }
    day.all.clear();
    day.logged.clear();
    for (const QString &id : std::as_const(day.ids)) {
        const StoredSegment &s = data.segments[id];
        day.all.add(s.startMs, s.endMs);
        if (s.logged)
            day.logged.add(s.startMs, s.endMs);
    }
}

qint64 TimeLogStore::totalLogged(const UserData &data) const
{
    qint64 sum = 0;
    for (const DayState &day : data.days)
        sum += day.logged.seconds();
    return sum;
}
