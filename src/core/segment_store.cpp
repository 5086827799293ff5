// SegmentStore: the open segment, appends and rewrites of the daily history files, loading, day selection
// and the deferred change notification.
#include "segment_store.h"

#include "auth_state.h"
#include "clock.h"
#include "config.h"
#include "log.h"

#include <QHash>
#include <QLocale>
#include <QPointer>

#include <algorithm>
#include <array>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#define STORE_LOG(text) qCDebug(lcStore).noquote() << (text)

namespace {

QPointer<SegmentStore> sharedStore;

QString fileNameOf(const QString &path) { return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1); }
QString parentOf(const QString &path) { return path.left(std::max<qsizetype>(path.lastIndexOf(QLatin1Char('/')), 0)); }

bool sameLocalDay(qint64 a, qint64 b) { return Config::dayKeyForMs(a) == Config::dayKeyForMs(b); }

// Bytes that may start a line break: LF VT FF CR, C2 (NEL = C2 85), E2 (LS = E2 80 A8, PS = E2 80 A9).
constexpr auto kBreakStart = [] {
    std::array<bool, 256> table{};
    for (int c : {0x0A, 0x0B, 0x0C, 0x0D, 0xC2, 0xE2})
        table[static_cast<size_t>(c)] = true;
    return table;
}();

// The index of the next byte from i on that may start a line break, or n. Sixteen bytes at a time where SSE2 is
// there (always on x86-64): history lines are long runs of ASCII between breaks.
qsizetype nextBreakCandidate(const unsigned char *d, qsizetype i, qsizetype n)
{
#if defined(__SSE2__)
    const __m128i lead2 = _mm_set1_epi8(static_cast<char>(0xC2));
    const __m128i lead3 = _mm_set1_epi8(static_cast<char>(0xE2));
    const __m128i lf = _mm_set1_epi8(0x0A);
    const __m128i three = _mm_set1_epi8(3);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(d + i));
        const __m128i offset = _mm_sub_epi8(v, lf);   // LF..CR become 0..3, everything else larger (unsigned)
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(offset, three), offset);
        const __m128i lead = _mm_or_si128(_mm_cmpeq_epi8(v, lead2), _mm_cmpeq_epi8(v, lead3));
        const int mask = _mm_movemask_epi8(_mm_or_si128(control, lead));
        if (mask != 0)
            return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
#endif
    for (; i < n; ++i)
        if (kBreakStart[d[i]])
            return i;
    return n;
}

// Calls f with every piece between line breaks (any Unicode newline; CR LF gives an empty piece between), the
// last piece included (empty after a final line feed).
template <typename F>
void forEachLine(QByteArrayView utf8, F &&f)
{
    const auto *data = reinterpret_cast<const unsigned char *>(utf8.data());
    const qsizetype n = utf8.size();
    qsizetype start = 0;
    qsizetype i = 0;
    for (;;) {
        i = nextBreakCandidate(data, i, n);
        if (i >= n)
            break;
        const unsigned char c = data[i];
        qsizetype breakLength = 0;
        if (c <= 0x0D)
            breakLength = 1;
        else if (c == 0xC2 && i + 1 < n && data[i + 1] == 0x85)
            breakLength = 2;
        else if (c == 0xE2 && i + 2 < n && data[i + 1] == 0x80 && (data[i + 2] == 0xA8 || data[i + 2] == 0xA9))
            breakLength = 3;
        if (breakLength == 0) {
            ++i;
            continue;
        }
        f(utf8.sliced(start, i - start));
        i += breakLength;
        start = i;
    }
    f(utf8.sliced(start));
}

} // namespace

SegmentStore::SegmentStore(std::optional<QString> dataDirectoryOverride, std::function<bool()> isSignedIn,
                           AuthState *auth, FileAccess *files, QObject *parent)
    : QObject(parent),
      m_selectedDate(Clock::now()),
      m_files(files ? files : FileAccess::real()),
      m_dataDirectoryOverride(std::move(dataDirectoryOverride)),
      m_isSignedIn(std::move(isSignedIn)),
      m_auth(auth)
{
    m_listDayKey = dayKeyOf(m_selectedDate);
    if (!m_auth)
        return;
    // Direct: the handler reads the user id on the posting thread, while it is still known, and queues the rest.
    connect(m_auth, &AuthState::authStateChanged, this, &SegmentStore::handleAuthStateChanged, Qt::DirectConnection);
    if (m_auth->isLoggedIn())
        runStartupSequence();
}

SegmentStore::~SegmentStore()
{
    if (sharedStore == this)
        sharedStore = nullptr;
}

