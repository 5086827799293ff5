#include "logs_service.h"

#include "auth_state.h"
#include "config.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcLogs, "kelvora.logs", QtWarningMsg)

namespace {

LogsService *sharedService = nullptr;

// Kept out of co_await expressions: GCC 12 cannot hold a QStringLiteral temporary across a suspension.
const QString kLogPath = QStringLiteral("/api/segments/log");
const QString kDayPath = QStringLiteral("/api/segments");
const QString kCalendarPath = QStringLiteral("/api/segments/calendar");
const QString kDateParameter = QStringLiteral("date");

QString flagText(bool flag) { return flag ? QStringLiteral("true") : QStringLiteral("false"); }

} // namespace

QString LogsServiceError::message() const
{
    switch (kind) {
    case Kind::segmentsRejected:
        return QStringLiteral("The server refused %1 of %2 entries").arg(rejected).arg(total);
    case Kind::featureDisabled:
        return QStringLiteral("API sync is disabled");
    case Kind::notAuthenticated:
        return QStringLiteral("Please log in first");
    }
    return QStringLiteral("API sync is disabled");
}

LogsFailure toLogsFailure(RequestError error)
{
    return std::visit([](auto &&e) -> LogsFailure { return std::move(e); }, std::move(error));
}

LogsService::LogsService(APIClient &api, const AuthState &auth, QObject *parent)
    : QObject(parent), m_api(api), m_auth(auth)
{
}

LogsService::~LogsService()
{
    if (sharedService == this)
        sharedService = nullptr;
}

LogsService *LogsService::shared() { return sharedService; }
void LogsService::setShared(LogsService *service) { sharedService = service; }

std::optional<LogsServiceError> LogsService::guardFailure() const
{
    if (!Config::apiSyncEnabled())
        return LogsServiceError{LogsServiceError::Kind::featureDisabled};
    if (!m_auth.isLoggedIn())
        return LogsServiceError{LogsServiceError::Kind::notAuthenticated};
    return std::nullopt;
}

bool LogsService::isKnownOnServer(const QString &id) const
{
    const QString key = id.toLower();
    std::lock_guard lock(m_knownLock);
    return m_knownServerSegmentIds.contains(key);
}

qsizetype LogsService::knownServerSegmentCount() const
{
    std::lock_guard lock(m_knownLock);
    return m_knownServerSegmentIds.size();
}

void LogsService::rememberOnServer(const QStringList &ids)
{
    QStringList keys;
    keys.reserve(ids.size());
    for (const QString &id : ids)
        keys.append(id.toLower());
    std::lock_guard lock(m_knownLock);
    for (const QString &key : keys)
        m_knownServerSegmentIds.insert(key);
}

QCoro::Task<Result<LogSegmentsV2Response, RequestError>> LogsService::sendBatch(LogSegmentsV2Request request,
                                                                                QString kind, int number, int total,
                                                                                qsizetype count)
{
    // Encoding the batch once more only for a diagnostic is worth it only when someone reads it.
    const qsizetype kb = lcLogs().isDebugEnabled() ? request.encoded().size() / 1024 : 0;
    qCDebug(lcLogs).noquote() << QStringLiteral("%1 batch %2/%3: %4 %5 (~%6KB), emitSocket: %7")
                                     .arg(kind)
                                     .arg(number)
                                     .arg(total)
                                     .arg(count)
                                     .arg(kind == QLatin1String("Full") ? QStringLiteral("segments") : QStringLiteral("IDs"))
                                     .arg(kb)
                                     .arg(flagText(request.emitSocket));
    co_return co_await m_api.post<LogSegmentsV2Response>(kLogPath, std::move(request));
}

