#include "merged_blocks.h"

#include <algorithm>
#include <iterator>

void MergedBlocks::add(qint64 startMs, qint64 endMs)
{
    if (endMs < startMs)
        return;
    auto it = m_blocks.upper_bound(startMs);
    if (it != m_blocks.begin()) {
        const auto previous = std::prev(it);
        if (previous->second >= startMs)
            it = previous;
    }
    qint64 start = startMs;
    qint64 end = endMs;
    while (it != m_blocks.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        m_seconds -= (it->second - it->first) / 1000;
        it = m_blocks.erase(it);
    }
    m_blocks.emplace(start, end);
    m_seconds += (end - start) / 1000;
}

void MergedBlocks::clear()
{
    m_blocks.clear();
    m_seconds = 0;
}
