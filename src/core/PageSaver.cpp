// SPDX-License-Identifier: MIT
#include "PageSaver.h"

#include <algorithm>

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

bool PageSaver::slotEmpty() const
{
    for (const auto &lines : m_slot.lines)
        if (lines)
            return false;
    return true;
}

void PageSaver::submit(Job job)
{
    std::lock_guard lock(m_mutex);
    if (m_slot.folder != job.folder)
        m_slot = Job{job.folder, {}};
    if (m_slot.lines.size() < job.lines.size())
        m_slot.lines.resize(job.lines.size());
    for (std::size_t i = 0; i < job.lines.size(); ++i)
        if (job.lines[i])
            m_slot.lines[i] = std::move(job.lines[i]);
    m_changed.notify_all();
}

void PageSaver::drop(const PageMask &pages)
{
    std::lock_guard lock(m_mutex);
    if (m_drops.size() < pages.size())
        m_drops.resize(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (!pages[i])
            continue;
        if (i < m_slot.lines.size())
            m_slot.lines[i].reset();
        ++m_drops[i];
    }
    m_changed.notify_all();
}

void PageSaver::waitIdle()
{
    std::unique_lock lock(m_mutex);
    m_tryNow = true;
    const std::uint64_t tries = m_tries;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return !m_busy && (slotEmpty() || (m_lastFailed && m_tries > tries)); });
}

std::optional<std::string> PageSaver::takeFailure()
{
    std::lock_guard lock(m_mutex);
    std::optional<std::string> failure;
    failure.swap(m_failure);
    return failure;
}

void PageSaver::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return !slotEmpty() || m_stop; });
        if (slotEmpty())
            return; // stopped with nothing left to write
        const auto due = m_lastStart + (m_lastFailed ? std::chrono::milliseconds(kRetryAfter) : kMinInterval);
        m_changed.wait_until(lock, due, [&] { return m_stop || m_tryNow || slotEmpty(); });
        if (slotEmpty())
            continue;
        m_tryNow = false;
        m_lastStart = std::chrono::steady_clock::now();
        Job job = std::move(m_slot);
        m_slot = Job{job.folder, {}};
        const std::vector<std::uint64_t> drops = m_drops;
        m_busy = true;
        lock.unlock();
        const PageSaveResult result = m_save(job.folder, job.lines);
        lock.lock();
        m_busy = false;
        ++m_tries;
        m_lastFailed = !result.ok;
        if (result.ok) {
            m_failureTold = false;
        } else {
            if (!m_failureTold)
                m_failure = result.path + ": " + result.error;
            m_failureTold = true;
            // Its lines wait for the next try, but for pages emptied or saved anew meanwhile.
            if (m_slot.folder == job.folder) {
                m_slot.lines.resize(std::max(m_slot.lines.size(), job.lines.size()));
                for (std::size_t i = 0; i < job.lines.size(); ++i) {
                    const bool dropped = i < m_drops.size() && (i >= drops.size() || drops[i] != m_drops[i]);
                    if (job.lines[i] && !m_slot.lines[i] && !dropped)
                        m_slot.lines[i] = std::move(job.lines[i]);
                }
            }
        }
        m_changed.notify_all();
        if (m_stop && !result.ok)
            return; // one last try only: the program is ending
    }
}

} // namespace core
