// SPDX-License-Identifier: MIT
// The loopback plug: the registry of plugs by COM number and the calls tests use to watch the
// lines and play the far end.
#include "SerialLoopbackPlug.h"

#include "SerialInternal.h"

#include <map>

namespace platform
{

namespace
{

struct Registry {
    std::mutex mutex;
    std::map<int, std::shared_ptr<LoopbackPlug>> plugs;
};

Registry &Plugs()
{
    static Registry registry;
    return registry;
}

} // namespace

LoopbackPlug::LoopbackPlug(int comNumber) : m_impl(std::make_shared<Impl>(comNumber)) {}

std::shared_ptr<LoopbackPlug> LoopbackPlug::Get(int comNumber)
{
    Registry &r = Plugs();
    const std::lock_guard lock(r.mutex);
    auto &plug = r.plugs[comNumber];
    if (!plug)
        plug = std::make_shared<LoopbackPlug>(comNumber);
    return plug;
}

void LoopbackPlug::ResetAll()
{
    std::map<int, std::shared_ptr<LoopbackPlug>> forgotten;
    {
        Registry &r = Plugs();
        const std::lock_guard lock(r.mutex);
        forgotten.swap(r.plugs);
    }
}

bool LoopbackPlug::isOpen() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->open != nullptr;
}

int LoopbackPlug::openCount() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->openCount;
}

bool LoopbackPlug::rts() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->rts;
}

bool LoopbackPlug::dtr() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->dtr;
}

bool LoopbackPlug::breakOn() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->breakOn;
}

std::vector<LoopbackPlug::LineEvent> LoopbackPlug::lineLog() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->log;
}

void LoopbackPlug::clearLineLog()
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->log.clear();
}

std::string LoopbackPlug::takeWritten()
{
    const std::lock_guard lock(m_impl->mutex);
    std::string out;
    out.swap(m_impl->written);
    return out;
}

void LoopbackPlug::inject(const std::string &bytes, DWORD lineErrors, bool breakSignal)
{
    const std::lock_guard lock(m_impl->mutex);
    // Nothing listens on a closed port: what arrives then is lost, as on a real line.
    if (m_impl->open && (!bytes.empty() || lineErrors || breakSignal))
        ReceiveLocked(*m_impl->open, bytes.data(), bytes.size(), lineErrors, breakSignal);
}

void LoopbackPlug::holdOutput(bool hold)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->hold = hold;
    if (!hold && m_impl->open)
        ReleaseOutputLocked(*m_impl->open);
}

void LoopbackPlug::setInputCapacity(std::size_t bytes)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->inCapacity = bytes;
    if (m_impl->open)
        ReleaseOutputLocked(*m_impl->open);
}

void LoopbackPlug::setOutputCapacity(std::size_t bytes)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->capacity = bytes;
    if (m_impl->open)
        NotifyLocked(*m_impl->open);
}

void LoopbackPlug::refuseState(std::function<bool(const DCB &)> predicate)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->refuseState = std::move(predicate);
}

void LoopbackPlug::refuseSetup(std::function<bool(DWORD, DWORD)> predicate)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->refuseSetup = std::move(predicate);
}

void LoopbackPlug::refuseTimeouts(std::function<bool(const COMMTIMEOUTS &)> predicate)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->refuseTimeouts = std::move(predicate);
}

DCB LoopbackPlug::state() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->dcb;
}

COMMTIMEOUTS LoopbackPlug::timeouts() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->timeouts;
}

DWORD LoopbackPlug::inQueueSize() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->inQueue;
}

DWORD LoopbackPlug::outQueueSize() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->outQueue;
}

int LoopbackPlug::setStateCalls() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->setStateCalls;
}

int LoopbackPlug::setupCalls() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->setupCalls;
}

void LoopbackPlug::setMissing(bool missing)
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->missing = missing;
}

bool LoopbackPlug::isMissing() const
{
    const std::lock_guard lock(m_impl->mutex);
    return m_impl->missing;
}

void LoopbackPlug::unplug()
{
    const std::lock_guard lock(m_impl->mutex);
    m_impl->missing = true;
    if (m_impl->open)
        RemoveLocked(*m_impl->open);
}

} // namespace platform
