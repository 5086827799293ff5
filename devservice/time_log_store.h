#pragma once
// The stand-in's data: users (e-mail, profile, token revocation) and each user's segments, kept in SQLite
// and mirrored in memory so day totals stay cheap for days with thousands of segments. Every change is
// written to the database first; memory changes only after the write succeeded.
#include "merged_blocks.h"
#include "segment_wire.h"

#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <optional>

struct StoredSegment {
    QString id; // lower case
    QString date;
    QString appName;
    QString windowTitle;
    qint64 startMs = 0;
    qint64 endMs = 0;
    QString type;
    bool logged = false;
};

struct DayTotals {
    qint64 trackedSec = 0; // merged wall-clock seconds of every segment of the day
    qint64 loggedSec = 0;  // the same over the logged ones
};

struct UserRecord {
    QString sub;
    QString email;
    std::optional<QJsonObject> profile; // set by the admin endpoint; otherwise a default is derived
    qint64 revokedThrough = 0;          // session numbers up to this one no longer verify
};

struct LogOutcome {
    int updated = 0;
    int rejected = 0;
    QStringList dates;                // days touched, sorted
    QMap<QString, qint64> calendarPatch; // logged seconds of the days touched
    qint64 totalLoggedSecs = 0;
};

class TimeLogStore
{
public:
    TimeLogStore();
    ~TimeLogStore();
    TimeLogStore(const TimeLogStore &) = delete;
    TimeLogStore &operator=(const TimeLogStore &) = delete;

    // An empty path keeps everything in memory.
    [[nodiscard]] bool open(const QString &path, QString *error);

    [[nodiscard]] QByteArray signingSecret() const { return m_secret; }
    // A fresh session number for a token being issued; stored so numbers never repeat.
    [[nodiscard]] std::optional<qint64> nextSessionNumber();

    [[nodiscard]] bool ensureUser(const QString &sub, const QString &email);
    [[nodiscard]] std::optional<UserRecord> user(const QString &sub) const;
    // Finds a user by sub or e-mail address.
    [[nodiscard]] std::optional<UserRecord> findUser(const QString &subOrEmail) const;
    [[nodiscard]] bool revokeSessions(const QString &sub);
    [[nodiscard]] bool setProfile(const QString &sub, const QJsonObject &profile);

    // Stores full segments and marks listed ids logged. rejectIds are refused whatever they carry.
    // Empty optional: the database write failed and nothing changed.
    [[nodiscard]] std::optional<LogOutcome> log(const QString &sub, const LogRequest &request,
                                                const QSet<QString> &rejectIds);
    [[nodiscard]] QList<StoredSegment> segmentsOfDay(const QString &sub, const QString &date) const;
    [[nodiscard]] DayTotals totals(const QString &sub, const QString &date) const;
    // Day → logged seconds, days with logged time only.
    [[nodiscard]] QMap<QString, qint64> calendar(const QString &sub) const;

    enum class Unlog { Done, UnknownId, StorageFailed };
    // The segment stays known, no longer logged; *date receives its day.
    [[nodiscard]] Unlog unlog(const QString &sub, const QString &id, QString *date);

    // Forgets users and segments; the signing secret and session numbers stay so issued tokens keep verifying.
    [[nodiscard]] bool wipe();

private:
    struct DayState {
        QSet<QString> ids;
        MergedBlocks all;
        MergedBlocks logged;
    };
    struct UserData {
        QHash<QString, StoredSegment> segments;
        QHash<QString, DayState> days;
    };

    bool exec(const QString &sql);
    bool load();
    // Rebuilds a day's blocks from its segments, after a segment moved or stopped counting as logged.
    void recompute(UserData &data, const QString &date);
    [[nodiscard]] qint64 totalLogged(const UserData &data) const;

    QString m_connection;
    QSqlDatabase m_db;
    QByteArray m_secret;
    qint64 m_sessionNumber = 0;
    QHash<QString, UserRecord> m_users;
    QHash<QString, UserData> m_data;
};
