// SPDX-License-Identifier: MIT
#include "TrafficLog.h"

namespace core
{
namespace
{

class FileOutputImpl : public TrafficLog::Output
{
  public:
    explicit FileOutputImpl(platform::AppendFile file) : m_file(std::move(file)) {}
    char *room(std::size_t n) override { return m_file.room(n); }
    void commit(std::size_t n) override { m_file.commit(n); }
    bool writeOut(std::string *error) override { return m_file.writeOut(error); }
    bool syncData(std::string *error) override { return m_file.syncData(error); }
    bool failed(std::string *error) override { return m_file.failed(error); }

  private:
    platform::AppendFile m_file;
};

static_assert(TextSink::kMaxRoom <= platform::AppendFile::kMaxRoom);

} // namespace

std::unique_ptr<TrafficLog::Output> TrafficLog::FileOutput(platform::AppendFile file)
{
    return std::make_unique<FileOutputImpl>(std::move(file));
}

TrafficLog::TrafficLog(std::unique_ptr<Output> output, std::size_t maxPending)
    : m_maxPending(maxPending == 0 ? 1 : maxPending), m_output(std::move(output))
{
    m_worker = std::thread([this] { run(); });
    m_syncer = std::thread([this] { syncToDisk(); });
}

TrafficLog::~TrafficLog()
{
    close();
}

void TrafficLog::close()
{
    if (!m_worker.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_worker.join();
    {
        std::lock_guard lock(m_mutex);
        m_written = true;
    }
    m_changed.notify_all();
    m_syncer.join();
}

void TrafficLog::submit(platform::ByteBuffer records)
{
    if (records.empty())
        return;
    std::unique_lock lock(m_mutex);
    // One hand-over always goes in, however large, so that a wait cannot last for ever.
    m_changed.wait(lock, [&] {
        return m_pendingBytes == 0 || m_pendingBytes + records.size() <= m_maxPending || m_failed;
    });
    if (m_failed)
        return;
    m_pendingBytes += records.size();
    m_queue.push_back(std::move(records));
    m_changed.notify_all();
}

platform::ByteBuffer TrafficLog::spare()
{
    std::lock_guard lock(m_mutex);
    if (m_spares.empty())
        return {};
    platform::ByteBuffer bytes = std::move(m_spares.back());
    m_spares.pop_back();
    m_spareBytes -= bytes.capacity();
    return bytes;
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

void TrafficLog::fail(const std::string &error)
{
    if (m_failed)
        return;
    m_failed = true;
    m_failure = error;
    m_queue.clear();
    m_pendingBytes = 0;
}

void TrafficLog::run()
{
    using Clock = std::chrono::steady_clock;
    TrafficText text(*m_output);
    std::string error;
    bool waiting = false;         // text not yet in the file,
    Clock::time_point writeOutAt; // which goes there then

    std::unique_lock lock(m_mutex);
    for (;;) {
        const auto ready = [&] { return !m_queue.empty() || m_stop; };
        if (waiting)
            m_changed.wait_until(lock, writeOutAt, ready);
        else
            m_changed.wait(lock, ready);
        // Stopped with everything taken: the line still open goes as it stands.
        const bool last = m_stop && m_queue.empty();
        std::deque<platform::ByteBuffer> batch;
        batch.swap(m_queue);
        m_pendingBytes = 0;
        const bool failed = m_failed;
        m_busy = true;
        m_changed.notify_all(); // room for the next hand-over
        lock.unlock();

        bool ok = true;
        bool writtenOut = false;
        if (!failed) {
            for (auto it = batch.begin(); ok && it != batch.end(); ++it) {
                text.add(*it);
                ok = !m_output->failed(&error);
            }
            if (ok && last)
                text.finish();
            if (!waiting && !batch.empty()) {
                waiting = true;
                writeOutAt = Clock::now() + kFlushEvery;
            }
            if (ok && (last || (waiting && Clock::now() >= writeOutAt))) {
                ok = m_output->writeOut(&error);
                writtenOut = true;
                waiting = false;
            }
        }

        lock.lock();
        // The buffers a backlog needed are kept, up to the backlog's own bound: the writer falls
        // behind again whenever a flush to the disk holds it up, and every buffer freed then has
        // to be taken afresh from the system, page by page, on the display's thread.
        for (platform::ByteBuffer &bytes : batch) {
            if (m_spareBytes + bytes.capacity() > m_maxPending)
                break;
            bytes.clear();
            m_spareBytes += bytes.capacity();
            m_spares.push_back(std::move(bytes));
        }
        lock.unlock();
        batch.clear(); // the rest is freed without holding up a hand-over
        lock.lock();
        m_busy = false;
        m_unsynced = m_unsynced || (writtenOut && ok);
        if (!ok)
            fail(error);
        m_changed.notify_all();
        if (last)
            return;
    }
}

void TrafficLog::syncToDisk()
{
    // A thread of its own: a flush to the disk may take longer than a second of traffic takes to
    // write, and the writer must not wait for it (the display would wait for the writer next).
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_unsynced || m_written; });
        if (m_unsynced && !m_failed) {
            m_unsynced = false;
            lock.unlock();
            std::string error;
            const bool ok = m_output->syncData(&error);
            lock.lock();
            if (!ok)
                fail(error);
            m_changed.notify_all();
            continue;
        }
        if (m_written)
            return;
        m_unsynced = false; // failed: nothing more goes to the disk
    }
}

} // namespace core