SegmentStore *SegmentStore::shared() { return sharedStore.data(); }
void SegmentStore::setShared(SegmentStore *store) { sharedStore = store; }

const QSet<QString> &SegmentStore::excludedSystemProcesses()
{
    static const QSet<QString> names{QStringLiteral("loginwindow"), QStringLiteral("ScreenSaverEngine"),
                                     QStringLiteral("SecurityAgent"), QStringLiteral("UserNotificationCenter"),
                                     QStringLiteral("SystemUIServer")};
    return names;
}

QString SegmentStore::dataDirectory() const
{
    return m_dataDirectoryOverride ? *m_dataDirectoryOverride : Config::dataDirectory();
}

QString SegmentStore::dayKeyOf(const QDateTime &date) const { return Config::dayKey(date); }

QString SegmentStore::segmentsFilePath(const QString &dayKey) const
{
    return dataDirectory() + QStringLiteral("/processes-") + dayKey + QStringLiteral(".jsonl");
}

QString SegmentStore::segmentsFilePath(const QDateTime &date) const { return segmentsFilePath(dayKeyOf(date)); }

void SegmentStore::setSelectedDate(const QDateTime &date)
{
    const QString previousKey = dayKeyOf(m_selectedDate);
    m_selectedDate = date;
    Q_EMIT selectedDateChanged();
    if (dayKeyOf(date) != previousKey)
        loadSegments(date);
}

bool SegmentStore::isViewingToday() const { return dayKeyOf(m_selectedDate) == Config::todayString(); }

QString SegmentStore::displayDateString() const
{
    if (isViewingToday())
        return QStringLiteral("Today");
    return QLocale(QLocale::English).toString(m_selectedDate.toLocalTime(), QStringLiteral("MMM d, yyyy"));
}

void SegmentStore::setSegments(QList<Segment> segments)
{
    m_segments = std::move(segments);
    Q_EMIT segmentsChanged();
}

void SegmentStore::replaceSegmentAt(qsizetype index, const Segment &segment)
{
    m_segments[index] = segment;
    Q_EMIT segmentsChanged();
}

// --- Recording -------------------------------------------------------------------------------------------------

void SegmentStore::startSegment(const QString &appName, const QString &windowTitle, SegmentType type)
{
    if (!m_isSignedIn || !m_isSignedIn())
        return;
    if (!isViewingToday())
        return;
    if (!m_listLoaded)
        loadListOf(Config::todayString());   // the list must mirror today's file before it is written from memory
    if (m_currentOpenSegment) {
        Segment previous = *m_currentOpenSegment;
        previous.close();
        updateSegment(previous);
        m_currentOpenSegment.reset();
    }
    const Segment segment = Segment::create(appName, windowTitle, type);
    append(segment);
    m_currentOpenSegment = segment;
    STORE_LOG(QStringLiteral("Started segment: %1 - %2").arg(appName, windowTitle));
}

void SegmentStore::closeCurrentSegment()
{
    if (!m_currentOpenSegment)
        return;
    Segment segment = *m_currentOpenSegment;
    segment.endTime = Clock::nowMs();
    m_currentOpenSegment.reset();
    if (!sameLocalDay(segment.startTime, segment.endTime)) {
        handleMidnightCrossingSegment(segment);
        return;
    }
    updateSegment(segment);
    STORE_LOG(QStringLiteral("Closed segment: %1 - %2 (%3)")
                  .arg(segment.appName, segment.windowTitle, segment.formattedDuration()));
}

void SegmentStore::handleMidnightCrossingSegment(const Segment &segment)
{
    const QList<Segment> pieces = segment.splitAtMidnight();
    if (pieces.isEmpty()) {
        // Only when the clock went back across midnight: keep the record rather than drop it.
        STORE_LOG(QStringLiteral("Segment ends before it starts - kept unsplit: %1").arg(segment.appName));
        updateSegment(segment);
        return;
    }
    STORE_LOG(QStringLiteral("Segment crossed midnight - splitting into %1 segments:").arg(pieces.size()));
    QList<Segment> list = m_segments;
    list.removeIf([&](const Segment &s) { return s.id == segment.id; });
    for (const Segment &piece : pieces) {
        STORE_LOG(QStringLiteral("  - %1: %2 (%3)")
                      .arg(piece.date, piece.formattedTimeRange(), piece.formattedDuration()));
        // The list holds one day's records: the piece of that day joins it, whichever day that is. Every piece is
        // also appended to its own day's file; the list's file is rewritten below, so it holds its piece once.
        if (piece.date == m_listDayKey)
            list.append(piece);
        appendSegmentToDateFile(piece);
    }
    setSegments(std::move(list));
    // The unsplit record lives in the file of its own day; when that is not the list's day (which the rewrite
    // below replaces), take it out there so no file keeps it beside its pieces.
    if (segment.date != m_listDayKey && Config::parseDayKey(segment.date))
        purgeRecordFromFile(segmentsFilePath(segment.date), segment.id);
    rewriteListFile();
    notifyChange();
}

