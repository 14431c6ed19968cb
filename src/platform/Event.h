// SPDX-License-Identifier: MIT
// A waitable event (CreateEventA / SetEvent / ResetEvent / WaitForSingleObject), kept on a
// descriptor so that a device wait can sleep on the device and on the event at once.
#pragma once

namespace platform
{

class Event
{
  public:
    // manualReset: stays signalled until Reset(); otherwise a successful Wait() resets it.
    explicit Event(bool manualReset = false, bool initiallySignalled = false);
    ~Event();
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void Set();
    void Reset();
    // Waits until signalled; timeoutMs < 0 waits without limit. Returns false on time-out.
    bool Wait(int timeoutMs = -1);
    // Non-blocking: signalled now? (Consumes the signal of an auto-reset event.)
    bool TryWait();

    // For back ends that add the event to a poll set: readable while signalled.
    int pollDescriptor() const { return m_fd; }

  private:
    int m_fd;
    bool m_manualReset;
};

} // namespace platform
