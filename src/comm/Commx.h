// SPDX-License-Identifier: MIT
// The serial port component: one port's device, its settings, a transmit thread and a
// receive-watch thread. Received data, breaks and line errors are reported as events on the
// user-interface thread (the thread that constructed the component); the component never shows
// anything itself and reports failed operations by throwing ECommError.
//
// Ownership and threads. Each PortOpen creates a fresh shared session (device handle, counts,
// locks, the transmit queue); the two workers hold only that session, never the component, so a
// worker of an earlier open can neither touch a later open's device nor outlive the component
// harmfully. PortClose closes the device at once and does not wait for the workers.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "Serial.h"

enum TCommParityBits { cpbNone, cpbOdd, cpbEven };
enum TCommStopBits { csb1, csb1p5, csb2 };
enum TCommFlowCtrls { cfcRtsCts, cfcDtrDsr, cfcXonXoff, cfcHalfHigh, cfcHalfLow, cfcNone };

// The message is UTF-8 (the component's fixed Japanese texts).
class ECommError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

class TCustomCommX;
using TCommReceiveEvent = std::function<void(QObject *Sender, std::int32_t ReceiveSize)>;
using TCommBreakEvent = std::function<void(QObject *Sender)>;
using TCommErrEvent = std::function<void(QObject *Sender, std::int32_t ErrorState)>;
using TCommDeviceLostEvent = std::function<void(QObject *Sender)>;

namespace commx_detail
{
struct Session;
class TCommTransThread;
class TCommReceiveThread;
} // namespace commx_detail

class TCustomCommX : public QObject
{
  public:
    static constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFFu;
    // The shortest time between two data-ready notices, in ms: the display's tick runs at this
    // pace, so a notice never waits for more than one tick.
    static constexpr int kDataNoticeGapMs = 10;
    // The gap in use: a script that waits for each answer wants every notice at once (0), where
    // the display alone gains nothing from more than one a tick. Takes effect at once, also while
    // open.
    void SetDataNoticeGap(int ms);
    int DataNoticeGap() const { return FDataNoticeGap; }

    explicit TCustomCommX(QObject *owner = nullptr);
    ~TCustomCommX() override;

    void PortOpen();
    void PortClose();

    // Properties: reads return the stored field; setters store, and touch the device only while
    // the port is open.
    std::int32_t PortNo() const { return FPortNo; }
    void SetPortNo(std::int32_t value);
    std::int32_t BitRate() const { return FBitRate; }
    void SetBitRate(std::int32_t value);
    std::int32_t CharSize() const { return FCharSize; }
    void SetCharSize(std::int32_t value);
    TCommParityBits ParityBit() const { return FParityBit; }
    void SetParityBit(TCommParityBits value);
    TCommStopBits StopBit() const { return FStopBit; }
    void SetStopBit(TCommStopBits value);
    TCommFlowCtrls FlowCtrl() const { return FFlowCtrl; }
    void SetFlowCtrl(TCommFlowCtrls value);
    std::int32_t TimeOutTrans() const { return FTimeOutTrans; }
    void SetTimeOutTrans(std::int32_t value);
    std::int32_t TimeOutReceive() const { return FTimeOutReceive; }
    void SetTimeOutReceive(std::int32_t value);
    char XonChar() const { return FXonChar; }
    void SetXonChar(char value);
    char XoffChar() const { return FXoffChar; }
    void SetXoffChar(char value);
    std::int32_t BufLenTrans() const { return FBufLenTrans; }
    void SetBufLenTrans(std::int32_t value);
    std::int32_t BufLenReceive() const { return FBufLenReceive; }
    void SetBufLenReceive(std::int32_t value);
    // The open device's number, or kInvalidHandle while the port is closed.
    std::uint32_t Handle() const;

    TCommReceiveEvent OnReceive;
    TCommBreakEvent OnBreak;
    TCommErrEvent OnError;
    // The device went away while open (hung up, pulled out). The port stays open until the
    // handler closes it: bytes already received can still be read.
    TCommDeviceLostEvent OnDeviceLost;

    void ClearTransBuf();
    void ClearReceiveBuf();
    std::int32_t GetTransLength();
    std::int32_t GetReceiveLength();
    // How many milliseconds ago the next byte to be received was taken from the device, and how
    // many bytes from it on came with it. False when nothing waits or the device keeps no times.
    bool GetReceiveArrival(std::int32_t &ageMs, std::int32_t &run);
    // Line errors and bytes the driver lost since this open (all zero while closed). Cheap: the
    // device keeps the counts; no system call.
    platform::CommErrorCounts GetErrorCounts();
    // What is known of a port on another machine (all false for a local one, or while closed).
    platform::RemotePortState RemotePort() const;
    void SetRtsSignal(bool on);
    void SetDtrSignal(bool on);
    // The input lines (MS_CTS_ON ...) in one read of the device; 0 while closed.
    std::uint32_t ModemStatus();
    bool IsSignal(std::uint32_t mask);
    bool IsCtsSignal();
    bool IsDsrSignal();
    bool IsRingSignal();
    bool IsRlsdSignal();
    void SendBreak();
    // Holds the break condition on the line until it is switched off (a script's break of its
    // own length); nothing while the port is closed.
    void SetBreakState(bool on);

    bool TransChar(char c);
    bool TransString(const std::string &s);
    virtual bool TransBlock(const void *data, std::int32_t count);
    std::int32_t ReceiveChar();
    virtual std::int32_t ReceiveBlock(void *buffer, std::int32_t count);

    // Waits until every worker thread of every component has ended (bounded by `timeoutMs`).
    // PortClose never waits for its workers; tests and the program's exit use this to leave no
    // thread behind. Returns false on time-out.
    static bool WaitForWorkers(int timeoutMs);
    // How many worker threads are still running, in every component.
    static int RunningWorkers();

  protected:
    void ThreadCreate();
    platform::HANDLE OpenAway(const std::string &name);
    void SetTimeOut();
    void SetBufferLength();
    void WndProc(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
    void ReceiveEvent();
    void BreakEvent();
    void ErrEvent(std::uint32_t bits);
    void DeviceLostEvent();

  private:
    bool isOpen() const;
    // Reports the line errors of a failed read, as the receive thread would.
    void ErrEventFromDevice(const std::shared_ptr<commx_detail::Session> &session);
    void writeState(const char *failureMessage);

    std::shared_ptr<commx_detail::Session> m_session; // null while closed
    std::shared_ptr<commx_detail::TCommTransThread> m_transThread;
    std::shared_ptr<commx_detail::TCommReceiveThread> m_receiveThread;
    // The device control block: filled from the driver at open, then each setter changes its
    // own members and writes the whole record back.
    platform::DCB m_dcb;

    std::int32_t FPortNo = 1;
    std::int32_t FBitRate = 9600;
    std::int32_t FCharSize = 8;
    TCommParityBits FParityBit = cpbNone;
    TCommStopBits FStopBit = csb1;
    TCommFlowCtrls FFlowCtrl = cfcRtsCts;
    std::int32_t FTimeOutTrans = 3000;
    std::int32_t FTimeOutReceive = 3000;
    char FXonChar = 0x11;
    char FXoffChar = 0x13;
    std::int32_t FBufLenTrans = 2048;
    std::int32_t FBufLenReceive = 2048;
    int FDataNoticeGap = kDataNoticeGapMs;

    friend struct commx_detail::Session;
};

// Publishes the properties for form descriptions; adds no behaviour.
class TCommX : public TCustomCommX
{
  public:
    using TCustomCommX::TCustomCommX;
};