// --- Writing ---------------------------------------------------------------------------------------------------

void SegmentStore::append(const Segment &segment)
{
    m_segments.append(segment);   // in place: a copy of the day's list per record would cost O(n)
    Q_EMIT segmentsChanged();
    const std::optional<QByteArray> line = segment.toJSONLine();
    if (!line) {
        STORE_LOG(QStringLiteral("Failed to encode segment: %1").arg(segment.appName));
        return;
    }
    appendLine(*line, segmentsFilePath(segment.date));   // today's file: the segment was created just now
    notifyChange();
}

void SegmentStore::updateSegment(const Segment &segment)
{
    // Ids are unique in the list, so the first element with the id is the only one; the one updated is nearly
    // always the newest, so look from the end.
    const qsizetype index = [&] {
        for (qsizetype i = m_segments.size() - 1; i >= 0; --i)
            if (m_segments.at(i).id == segment.id)
                return i;
        return qsizetype(-1);
    }();
    if (index < 0)
        return;
    replaceSegmentAt(index, segment);
    const QString path = segmentsFilePath(m_listDayKey);
    const std::optional<QByteArray> line = segment.toJSONLine();
    if (line && m_files->exists(path)) {
        m_uncompactedPaths.insert(path);   // the earlier line for this id is now superseded (unless this rewrites)
        appendLine(*line, path);
    } else {
        rewriteListFile();
    }
    notifyChange();
}

void SegmentStore::appendSegmentToDateFile(const Segment &segment)
{
    const std::optional<QByteArray> line = segment.toJSONLine();
    if (!line) {
        STORE_LOG(QStringLiteral("Failed to encode segment: %1").arg(segment.appName));
        return;
    }
    if (!Config::parseDayKey(segment.date)) {
        STORE_LOG(QStringLiteral("Invalid date string: %1").arg(segment.date));
        return;
    }
    appendLine(*line, segmentsFilePath(segment.date));
}

void SegmentStore::rewriteFile(const QDateTime &date)
{
    if (dayKeyOf(date) != m_listDayKey)
        STORE_LOG(QStringLiteral("Rewrite of %1 asked while the list holds %2: writing the list to its own day")
                      .arg(dayKeyOf(date), m_listDayKey));
    rewriteListFile();
}

void SegmentStore::rewriteListFile()
{
    const QString path = segmentsFilePath(m_listDayKey);
    if (m_unreadablePaths.contains(path) && !setAsideUnreadable(path)) {
        STORE_LOG(QStringLiteral("Failed to rewrite file: %1 could not be read, and no copy of it could be kept")
                      .arg(path));
        markWriteFailed(path);
        return;
    }
    const QString dir = parentOf(path);
    if (!dir.isEmpty() && !m_files->exists(dir))
        (void)m_files->makeDirectories(dir);
    if (FileResult r = m_files->writeFileAtomically(path, historyFileContent(m_segments)); !r) {
        STORE_LOG(QStringLiteral("Failed to rewrite file: %1").arg(r.error));
        // The file on disk is the old one and lacks what memory holds: the next rewrite must not be skipped.
        markWriteFailed(path);
        return;
    }
    ++m_fileRewriteCount;
    m_uncompactedPaths.remove(path);
    m_pathsNeedingRepair.remove(path);
    secureFile(path);
}

bool SegmentStore::setAsideUnreadable(const QString &path)
{
    if (!m_files->exists(path)) {
        m_unreadablePaths.remove(path);
        return true;
    }
    QString aside = path;
    aside.chop(6);   // ".jsonl"
    aside += QStringLiteral(".unreadable-%1.jsonl").arg(Clock::nowMs());
    if (FileResult r = m_files->copyFile(path, aside); !r) {
        STORE_LOG(QStringLiteral("Failed to keep a copy of an unreadable file: %1").arg(r.error));
        return false;
    }
    qInfo().noquote()
        << QStringLiteral("[SegmentStore] Kept a copy of an unreadable history file before rewriting it: %1")
               .arg(fileNameOf(aside));
    m_unreadablePaths.remove(path);
    return true;
}

