// SPDX-License-Identifier: MIT
// When the bytes of an input queue were taken from the device, so that a line's time is the
// moment its first byte came in, not the moment a busy window got round to it. The bytes are
// counted from the open (the total that ever arrived); each read marks where its bytes end and
// when they came. Reads within one millisecond share a mark, and past kMaxMarks later reads join
// the newest one (their time then reads early), so the record stays small however long the
// queue waits. Not locked; its owner guards it with the queue.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>

namespace platform
{

class ArrivalTimes
{
  public:
    static constexpr std::size_t kMaxMarks = 65536;

    // The bytes up to `endTotal` (the arrived total after them) came at `ms`.
    void arrived(std::uint64_t endTotal, std::int64_t ms)
    {
        if (!m_marks.empty() && (m_marks.back().ms == ms || m_marks.size() >= kMaxMarks)) {
            m_marks.back().end = endTotal;
            return;
        }
        m_marks.push_back({endTotal, ms});
    }

    // The byte at `headTotal` (the next to be read): when it came and how many bytes from it on
    // came with it. False when no byte at or after it is marked.
    bool at(std::uint64_t headTotal, std::int64_t *ms, std::uint64_t *run)
    {
        while (!m_marks.empty() && m_marks.front().end <= headTotal)
            m_marks.pop_front();
        if (m_marks.empty())
            return false;
        *ms = m_marks.front().ms;
        *run = m_marks.front().end - headTotal;
        return true;
    }

    // The oldest of the `queued` bytes still waiting of the `arrivedTotal` that came: its age at
    // `nowMs` and how many came with it, both within what a Win32 count holds. False when nothing
    // waits or nothing of it is marked.
    bool oldestQueued(std::uint64_t arrivedTotal, std::size_t queued, std::int64_t nowMs,
                      std::uint32_t *ageMs, std::uint32_t *run)
    {
        constexpr std::uint64_t kMaxCount = 0x7FFFFFFF;
        std::int64_t ms = 0;
        std::uint64_t n = 0;
        if (queued == 0 || !at(arrivedTotal - queued, &ms, &n))
            return false;
        *ageMs = static_cast<std::uint32_t>(std::clamp<std::int64_t>(nowMs - ms, 0, kMaxCount));
        *run = static_cast<std::uint32_t>(std::min<std::uint64_t>({n, queued, kMaxCount}));
        return true;
    }

    void clear() { m_marks.clear(); }

  private:
    struct Mark {
        std::uint64_t end;
        std::int64_t ms;
    };
    std::deque<Mark> m_marks;
};

} // namespace platform
