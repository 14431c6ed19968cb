// SPDX-License-Identifier: MIT
#include "TrafficLog.h"

#include "Cells.h"
#include "TimeText.h"

#include <cstdio>

namespace core
{
namespace
{

constexpr std::string_view kSeparator = "|";
constexpr std::string_view kLineEnd = "\r\n";
// A batch is written in parts of this many lines, so that the pieces stay small.
constexpr std::size_t kLinesPerWrite = 1024;

class FileOutputImpl : public TrafficLog::Output
{
  public:
    explicit FileOutputImpl(platform::AppendFile file) : m_file(std::move(file)) {}
    ~FileOutputImpl() override { m_file.close(); }
    bool write(const std::string_view *pieces, std::size_t count, std::string *error) override
    {
        return m_file.write(pieces, count, error);
    }
    bool sync(std::string *error) override { return m_file.sync(error); }

  private:
    platform::AppendFile m_file;
};

std::string_view Tag(const TrafficRecord &r)
{
    return r.out ? kOutTag : kInTag;
}

} // namespace

std::unique_ptr<TrafficLog::Output> TrafficLog::FileOutput(platform::AppendFile file)
{
    return std::make_unique<FileOutputImpl>(std::move(file));
}

TrafficLog::TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending)
    : m_maxPending(maxPending == 0 ? 1 : maxPending), m_output(std::move(output))
{
    m_worker = std::thread([this] { run(); });
}

TrafficLog::~TrafficLog()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

void TrafficLog::submit(std::vector<TrafficRecord> records)
{
    if (records.empty())
        return;
    std::size_t bytes = 0;
    for (const TrafficRecord &r : records)
        bytes += r.hex.size() + r.chr.size();
    std::unique_lock lock(m_mutex);
    // One hand-over always goes in, however large, so that a wait cannot last for ever.
    m_changed.wait(lock,
                   [&] { return m_pendingBytes == 0 || m_pendingBytes + bytes <= m_maxPending || m_failed; });
    if (m_failed)
        return;
    if (m_queue.empty()) {
        m_queue = std::move(records);
    } else {
        m_queue.insert(m_queue.end(), std::make_move_iterator(records.begin()),
                       std::make_move_iterator(records.end()));
    }
    m_pendingBytes += bytes;
    m_changed.notify_all();
}

void TrafficLog::waitWritten()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return (m_queue.empty() && !m_busy) || m_failed; });
}

std::optional<std::string> TrafficLog::takeFailure()
{
    std::lock_guard lock(m_mutex);
    std::optional<std::string> failure;
    failure.swap(m_failure);
    return failure;
}

bool TrafficLog::failed() const
{
    std::lock_guard lock(m_mutex);
    return m_failed;
}

unsigned long long TrafficLog::linesWritten() const
{
    std::lock_guard lock(m_mutex);
    return m_written;
}

bool TrafficLog::writeBatch(const std::vector<TrafficRecord> &batch, std::string &error)
{
    // The time texts of a part lie in one buffer, the cells stay where they are: the lines go to
    // the file as gathered pieces without being copied together first.
    constexpr std::size_t kHeadLength = 23 + 1 + 7; // date and time, blank, tag
    std::string heads;
    std::vector<std::string_view> pieces;
    for (std::size_t from = 0; from < batch.size(); from += kLinesPerWrite) {
        const std::size_t to = std::min(batch.size(), from + kLinesPerWrite);
        heads.clear();
        heads.reserve((to - from) * kHeadLength);
        for (std::size_t k = from; k < to; ++k) {
            const TrafficRecord &r = batch[k];
            const std::int64_t second = r.time >= 0 ? r.time / 1000 : (r.time - 999) / 1000;
            if (second != m_cachedSecond) {
                m_cachedSecond = second;
                m_cachedText = DateTimeText(second * 1000).substr(0, 20); // "YYYY-MM-DD HH:MM:SS."
            }
            char milli[4];
            std::snprintf(milli, sizeof milli, "%03d", static_cast<int>(r.time - second * 1000));
            heads.append(m_cachedText).append(milli, 3).append(" ").append(Tag(r));
        }
        pieces.clear();
        for (std::size_t k = from; k < to; ++k) {
            const TrafficRecord &r = batch[k];
            pieces.push_back(std::string_view(heads).substr((k - from) * kHeadLength, kHeadLength));
            pieces.push_back(r.hex);
            pieces.push_back(kSeparator);
            pieces.push_back(r.chr);
            pieces.push_back(kLineEnd);
        }
        if (!m_output->write(pieces.data(), pieces.size(), &error))
            return false;
        std::lock_guard lock(m_mutex);
        m_written += to - from;
    }
    return true;
}

void TrafficLog::run()
{
    using Clock = std::chrono::steady_clock;
    bool unsynced = false;
    Clock::time_point lastSync = Clock::now();
    std::unique_lock lock(m_mutex);
    for (;;) {
        auto ready = [&] { return !m_queue.empty() || m_stop; };
        if (unsynced)
            m_changed.wait_until(lock, lastSync + kFlushEvery, ready);
        else
            m_changed.wait(lock, ready);
        std::vector<TrafficRecord> batch;
        batch.swap(m_queue);
        m_pendingBytes = 0;
        const bool stopping = m_stop && batch.empty();
        m_busy = true;
        m_changed.notify_all(); // room for the next hand-over
        lock.unlock();

        std::string error;
        bool ok = true;
        if (!m_failed && !batch.empty()) {
            ok = writeBatch(batch, error);
            unsynced = true;
        }
        if (ok && unsynced && (stopping || Clock::now() - lastSync >= kFlushEvery)) {
            ok = m_output->sync(&error);
            unsynced = false;
            lastSync = Clock::now();
        }
        batch.clear();

        lock.lock();
        m_busy = false;
        if (!ok)
            unsynced = false; // nothing more goes to a file that failed
        if (!ok && !m_failed) {
            m_failed = true;
            m_failure = error;
            m_queue.clear();
            m_pendingBytes = 0;
        }
        m_changed.notify_all();
        if (stopping && !unsynced)
            return;
        if (m_failed && m_stop)
            return;
    }
}

} // namespace core