void SegmentStore::appendLine(const QByteArray &line, const QString &path)
{
    QByteArray text;
    text.reserve(line.size() + 1);
    text.append(line);
    text.append('\n');
    ++m_recordAppendCount;
    if (m_pathsNeedingRepair.contains(path) && path == segmentsFilePath(m_listDayKey)) {
        // An earlier write to this file failed; the list (which already holds this record) is the whole truth.
        rewriteListFile();
        return;
    }
    // Appending first and creating on "no such file" is "create when missing, else append" with one system call
    // less per record; the file layer also secures the file it appended to.
    const FileAccess::AppendResult r = m_files->appendWithTailCheck(path, text);
    if (r.missing) {
        const QString dir = parentOf(path);
        if (!dir.isEmpty() && !m_files->exists(dir))
            (void)m_files->makeDirectories(dir);
        if (FileResult created = m_files->writeFileAtomically(path, text); !created) {
            STORE_LOG(QStringLiteral("Failed to create file: %1").arg(created.error));
            markWriteFailed(path);
            return;
        }
        secureFile(path);
        return;
    }
    if (r.repairedTail)
        qInfo().noquote() << QStringLiteral("[SegmentStore] Repaired an unterminated history file before appending: %1")
                                 .arg(fileNameOf(path));
    if (!r.ok) {
        STORE_LOG(QStringLiteral("Failed to append to file: %1").arg(r.error));
        markWriteFailed(path);
    }
}

void SegmentStore::markForRewrite(const QString &path)
{
    m_uncompactedPaths.insert(path);
}

void SegmentStore::markWriteFailed(const QString &path)
{
    m_pathsNeedingRepair.insert(path);
    markForRewrite(path);
}

void SegmentStore::purgeRecordFromFile(const QString &path, const QUuid &id)
{
    if (!m_files->exists(path))
        return;
    const auto bytes = m_files->readFile(path);
    if (!bytes || !QByteArrayView(*bytes).isValidUtf8())
        return;   // never rewrite what could not be read
    QByteArray out;
    out.reserve(bytes->size());
    bool removed = false;
    for (QByteArrayView line : historyLines(*bytes)) {
        if (line.isEmpty())
            continue;
        const auto objects = Segment::decodableObjects(line);
        bool hasId = false;
        if (objects)
            for (const auto &object : *objects)
                hasId = hasId || object.second.id == id;
        if (!hasId) {
            out.append(line);
            out.append('\n');
            continue;
        }
        removed = true;
        for (const auto &[text, segment] : *objects)
            if (segment.id != id) {
                out.append(text);
                out.append('\n');
            }
    }
    if (!removed)
        return;
    if (FileResult r = m_files->writeFileAtomically(path, out); !r) {
        STORE_LOG(QStringLiteral("Failed to rewrite file: %1").arg(r.error));
        return;
    }
    ++m_fileRewriteCount;
    secureFile(path);
}

bool SegmentStore::applyPermissions(unsigned mode, const QString &path)
{
    if (FileResult r = m_files->setPermissions(path, mode); !r) {
        STORE_LOG(QStringLiteral("Failed to set permissions: %1").arg(r.error));
        return false;
    }
    return true;
}

QByteArray SegmentStore::historyFileContent(const QList<Segment> &segments)
{
    QByteArray out;
    out.reserve(segments.size() * 200);
    for (const Segment &s : segments) {
        if (const std::optional<QByteArray> line = s.toJSONLine()) {
            out.append(*line);
            out.append('\n');
        }
    }
    return out;
}

QList<Segment> SegmentStore::latestRecordPerId(const QList<Segment> &segments)
{
    QList<Segment> out;
    out.reserve(segments.size());
    QHash<QUuid, qsizetype> position;   // id -> index in `out` + 1
    position.reserve(segments.size());
    for (const Segment &s : segments) {
        qsizetype &slot = position[s.id];
        if (slot == 0) {
            out.append(s);
            slot = out.size();
        } else {
            out[slot - 1] = s;
        }
    }
    return out;
}

// --- Reading ---------------------------------------------------------------------------------------------------

QList<QByteArrayView> SegmentStore::historyLines(QByteArrayView utf8)
{
    QList<QByteArrayView> lines;
    lines.reserve(utf8.size() / 128 + 1);
    forEachLine(utf8, [&](QByteArrayView line) { lines.append(line); });
    return lines;
}

