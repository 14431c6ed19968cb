// SPDX-License-Identifier: MIT
#include "CommxThreads.h"

#include "Tick.h"
#include "UiBridge.h"

#include <QCoreApplication>

#include <chrono>
#include <thread>

namespace commx_detail
{
namespace
{

using namespace std::chrono_literals;
using platform::DWORD;
using platform::SleepMs;

// Never destroyed: workers may still be finishing while static objects go away at exit.
struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;
};
Registry &registry()
{
    static auto *r = new Registry;
    return *r;
}

// Runs the worker's Execute on a thread of its own that nobody joins: the worker holds itself
// until Execute returns, and the registry counts it until then.
void StartDetached(std::function<void()> execute)
{
    WorkerRegistry::started();
    try {
        std::thread(std::move(execute)).detach();
    } catch (...) {
        WorkerRegistry::ended();
        throw;
    }
}

} // namespace

std::int32_t CharTimeFor(std::int32_t bitRate)
{
    const std::int32_t tenth = bitRate / 10;
    return tenth > 0 ? 1000 / tenth + 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Session

Session::Session(platform::HANDLE device, TCustomCommX *owner_) : handle(std::move(device)), owner(owner_) {}

void Session::post(std::uint32_t message, std::intptr_t lParam, std::function<void()> done)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        if (done)
            done();
        return;
    }
    // The call keeps the session alive: the check needs it, and a component that has moved on
    // to a later open (or closed) has another session, or none, and the notice is dropped.
    platform::PostToUi(app, [self = shared_from_this(), message, lParam, done = std::move(done)] {
        TCustomCommX *target = self->owner;
        if (target && target->m_session == self)
            target->WndProc(message, 0, lParam);
        if (done)
            done();
    });
}

DWORD Session::takeLineErrors()
{
    DWORD errors = 0;
    platform::COMSTAT status;
    platform::ClearCommError(handle, &errors, &status);
    return (errors | keptErrors.exchange(0)) & kLineErrorMask;
}

void Session::postLineErrors()
{
    const DWORD bits = takeLineErrors();
    if (bits != 0)
        post(kLineErrorNotice, static_cast<std::intptr_t>(bits));
}

// ---------------------------------------------------------------------------------------------
// WorkerRegistry

void WorkerRegistry::started()
{
    std::lock_guard lock(registry().mutex);
    ++registry().running;
}

void WorkerRegistry::ended()
{
    std::lock_guard lock(registry().mutex);
    if (--registry().running == 0)
        registry().idle.notify_all();
}

bool WorkerRegistry::waitAll(int timeoutMs)
{
    std::unique_lock lock(registry().mutex);
    return registry().idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [] { return registry().running == 0; });
}

int WorkerRegistry::running()
{
    std::lock_guard lock(registry().mutex);
    return registry().running;
}

// ---------------------------------------------------------------------------------------------
// TCommTransThread

TCommTransThread::TCommTransThread(std::shared_ptr<Session> session) : m_session(std::move(session)) {}

std::shared_ptr<TCommTransThread> TCommTransThread::Start(std::shared_ptr<Session> session)
{
    std::shared_ptr<TCommTransThread> self(new TCommTransThread(std::move(session)));
    StartDetached([self] { self->Execute(); });
    return self;
}

bool TCommTransThread::PostBlock(std::uint32_t count, std::uint8_t *block)
{
    return m_queue.Post({kTransBlockNotice, count, reinterpret_cast<std::intptr_t>(block)});
}

void TCommTransThread::Terminate()
{
    m_terminated = true;
    m_queue.Post({kWakeUpNotice, 0, 0});
}

void TCommTransThread::Release(const platform::ThreadMessage &msg)
{
    if (msg.message != kTransBlockNotice)
        return;
    delete[] reinterpret_cast<std::uint8_t *>(msg.lParam);
    std::lock_guard lock(m_session->counterLock);
    m_session->pendingBytes -= static_cast<std::int32_t>(msg.wParam);
    if (m_session->pendingBytes <= 0)
        m_session->pendingBytes = 0;
    if (m_session->queuedBlocks != 0)
        --m_session->queuedBlocks;
    m_session->blockDone.notify_all();
}

void TCommTransThread::WriteBlock(const std::uint8_t *position, DWORD length, platform::OVERLAPPED &ov)
{
    Session &s = *m_session;
    while (!s.clearFlag && !m_terminated) {
        DWORD written = 0;
        bool ok;
        {
            std::lock_guard lock(s.writeLock);
            ok = platform::WriteFile(s.handle, position, length, &written, &ov);
        }
        if (ok)
            return;
        if (platform::GetLastError() != platform::ERROR_IO_PENDING) {
            s.postLineErrors();
            return;
        }
        // The wait happens outside the write lock, so that ClearTransBuf's purge can abort it.
        if (platform::GetOverlappedResult(s.handle, &ov, &written, true))
            return; // a short completion (write time-out) drops the rest of the block
        s.postLineErrors();
        if (written >= length)
            return;
        position += written;
        length -= written;
    }
}

