// SPDX-License-Identifier: MIT
#include "PageSaver.h"

namespace core
{

PageSaver::PageSaver(std::size_t maxPending) : m_maxPending(maxPending == 0 ? 1 : maxPending)
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
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_queue.size() < m_maxPending || m_failure; });
    // Not written after a failed one: its lines go back with it, in order.
    if (m_failure)
        m_failure->jobs.push_back(std::move(job));
    else
        m_queue.push_back(std::move(job));
    m_changed.notify_all();
}

void PageSaver::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_queue.empty() && !m_busy; });
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
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        const PageSaveResult result = SavePageLines(job.folder, job.lines);
        lock.lock();
        m_busy = false;
        if (!result.ok) {
            if (!m_failure)
                m_failure.emplace();
            if (m_failure->error.empty())
                m_failure->error = result.path + ": " + result.error;
            m_failure->jobs.push_back(std::move(job));
            while (!m_queue.empty()) {
                m_failure->jobs.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
            }
        }
        m_changed.notify_all();
    }
}

} // namespace core