SegmentStore::LoadedHistory SegmentStore::loadHistory(QByteArrayView utf8)
{
    // Decoding and "latest record per id" in one pass: the output keeps the order of first appearance and the
    // content of the last, with no intermediate list of every record.
    LoadedHistory result;
    QList<Segment> &out = result.segments;
    out.reserve(utf8.size() / 400 + 1);   // a record line is 200-300 bytes, most ids appear twice
    QHash<QUuid, qsizetype> position;   // id -> index in `out` + 1
    position.reserve(utf8.size() / 400 + 1);
    qsizetype total = 0;
    forEachLine(utf8, [&](QByteArrayView line) {
        if (line.isEmpty())
            return;   // zero bytes; whitespace counts as content (and decodes to no records)
        std::optional<Segment::DecodedObjects> objects = Segment::decodableObjectsOfValidUtf8(line);
        if (!objects) {
            ++result.unreadable;
            return;
        }
        if (objects->size() > 1)
            result.welded += objects->size();
        for (auto &object : *objects) {
            ++total;
            qsizetype &slot = position[object.second.id];
            if (slot == 0) {
                out.append(std::move(object.second));
                slot = out.size();
            } else {
                out[slot - 1] = std::move(object.second);
            }
        }
    });
    result.superseded = total - out.size();
    return result;
}

SegmentStore::HistoryRead SegmentStore::readHistory(const QString &path, FileAccess *files)
{
    if (!files)
        files = FileAccess::real();
    HistoryRead read;
    if (!files->exists(path))
        return read;
    QString error;
    const std::optional<QByteArray> bytes = files->readFile(path, &error);
    if (!bytes) {
        read.status = HistoryRead::Status::unreadable;
        read.error = error;
        return read;
    }
    if (!QByteArrayView(*bytes).isValidUtf8()) {
        read.status = HistoryRead::Status::unreadable;
        read.error = QStringLiteral("not valid UTF-8");
        return read;
    }
    read.status = HistoryRead::Status::ok;
    read.history = loadHistory(*bytes);
    return read;
}

QList<Segment> SegmentStore::loadSegmentsFromFile(const QString &path)
{
    HistoryRead read = readHistory(path, m_files);
    switch (read.status) {
    case HistoryRead::Status::missing:
        m_unreadablePaths.remove(path);
        return {};
    case HistoryRead::Status::unreadable:
        STORE_LOG(QStringLiteral("Failed to read file: %1").arg(path));
        m_unreadablePaths.insert(path);
        return {};
    case HistoryRead::Status::ok:
        m_unreadablePaths.remove(path);
        break;
    }
    if (read.history.welded > 0)
        STORE_LOG(QStringLiteral("Recovered %1 segments from welded lines in %2")
                      .arg(read.history.welded)
                      .arg(fileNameOf(path)));
    if (read.history.superseded > 0)
        m_uncompactedPaths.insert(path);
    return std::move(read.history.segments);
}

QList<Segment> SegmentStore::peekSegments(const QDateTime &date)
{
    return loadSegmentsFromFile(segmentsFilePath(date));
}

void SegmentStore::refreshCurrentOpenSegmentFromMemory()
{
    if (!m_currentOpenSegment)
        return;
    for (const Segment &s : m_segments) {
        if (s.id == m_currentOpenSegment->id && s.isOpen()) {
            m_currentOpenSegment = s;
            return;
        }
    }
    m_currentOpenSegment.reset();
}

void SegmentStore::loadListOf(const QString &dayKey)
{
    QList<Segment> loaded = loadSegmentsFromFile(segmentsFilePath(dayKey));
    m_listDayKey = dayKey;
    m_listLoaded = true;
    setSegments(std::move(loaded));
}

void SegmentStore::loadSegments(const QDateTime &date)
{
    const QString key = dayKeyOf(date);
    loadListOf(key);
    if (key == Config::todayString()) {
        refreshCurrentOpenSegmentFromMemory();
        recoverOrphanOpenSegments();
    } else {
        // No segment is recorded while another day is shown; the open record stays in today's file until orphan
        // recovery closes it when today is loaded again.
        m_currentOpenSegment.reset();
    }
    STORE_LOG(QStringLiteral("Loaded %1 segments for %2").arg(m_segments.size()).arg(key));
    notifyChange();
}

void SegmentStore::goToToday()
{
    loadSegments(Clock::now());
    setSelectedDate(Clock::now());
}

void SegmentStore::loadToday()
{
    setSelectedDate(Clock::now());
    loadListOf(Config::todayString());
    refreshCurrentOpenSegmentFromMemory();
    recoverOrphanOpenSegments();
    STORE_LOG(QStringLiteral("Loaded %1 segments for today").arg(m_segments.size()));
}

void SegmentStore::notifyChange()
{
    // Always queued, also on the main thread: a sequence of store operations completes before anyone reacts.
    QMetaObject::invokeMethod(
        this,
        [this] {
            Q_EMIT segmentsChanged();
            Q_EMIT didChange();
        },
        Qt::QueuedConnection);
}