void TCommTransThread::Execute()
{
    platform::OVERLAPPED ov;
    while (!m_terminated) {
        bool burst = false;
        m_queue.WaitMessage();
        while (auto msg = m_queue.PeekMessage()) {
            if (msg->message != kTransBlockNotice)
                continue; // the wake-up notice: only the terminate flag matters
            if (!m_session->clearFlag && !m_terminated) {
                if (!burst) {
                    burst = true;
                    HalfCtrlStart();
                }
                WriteBlock(reinterpret_cast<const std::uint8_t *>(msg->lParam),
                           static_cast<DWORD>(msg->wParam), ov);
            }
            Release(*msg);
        }
        if (burst)
            HalfCtrlEnd();
    }
    SleepMs(100); // a write the close aborted finishes leaving the device before the thread goes
    // Blocks posted after the last look at the queue are nobody's any more: release them and
    // take their bytes off the counts, or ClearTransBuf would wait for them for ever.
    for (const auto &msg : m_queue.Close())
        Release(msg);
    m_session.reset();
    WorkerRegistry::ended();
}

void TCommTransThread::HalfCtrlStart()
{
    const int flow = m_session->flowCtrl;
    if (flow != cfcHalfHigh && flow != cfcHalfLow)
        return;
    SleepMs(50); // the far end finishes its own sending before RTS turns the line round
    platform::EscapeCommFunction(m_session->handle,
                                 flow == cfcHalfHigh ? platform::SETRTS : platform::CLRRTS);
    SleepMs(m_session->charTime); // the far end sees RTS change before the first byte
}

void TCommTransThread::HalfCtrlEnd()
{
    const int flow = m_session->flowCtrl;
    if (flow != cfcHalfHigh && flow != cfcHalfLow)
        return;
    SleepMs(m_session->charTime); // the last byte leaves the line before RTS turns back
    platform::EscapeCommFunction(m_session->handle,
                                 flow == cfcHalfHigh ? platform::CLRRTS : platform::SETRTS);
}

// ---------------------------------------------------------------------------------------------
// TCommReceiveThread

TCommReceiveThread::TCommReceiveThread(std::shared_ptr<Session> session) : m_session(std::move(session)) {}

std::shared_ptr<TCommReceiveThread> TCommReceiveThread::Start(std::shared_ptr<Session> session)
{
    std::shared_ptr<TCommReceiveThread> self(new TCommReceiveThread(std::move(session)));
    StartDetached([self] { self->Execute(); });
    return self;
}

void TCommReceiveThread::Terminate()
{
    {
        std::lock_guard lock(m_sendMutex);
        m_terminated = true;
    }
    m_sendDone.notify_all();
    m_waitEvent.Set();
}

bool TCommReceiveThread::Send(std::uint32_t message, std::intptr_t lParam)
{
    std::uint64_t seq;
    {
        std::lock_guard lock(m_sendMutex);
        if (m_terminated)
            return false;
        seq = ++m_sentSeq;
    }
    m_session->post(message, lParam, [self = shared_from_this(), seq] {
        std::lock_guard lock(self->m_sendMutex);
        if (seq > self->m_handledSeq)
            self->m_handledSeq = seq;
        self->m_sendDone.notify_all();
    });
    std::unique_lock lock(m_sendMutex);
    m_sendDone.wait(lock, [&] { return m_handledSeq >= seq || m_terminated; });
    return !m_terminated;
}

void TCommReceiveThread::ReportLineErrors()
{
    const DWORD bits = m_session->takeLineErrors();
    if (bits != 0)
        Send(kLineErrorNotice, static_cast<std::intptr_t>(bits));
}

void TCommReceiveThread::Execute()
{
    while (!m_terminated) {
        DWORD mask = 0;
        // A device that cannot wait (closed, pulled out) would answer at once for ever: sleep on
        // the wait event instead, until PortClose signals it. A device that went away is told
        // once, after everything it reported before.
        if (!platform::WaitCommEvent(m_session->handle, &mask, m_waitEvent)) {
            const platform::DWORD error = platform::GetLastError();
            if (error == platform::ERROR_DEVICE_REMOVED && !m_terminated) {
                ReportLineErrors();
                Send(kDeviceLostNotice, 0);
            }
            m_waitEvent.Wait();
        }
        if (m_terminated)
            break;
        ReportLineErrors();
        if (mask & platform::EV_BREAK)
            Send(kBreakNotice, static_cast<std::intptr_t>(mask));
        if (mask & platform::EV_RXCHAR) {
            const auto posted = std::chrono::steady_clock::now();
            Send(kDataReadyNotice, 0);
            // One data notice per display tick is all the window can use: bytes that come
            // meanwhile wait in the device's queue and are taken in one go, instead of costing the
            // user-interface thread a wake-up for every small read.
            const auto gap = std::chrono::milliseconds(m_session->noticeGapMs.load()) -
                             (std::chrono::steady_clock::now() - posted);
            if (gap > 0ms && !m_terminated)
                m_waitEvent.Wait(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(gap).count()));
        }
    }
    platform::SetCommMask(m_session->handle, 0);
    SleepMs(100); // a notice still being handled on the user-interface thread finishes first
    m_session.reset();
    WorkerRegistry::ended();
}

} // namespace commx_detail
