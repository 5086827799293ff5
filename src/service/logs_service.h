#pragma once
// LogsService: the application's vocabulary for the web service's time log. Sends recorded segments (in full, or
// as ids alone when the server is known to hold them), fetches a day's segments and totals and the calendar of
// logged time, and withdraws one logged segment. Works from any caller that has an API client and a sign-in state,
// the popover as well as a command-line tool.
#include "api_client.h"
#include "api_error.h"
#include "result.h"
#include "segment.h"
#include "wire_records.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>
#include <mutex>
#include <variant>

#include <qcoro/qcorotask.h>

class AuthState;

struct LogsServiceError
{
    enum class Kind { segmentsRejected, featureDisabled, notAuthenticated };
    Kind kind = Kind::featureDisabled;
    qint64 rejected = 0;   // segmentsRejected
    qint64 total = 0;      // segmentsRejected: every id sent in the call

    [[nodiscard]] static LogsServiceError segmentsRejectedOf(qint64 rejected, qint64 total)
    {
        return {Kind::segmentsRejected, rejected, total};
    }
    [[nodiscard]] QString message() const;
    friend bool operator==(const LogsServiceError &, const LogsServiceError &) = default;
};

// Anything a logs operation can fail with; errorMessage() gives the user-facing text.
using LogsFailure = std::variant<LogsServiceError, APIError, TransportError>;

template <typename T>
using LogsResult = Result<T, LogsFailure>;

class LogsService : public QObject
{
    Q_OBJECT
public:
    static constexpr int fullSegmentBatchSize = 50;
    static constexpr int idsOnlyBatchSize = 250;
    static constexpr int maxTitleLength = 100;

    // Both must outlive the service. auth answers "signed in?" at the start of every operation.
    LogsService(APIClient &api, const AuthState &auth, QObject *parent = nullptr);
    ~LogsService() override;

    // The application's instance, registered by the composition root; null when there is none.
    [[nodiscard]] static LogsService *shared();
    static void setShared(LogsService *service);

    // Fails with segmentsRejected after sending every batch when the server refused any segment.
    QCoro::Task<LogsResult<LogSegmentsResponse>> logSegments(QList<Segment> segments);
    // date: the day text "yyyy-MM-dd".
    QCoro::Task<LogsResult<FetchLogsResponse>> fetchLogs(QString date);
    QCoro::Task<LogsResult<CalendarDataResponse>> fetchCalendarData();
    QCoro::Task<LogsResult<Done>> unlogSegment(QUuid id);

    // The server is known to hold this id (any letter case).
    [[nodiscard]] bool isKnownOnServer(const QString &id) const;
    [[nodiscard]] qsizetype knownServerSegmentCount() const;

private:
    [[nodiscard]] std::optional<LogsServiceError> guardFailure() const;
    void rememberOnServer(const QStringList &ids);
    QCoro::Task<Result<LogSegmentsV2Response, RequestError>> sendBatch(LogSegmentsV2Request request, QString kind,
                                                                      int number, int total, qsizetype count);

    APIClient &m_api;
    const AuthState &m_auth;

    mutable std::mutex m_knownLock;
    QSet<QString> m_knownServerSegmentIds;   // lower case; guarded by m_knownLock; only grows
};

[[nodiscard]] LogsFailure toLogsFailure(RequestError error);
