// SPDX-License-Identifier: MIT
#include "PageSaver.h"

namespace core
{

PageSaver::PageSaver(SaveFunction save) : m_save(std::move(save))
{
    m_worker = std::thread([this] { run(); });
}

PageSaver::~PageSaver()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

void PageSaver::submit(Job job)
{
    std::lock_guard lock(m_mutex);
    // Not written after a failed one: its lines go back with it, in order.
    if (m_failure) {
        m_failure->jobs.push_back(std::move(job));
        return;
    }
    if (!m_queue.empty() && m_queue.back().job.folder == job.folder) {
        Waiting &waiting = m_queue.back();
        // The files of the pages this save writes would be replaced at once: the waiting save's
        // lines for them are only kept should this one fail. The others it writes in its place.
        Job replaced{waiting.job.folder, {}, {}};
        for (int i = 0; i < kPageCount; ++i) {
            Job &to = job.lines[i] ? replaced : job;
            to.lines[i] = std::move(waiting.job.lines[i]);
            to.times[i] = std::move(waiting.job.times[i]);
        }
        waiting.job = std::move(job);
        waiting.replaced = std::move(replaced);
    } else {
        m_queue.push_back(Waiting{std::move(job), std::nullopt});
    }
    m_changed.notify_all();
}

void PageSaver::waitIdle()
{
    std::unique_lock lock(m_mutex);
    ++m_idleWaiters;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_queue.empty() && !m_busy; });
    --m_idleWaiters;
}

std::optional<PageSaver::Failure> PageSaver::takeFailure()
{
    std::lock_guard lock(m_mutex);
    std::optional<Failure> failure;
    failure.swap(m_failure);
    return failure;
}

void PageSaver::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return !m_queue.empty() || m_stop; });
        if (m_queue.empty())
            return; // stopped with nothing left to write
        m_changed.wait_until(lock, m_lastStart + kMinInterval, [&] { return m_stop || m_idleWaiters > 0; });
        m_lastStart = std::chrono::steady_clock::now();
        Waiting waiting = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        const PageSaveResult result = m_save(waiting.job.folder, waiting.job.lines);
        lock.lock();
        m_busy = false;
        if (!result.ok) {
            if (!m_failure)
                m_failure.emplace();
            if (m_failure->error.empty())
                m_failure->error = result.path + ": " + result.error;
            m_queue.push_front(std::move(waiting));
            for (Waiting &w : m_queue) {
                if (w.replaced)
                    m_failure->jobs.push_back(std::move(*w.replaced));
                m_failure->jobs.push_back(std::move(w.job));
            }
            m_queue.clear();
        }
        m_changed.notify_all();
    }
}

} // namespace core
