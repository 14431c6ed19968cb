// SPDX-License-Identifier: MIT
#include "TrafficLog.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace core
{
namespace
{

// The writer writes once it has made this much text, and at the end of every hand-over: whole
// lines, in pieces the kernel takes cheaply.
constexpr std::size_t kWriteAt = std::size_t(1) << 20;

class FileOutputImpl : public TrafficLog::Output
{
  public:
    explicit FileOutputImpl(platform::AppendFile file) : m_file(std::move(file)) {}
    bool write(std::string_view text, std::string *error) override { return m_file.write(text, error); }
    bool sync(std::string *error) override { return m_file.syncData(error); }

  private:
    platform::AppendFile m_file;
};

} // namespace

struct TrafficLog::State {
    State(std::unique_ptr<Output> out, std::size_t max)
        : maxPending(max == 0 ? 1 : max), output(std::move(out))
    {
    }

    // Under mutex.
    void fail(const std::string &error)
    {
        if (failed)
            return;
        failed = true;
        failure = error;
        queue.clear();
        pendingBytes = 0;
    }

    const std::size_t maxPending;
    const std::unique_ptr<Output> output; // write: the writer's; sync: the flusher's

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> queue; // under mutex, as are the fields below
    std::vector<std::string> spares;
    std::size_t spareBytes = 0; // their capacity
    std::size_t pendingBytes = 0;
    bool busy = false;
    bool stop = false;
    bool abandoned = false; // close() gave up waiting: the workers end as soon as they can
    bool writerDone = false;
    bool flusherDone = false;
    bool unsynced = false; // written since the last flush
    bool failed = false;
    std::optional<std::string> failure;
};

std::unique_ptr<TrafficLog::Output> TrafficLog::FileOutput(platform::AppendFile file)
{
    return std::make_unique<FileOutputImpl>(std::move(file));
}

TrafficLog::TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending)
    : m_state(std::make_shared<State>(std::move(output), maxPending))
{
    m_writer = std::thread([state = m_state] { Write(state); });
    m_flusher = std::thread([state = m_state] { Flush(state); });
}

TrafficLog::~TrafficLog()
{
    close();
}

bool TrafficLog::close(std::chrono::milliseconds grace)
{
    if (!m_writer.joinable())
        return m_closedInTime;
    State &s = *m_state;
    std::unique_lock lock(s.mutex);
    s.stop = true;
    s.changed.notify_all();
    m_closedInTime = s.changed.wait_for(lock, grace, [&] { return s.writerDone && s.flusherDone; });
    if (!m_closedInTime) {
        // A disk that does not answer must not hold the window: the workers keep the state alive
        // until their calls return, and then end.
        s.abandoned = true;
        s.changed.notify_all();
        lock.unlock();
        m_writer.detach();
        m_flusher.detach();
        return false;
    }
    lock.unlock();
    m_writer.join();
    m_flusher.join();
    return true;
}

void TrafficLog::submit(std::string records)
{
    if (records.empty())
        return;
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.failed || s.stop)
        return;
    s.pendingBytes += records.size();
    s.queue.push_back(std::move(records));
    s.changed.notify_all();
}

std::string TrafficLog::spare()
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    if (s.spares.empty())
        return {};
    std::string bytes = std::move(s.spares.back());
    s.spares.pop_back();
    s.spareBytes -= bytes.capacity();
    return bytes;
}

bool TrafficLog::backlogFull(std::size_t notYetSubmitted) const
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    return s.pendingBytes + notYetSubmitted >= s.maxPending;
}

void TrafficLog::waitWritten()
{
    State &s = *m_state;
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] { return (s.queue.empty() && !s.busy) || s.failed; });
}

std::optional<std::string> TrafficLog::takeFailure()
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    std::optional<std::string> failure;
    failure.swap(s.failure);
    return failure;
}

bool TrafficLog::failed() const
{
    State &s = *m_state;
    std::lock_guard lock(s.mutex);
    return s.failed;
}

void TrafficLog::Write(const std::shared_ptr<State> &state)
{
    State &s = *state;
    TrafficText text;
    std::string out;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return !s.queue.empty() || s.stop; });
        if (s.abandoned)
            break;
        // Stopped with everything taken.
        const bool last = s.stop && s.queue.empty();
        std::deque<std::string> batch;
        batch.swap(s.queue);
        s.pendingBytes = 0;
        const bool skip = s.failed;
        s.busy = true;
        s.changed.notify_all();
        lock.unlock();

        bool ok = true;
        bool wrote = false;
        std::string error;
        auto put = [&] {
            if (ok && !out.empty()) {
                ok = s.output->write(out, &error);
                wrote = true;
            }
            out.clear();
        };
        if (!skip) {
            for (const std::string &records : batch) {
                text.add(records, out);
                if (out.size() >= kWriteAt)
                    put();
            }
            put();
            if (out.capacity() > 4 * kWriteAt) // after a line of many megabytes
                std::string().swap(out);
        }

        lock.lock();
        // The buffers a backlog needed are kept, up to the backlog's own bound: the writer falls
        // behind whenever the disk holds it up, and the display's thread then needs them again.
        for (std::string &records : batch) {
            if (s.spareBytes + records.capacity() > s.maxPending)
                break;
            records.clear();
            s.spareBytes += records.capacity();
            s.spares.push_back(std::move(records));
        }
        s.busy = false;
        s.unsynced = s.unsynced || (wrote && ok);
        if (!ok)
            s.fail(error);
        s.changed.notify_all();
        if (last)
            break;
    }
    s.writerDone = true;
    s.changed.notify_all();
}

void TrafficLog::Flush(const std::shared_ptr<State> &state)
{
    // A thread of its own: a flush to the disk may take longer than a second of traffic takes to
    // write, and the writer must not wait for it.
    State &s = *state;
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.changed.wait(lock, [&] { return s.unsynced || s.writerDone || s.abandoned; });
        // One flush a second at most: what is written meanwhile goes with it.
        if (!s.writerDone && !s.abandoned)
            s.changed.wait_for(lock, kFlushEvery, [&] { return s.writerDone || s.abandoned; });
        if (s.unsynced && !s.failed && !s.abandoned) {
            s.unsynced = false;
            lock.unlock();
            std::string error;
            const bool ok = s.output->sync(&error);
            lock.lock();
            if (!ok)
                s.fail(error);
            s.changed.notify_all();
        }
        if ((s.writerDone && !s.unsynced) || s.abandoned || (s.writerDone && s.failed))
            break;
    }
    s.flusherDone = true;
    s.changed.notify_all();
}

} // namespace core
