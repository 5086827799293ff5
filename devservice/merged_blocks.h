#pragma once
// The union of time intervals as merged blocks, kept up to date one interval at a time so a day's
// totals never need a pass over all its segments. Touching intervals join; each block counts its own
// length in whole seconds (truncated), matching how the desktop adds up a day.
#include <QtGlobal>

#include <map>

class MergedBlocks
{
public:
    void add(qint64 startMs, qint64 endMs);
    void clear();
    [[nodiscard]] qint64 seconds() const { return m_seconds; }

private:
    std::map<qint64, qint64> m_blocks; // start → end, disjoint and not touching
    qint64 m_seconds = 0;
};
