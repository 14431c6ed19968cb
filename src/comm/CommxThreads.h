// SPDX-License-Identifier: MIT
// The shared state of one open port and the component's two worker threads.
//
// Everything a worker may touch lives in the Session of the open it was started for: the device
// handle, the two locks and counts, the flags. A worker never holds the component itself, so
// neither a later open of the same component nor the component's destruction can be reached
// from a worker that has not ended yet. Notices for the component are carried to the
// user-interface thread and checked there against the component's current session.
#pragma once

#include "Commx.h"

#include "Event.h"
#include "Serial.h"
#include "ThreadQueue.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace commx_detail
{

// Notice numbers, as the transmit queue and the notification window carry them.
constexpr std::uint32_t kTransBlockNotice = 0x0500; // transmit queue: write this block
constexpr std::uint32_t kWakeUpNotice = 0x0501;     // transmit queue: look at the terminate flag
constexpr std::uint32_t kDataReadyNotice = 0x0500;  // notification window
constexpr std::uint32_t kBreakNotice = 0x0501;      // notification window
constexpr std::uint32_t kLineErrorNotice = 0x0502;  // notification window
constexpr std::uint32_t kDeviceLostNotice = 0x0503; // notification window
constexpr std::uint32_t kLineErrorMask = platform::CE_OVERRUN | platform::CE_RXPARITY | platform::CE_FRAME;
constexpr std::int32_t kMaxQueuedBlocks = 32;

struct Session : std::enable_shared_from_this<Session> {
    Session(platform::HANDLE device, TCustomCommX *owner);

    const platform::HANDLE handle;

    // The component this session belongs to while it is open; user-interface thread only (the
    // workers never read it: they post calls that read it there).
    TCustomCommX *owner;

    std::mutex writeLock;   // a worker's WriteFile against the output purges of ClearTransBuf
    std::mutex counterLock; // the two counts below
    std::int32_t pendingBytes = 0;
    std::int32_t queuedBlocks = 0;
    // Signalled under counterLock whenever a block is finished: a sender waiting for room in the
    // queue goes on at once instead of after a fixed pause.
    std::condition_variable blockDone;

    // Read by the transmit thread without a lock, written by the user-interface thread.
    std::atomic<bool> clearFlag{false};
    std::atomic<std::int32_t> charTime{0};
    std::atomic<int> flowCtrl{cfcRtsCts};
    // The receive-watch thread's pause after a data notice (TCustomCommX::SetDataNoticeGap).
    std::atomic<int> noticeGapMs{10};

    // Runs the notice on the user-interface thread: the component's WndProc gets it if this
    // session is still the component's open one by then, otherwise it is dropped. `done` (may be
    // empty) runs there afterwards in either case.
    void post(std::uint32_t message, std::intptr_t lParam, std::function<void()> done = {});
    // Reads the line errors and, if there are any, posts the line-error notice. Used by the
    // transmit thread, which must never wait for the user-interface thread.
    void postLineErrors();
    // The line errors (overrun, parity, framing) the device reports now, together with those an
    // earlier look took from the device without reporting them; nothing is kept afterwards.
    platform::DWORD takeLineErrors();
    // Keeps errors that a look at the device took but does not report (reading the queue length
    // clears the device's error state), so that the next report carries them.
    void keepLineErrors(platform::DWORD errors) { keptErrors.fetch_or(errors & kLineErrorMask); }
    std::atomic<platform::DWORD> keptErrors{0};
};

// A worker's life: started once, asked to end through a flag and a wake-up, never joined by the
// component. The registry counts running workers so that the program (and tests) can wait for
// them to be gone before exiting.
class WorkerRegistry
{
  public:
    static void started();
    static void ended();
    static bool waitAll(int timeoutMs);
    static int running();
};

// Writes the blocks the user-interface thread hands over, one burst at a time.
class TCommTransThread
{
  public:
    // Creates the thread and starts it: the Windows version's create-suspended/start pair collapses
    // into one step because nothing is set between the two except the character time, which
    // the session carries. Throws std::system_error when no thread can be created.
    static std::shared_ptr<TCommTransThread> Start(std::shared_ptr<Session> session);

    bool PostBlock(std::uint32_t count, std::uint8_t *block);
    // Sets the terminate flag and posts the wake-up notice.
    void Terminate();

  private:
    explicit TCommTransThread(std::shared_ptr<Session> session);
    void Execute();
    void WriteBlock(const std::uint8_t *position, platform::DWORD length, platform::OVERLAPPED &ov);
    void HalfCtrlStart();
    void HalfCtrlEnd();
    void Release(const platform::ThreadMessage &msg);

    std::shared_ptr<Session> m_session;
    platform::ThreadQueue m_queue;
    std::atomic<bool> m_terminated{false};
};

// Waits for line events and carries them to the user-interface thread, waiting each time until
// the handler there has run (so WaitCommEvent is re-armed only after OnReceive has read).
class TCommReceiveThread : public std::enable_shared_from_this<TCommReceiveThread>
{
  public:
    static std::shared_ptr<TCommReceiveThread> Start(std::shared_ptr<Session> session);

    // Sets the terminate flag, signals the wait event and gives up a notice the thread is still
    // waiting to see handled: the user-interface thread never waits for this thread.
    void Terminate();

  private:
    explicit TCommReceiveThread(std::shared_ptr<Session> session);
    void Execute();
    // Posts a notice and waits until the user-interface thread has handled it or the thread is
    // asked to end. Returns false when asked to end.
    bool Send(std::uint32_t message, std::intptr_t lParam);
    void ReportLineErrors();

    std::shared_ptr<Session> m_session;
    platform::Event m_waitEvent{false};
    std::atomic<bool> m_terminated{false};

    std::mutex m_sendMutex;
    std::condition_variable m_sendDone;
    std::uint64_t m_sentSeq = 0;    // under m_sendMutex
    std::uint64_t m_handledSeq = 0; // under m_sendMutex
};

// The transmit thread's pause between two characters, in ms: 1000 / (rate / 10) + 1.
// Returns 0 for a rate below 10, which has no character time.
std::int32_t CharTimeFor(std::int32_t bitRate);

} // namespace commx_detail