QCoro::Task<LogsResult<LogSegmentsResponse>> LogsService::logSegments(QList<Segment> segments)
{
    if (auto failure = guardFailure())
        co_return LogsFailure{*failure};

    QList<SegmentDTO> full;
    QStringList idsOnly;
    {
        // One look at the cache for the whole split; it is never held across a request.
        std::lock_guard lock(m_knownLock);
        for (const Segment &segment : segments) {
            const QString id = uuidString(segment.id);
            if (m_knownServerSegmentIds.contains(id.toLower()))
                idsOnly.append(id);
            else
                full.append(SegmentDTO::from(segment, maxTitleLength));
        }
    }
    qCDebug(lcLogs).noquote() << QStringLiteral("Logging %1 segments: %2 full, %3 IDs-only")
                                     .arg(segments.size())
                                     .arg(full.size())
                                     .arg(idsOnly.size());

    const auto batchesOf = [](qsizetype count, int size) { return static_cast<int>((count + size - 1) / size); };
    const int fullBatches = batchesOf(full.size(), fullSegmentBatchSize);
    const int total = fullBatches + batchesOf(idsOnly.size(), idsOnlyBatchSize);

    LogSegmentsResponse result;
    if (total == 0) {
        qCDebug(lcLogs).noquote() << QStringLiteral("Logged %1 segments total").arg(0);
        co_return result;
    }

    DaySeconds patch;
    qint64 rejectedTotal = 0;
    for (int number = 1; number <= total; ++number) {
        const bool isFull = number <= fullBatches;
        LogSegmentsV2Request request;
        request.emitSocket = number == total;
        if (isFull) {
            request.segments = full.mid(static_cast<qsizetype>(number - 1) * fullSegmentBatchSize, fullSegmentBatchSize);
            for (const SegmentDTO &dto : std::as_const(request.segments))
                request.ids.append(dto.id);
        } else {
            request.ids = idsOnly.mid(static_cast<qsizetype>(number - fullBatches - 1) * idsOnlyBatchSize,
                                      idsOnlyBatchSize);
        }
        const QStringList ids = request.ids;
        const QString kind = isFull ? QStringLiteral("Full") : QStringLiteral("IDs-only");

        auto answer = co_await sendBatch(std::move(request), kind, number, total, ids.size());
        if (!answer)
            co_return toLogsFailure(std::move(answer).error());
        const LogSegmentsV2Response &r = answer.value();

        result.updatedCount += r.updated;
        result.sentCount += ids.size();
        result.loggedIds += ids;
        if (r.totalLoggedSecs)
            result.totalLoggedSecs = *r.totalLoggedSecs;
        if (r.calendarPatch)
            for (auto it = r.calendarPatch->constBegin(); it != r.calendarPatch->constEnd(); ++it)
                patch.insert(it.key(), it.value());
        const qint64 rejected = r.rejected.value_or(0);
        // A negative count is not a refusal; adding it would hide refusals of other batches.
        if (rejected > 0) {
            rejectedTotal += rejected;
            qInfo().noquote() << QStringLiteral("[LogsService] %1 batch %2/%3: server rejected %4 of %5 — not caching this batch")
                                     .arg(kind)
                                     .arg(number)
                                     .arg(total)
                                     .arg(rejected)
                                     .arg(ids.size());
        } else {
            rememberOnServer(ids);
        }
    }

    qCDebug(lcLogs).noquote() << QStringLiteral("Logged %1 segments total").arg(result.updatedCount);
    if (rejectedTotal >= 1) {
        qInfo().noquote() << QStringLiteral("[LogsService] Server rejected %1 of %2 segments — reporting failure to the caller")
                                 .arg(rejectedTotal)
                                 .arg(result.sentCount);
        co_return LogsFailure{LogsServiceError::segmentsRejectedOf(rejectedTotal, result.sentCount)};
    }
    if (!patch.isEmpty())
        result.calendarPatch = std::move(patch);
    co_return result;
}

QCoro::Task<LogsResult<FetchLogsResponse>> LogsService::fetchLogs(QString date)
{
    if (auto failure = guardFailure())
        co_return LogsFailure{*failure};
    APIClient::Query query{{kDateParameter, date}};
    auto answer = co_await m_api.get<FetchSegmentsV2Response>(kDayPath, std::move(query));
    if (!answer)
        co_return toLogsFailure(std::move(answer).error());
    FetchSegmentsV2Response &day = answer.value();

    QStringList ids;
    ids.reserve(day.segments.size());
    for (const ServerSegment &s : std::as_const(day.segments))
        ids.append(s.id);
    rememberOnServer(ids);
    qCDebug(lcLogs).noquote() << QStringLiteral("Fetched %1 segments for %2, cache size: %3")
                                     .arg(day.segments.size())
                                     .arg(date)
                                     .arg(knownServerSegmentCount());
    FetchLogsResponse result;
    result.logs = std::move(day.segments);
    result.totalLoggedSec = day.loggedSec;
    result.totalTrackedSec = day.trackedSec;
    co_return result;
}

QCoro::Task<LogsResult<CalendarDataResponse>> LogsService::fetchCalendarData()
{
    if (auto failure = guardFailure())
        co_return LogsFailure{*failure};
    auto answer = co_await m_api.get<CalendarDataResponse>(kCalendarPath);
    if (!answer)
        co_return toLogsFailure(std::move(answer).error());
    qCDebug(lcLogs).noquote() << QStringLiteral("Fetched calendar data: %1 days").arg(answer->calendar.size());
    co_return std::move(answer).value();
}

QCoro::Task<LogsResult<Done>> LogsService::unlogSegment(QUuid id)
{
    if (auto failure = guardFailure())
        co_return LogsFailure{*failure};
    // A QUuid cannot carry "/" or "..", so the path always names this one segment.
    const QString text = uuidString(id);
    QString path = QStringLiteral("/api/segments/%1/unlog").arg(text);
    auto answer = co_await m_api.deleteResource(std::move(path));
    if (!answer)
        co_return toLogsFailure(std::move(answer).error());
    qCDebug(lcLogs).noquote() << QStringLiteral("Unlogged segment: %1").arg(text);
    co_return Done{};
}
