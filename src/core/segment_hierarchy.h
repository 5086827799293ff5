#pragma once
// The application → window tree of a day's segments as the activity list and the log picker show it: AppGroup rows,
// ProcessGroup rows under them, and the totals beside each row. Ghost away-stretches are gathered under one
// "Overnight away (not counted)" row of the inactivity application.
#include "segment.h"

#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace SegmentHierarchy {
// The application name the idle tracker gives inactivity segments; its row sorts last.
[[nodiscard]] QString inactivityAppName();        // "Inactivity"
[[nodiscard]] QString overnightAwayTitle();       // "Overnight away (not counted)"
} // namespace SegmentHierarchy

// The totals take the id of the segment being recorded, so that it counts up with the clock.
struct ProcessGroup
{
    QString id;             // "{appName}-{windowTitle}"
    QString windowTitle;
    QList<Segment> segments;   // newest first

    [[nodiscard]] std::optional<Segment> latestSegment() const
    {
        return segments.isEmpty() ? std::nullopt : std::optional<Segment>(segments.first());
    }
    [[nodiscard]] bool isOvernightAway() const { return windowTitle == SegmentHierarchy::overnightAwayTitle(); }
    [[nodiscard]] qint64 liveTotalSeconds(const std::optional<QUuid> &currentOpenId) const;
    [[nodiscard]] qint64 pendingLiveTotalSeconds(const std::optional<QUuid> &currentOpenId) const;
    [[nodiscard]] QString formattedPendingDuration(const std::optional<QUuid> &currentOpenId) const;
    // The ghost row shows its whole length although none of it is ever uploaded.
    [[nodiscard]] QString formattedLogPickerDuration(const std::optional<QUuid> &currentOpenId) const;

    friend bool operator==(const ProcessGroup &, const ProcessGroup &) = default;
};

struct AppGroup
{
    QString id;        // the application name
    QString appName;
    QList<ProcessGroup> processes;   // display order

    [[nodiscard]] qint64 pendingLiveTotalSeconds(const std::optional<QUuid> &currentOpenId) const;
    [[nodiscard]] QString formattedLogPickerDuration(const std::optional<QUuid> &currentOpenId) const;

    friend bool operator==(const AppGroup &, const AppGroup &) = default;
};

namespace SegmentHierarchyBuilder {
// Applications in locale-aware, case-insensitive order with "Inactivity" last; within one, the ghost row first and
// then the window whose newest segment started last.
[[nodiscard]] QList<AppGroup> build(const QList<Segment> &segments, const std::optional<QUuid> &currentOpenId);
// The same with the id of the segment the application's store is recording.
[[nodiscard]] QList<AppGroup> build(const QList<Segment> &segments);
} // namespace SegmentHierarchyBuilder
