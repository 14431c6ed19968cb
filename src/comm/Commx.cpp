// SPDX-License-Identifier: MIT
#include "Commx.h"

#include "CommxThreads.h"
#include "PortNames.h"
#include "Tick.h"
#include "UiBridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <new>
#include <thread>

using namespace commx_detail;
namespace pf = platform;
using platform::SleepMs;

namespace
{

// The component's fixed messages.
const char *const kMsgAlreadyOpen = "ポートは、すでにオープンされています";
const char *const kMsgOpenFailed = "ポートをオープンできませんでした";
const char *const kMsgTransThread = "送信用スレッドを生成できませんでした";
const char *const kMsgRecvThread = "受信用スレッドを生成できませんでした";
const char *const kMsgBitRate = "通信速度の設定でエラーが発生しました";
const char *const kMsgCharSize = "通信ビット数の設定でエラーが発生しました";
const char *const kMsgParity = "通信パリティチェックの設定でエラーが発生しました";
const char *const kMsgStopBit = "通信ストップビット数の設定でエラーが発生しました";
const char *const kMsgFlowCtrl = "通信フロー制御の設定で失敗しました";
const char *const kMsgTimeOut = "通信タイムアウト時間の設定で失敗しました";
const char *const kMsgXonChar = "Ｘｏｎ文字の設定でエラーが発生しました";
const char *const kMsgXoffChar = "Ｘｏｆｆ文字の設定でエラーが発生しました";
const char *const kMsgBuffer = "通信用ポートのバッファを準備できませんでした";

// The DCB flag word of each flow-control setting: fBinary and fParity always, the rest zero
// except what the setting names.
constexpr pf::DWORD kFlagBase = pf::DCB_fBinary | pf::DCB_fParity;
constexpr pf::DWORD Dtr(pf::DWORD control)
{
    return control << pf::DCB_fDtrControlShift;
}
constexpr pf::DWORD Rts(pf::DWORD control)
{
    return control << pf::DCB_fRtsControlShift;
}
constexpr pf::DWORD kRtsCtsFlags =
    kFlagBase | pf::DCB_fOutxCtsFlow | Dtr(pf::DTR_CONTROL_ENABLE) | Rts(pf::RTS_CONTROL_HANDSHAKE);
constexpr pf::DWORD kDtrDsrFlags =
    kFlagBase | pf::DCB_fOutxDsrFlow | Dtr(pf::DTR_CONTROL_HANDSHAKE) | Rts(pf::RTS_CONTROL_ENABLE);
constexpr pf::DWORD kXonXoffFlags =
    kFlagBase | pf::DCB_fOutX | pf::DCB_fInX | Dtr(pf::DTR_CONTROL_ENABLE) | Rts(pf::RTS_CONTROL_ENABLE);
constexpr pf::DWORD kHalfHighFlags = kFlagBase | Dtr(pf::DTR_CONTROL_ENABLE) | Rts(pf::RTS_CONTROL_DISABLE);
constexpr pf::DWORD kPlainFlags = kFlagBase | Dtr(pf::DTR_CONTROL_ENABLE) | Rts(pf::RTS_CONTROL_ENABLE);
// The flag words every driver has been given for these settings.
static_assert(kRtsCtsFlags == 0x2017 && kDtrDsrFlags == 0x102B && kXonXoffFlags == 0x1313 &&
              kHalfHighFlags == 0x0013 && kPlainFlags == 0x1013);

pf::DWORD FlowFlags(TCommFlowCtrls flow)
{
    switch (flow) {
    case cfcRtsCts:
        return kRtsCtsFlags;
    case cfcDtrDsr:
        return kDtrDsrFlags;
    case cfcXonXoff:
        return kXonXoffFlags;
    case cfcHalfHigh:
        return kHalfHighFlags;
    case cfcHalfLow:
    case cfcNone:
        break;
    }
    return kPlainFlags; // the half-duplex low setting differs only in the transmit thread
}

// ClearTransBuf waits for the transmit thread to finish every queued block. The thread never
// waits for this thread, so it always gets there; the bound only keeps a device whose driver
// never completes an aborted write from freezing the window for good.
constexpr auto kClearTransBufLimit = std::chrono::seconds(10);

// ReceiveBlock checks a pending read again after a failure other than "not complete yet"; a
// device that keeps failing (pulled out) ends the read after this many checks.
constexpr int kReadFailureLimit = 3;

} // namespace

TCustomCommX::TCustomCommX(QObject *owner) : QObject(owner) {}

TCustomCommX::~TCustomCommX()
{
    PortClose();
}

bool TCustomCommX::isOpen() const
{
    return m_session != nullptr;
}

std::uint32_t TCustomCommX::Handle() const
{
    return m_session ? m_session->handle->id() : kInvalidHandle;
}

bool TCustomCommX::WaitForWorkers(int timeoutMs)
{
    return WorkerRegistry::waitAll(timeoutMs);
}

int TCustomCommX::RunningWorkers()
{
    return WorkerRegistry::running();
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

void TCustomCommX::PortOpen()
{
    if (isOpen())
        throw ECommError(kMsgAlreadyOpen);

    const std::string name = R"(\\.\COM)" + std::to_string(FPortNo);
    pf::HANDLE handle = pf::ResolvePort(FPortNo).isNetwork() ? OpenAway(name) : pf::CreateFileA(name);
    if (!handle)
        throw ECommError(kMsgOpenFailed);

    m_session = std::make_shared<Session>(std::move(handle), this);
    m_session->noticeGapMs = FDataNoticeGap;
    try {
        {
            std::lock_guard lock(m_session->counterLock);
            m_session->pendingBytes = 0;
            m_session->queuedBlocks = 0;
        }
        SetBufferLength();
        pf::PurgeComm(m_session->handle, pf::PURGE_TXABORT | pf::PURGE_TXCLEAR);
        pf::PurgeComm(m_session->handle, pf::PURGE_RXABORT | pf::PURGE_RXCLEAR);
        m_dcb = pf::DCB();
        pf::GetCommState(m_session->handle, &m_dcb);
        SetBitRate(FBitRate);
        SetCharSize(FCharSize);
        SetParityBit(FParityBit);
        SetStopBit(FStopBit);
        SetFlowCtrl(FFlowCtrl);
        SetTimeOut();
        SetXonChar(FXonChar);
        SetXoffChar(FXoffChar);
        pf::SetCommMask(m_session->handle, pf::EV_RXCHAR | pf::EV_BREAK | pf::EV_ERR);
        ThreadCreate();
    } catch (...) {
        PortClose();
        throw;
    }
}

pf::HANDLE TCustomCommX::OpenAway(const std::string &name)
{
    // A port on another machine may take seconds to connect: the connect runs on a thread of its
    // own while the window goes on painting and ticking (but takes no input), and this returns
    // once it is done, either way.
    std::promise<pf::HANDLE> opened;
    std::future<pf::HANDLE> result = opened.get_future();
    std::thread connect([&opened, name] { opened.set_value(pf::CreateFileA(name)); });
    while (result.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        pf::ProcessMessagesWithoutInput();
    connect.join();
    return result.get();
}

void TCustomCommX::ThreadCreate()
{
    m_transThread.reset();
    m_receiveThread.reset();

    const std::int32_t charTime = CharTimeFor(FBitRate);
    if (charTime == 0) // a rate below 10 has no character time
        throw ECommError(kMsgTransThread);
    m_session->charTime = charTime;
    try {
        m_transThread = TCommTransThread::Start(m_session);
    } catch (...) {
        throw ECommError(kMsgTransThread);
    }
    try {
        m_receiveThread = TCommReceiveThread::Start(m_session);
    } catch (...) {
        throw ECommError(kMsgRecvThread);
    }
    SleepMs(100); // lets both workers reach their first wait before the port is used
}

void TCustomCommX::PortClose()
{
    if (!isOpen())
        return;
    SetDtrSignal(false);
    SetRtsSignal(false);
    ClearTransBuf();
    ClearReceiveBuf();
    SleepMs(100); // the lines just dropped settle at the far end before the workers go
    if (m_transThread)
        m_transThread->Terminate();
    if (m_receiveThread)
        m_receiveThread->Terminate();
    m_transThread.reset();
    m_receiveThread.reset();

    // The device is closed now, not when the workers end: the same port can be opened again at
    // once, and a worker still finishing only ever sees this closed handle.
    std::shared_ptr<Session> session = std::move(m_session);
    session->owner = nullptr;
    pf::CloseHandle(session->handle);
    SleepMs(200); // a device that is reopened at once gets time to see the close
}

void TCustomCommX::SetPortNo(std::int32_t value)
{
    FPortNo = value;
    if (isOpen()) {
        PortClose();
        PortOpen();
    }
}

// ---------------------------------------------------------------------------------------------
// Settings

void TCustomCommX::writeState(const char *failureMessage)
{
    if (!pf::SetCommState(m_session->handle, m_dcb))
        throw ECommError(failureMessage);
}

void TCustomCommX::SetBitRate(std::int32_t value)
{
    FBitRate = value;
    if (!isOpen())
        return;
    m_dcb.BaudRate = static_cast<pf::DWORD>(value);
    writeState(kMsgBitRate);
    // A rate below 10 has no character time: the thread keeps the one it has.
    if (const std::int32_t charTime = CharTimeFor(value); charTime != 0)
        m_session->charTime = charTime;
}

void TCustomCommX::SetCharSize(std::int32_t value)
{
    FCharSize = value;
    if (!isOpen())
        return;
    m_dcb.ByteSize = static_cast<pf::BYTE>(value & 0xFF);
    writeState(kMsgCharSize);
}

void TCustomCommX::SetParityBit(TCommParityBits value)
{
    FParityBit = value;
    if (!isOpen())
        return;
    m_dcb.Parity = static_cast<pf::BYTE>(value);
    writeState(kMsgParity);
}

void TCustomCommX::SetStopBit(TCommStopBits value)
{
    FStopBit = value;
    if (!isOpen())
        return;
    m_dcb.StopBits = static_cast<pf::BYTE>(value);
    writeState(kMsgStopBit);
}

void TCustomCommX::SetFlowCtrl(TCommFlowCtrls value)
{
    FFlowCtrl = value;
    if (!isOpen())
        return;
    m_session->flowCtrl = value;
    m_dcb.Flags = FlowFlags(value);
    m_dcb.XonLim = static_cast<pf::WORD>(FBufLenReceive / 4);
    m_dcb.XoffLim = static_cast<pf::WORD>(FBufLenReceive / 4);
    writeState(kMsgFlowCtrl);
}

void TCustomCommX::SetTimeOutTrans(std::int32_t value)
{
    FTimeOutTrans = value;
    SetTimeOut();
}

void TCustomCommX::SetTimeOutReceive(std::int32_t value)
{
    FTimeOutReceive = value;
    SetTimeOut();
}

void TCustomCommX::SetTimeOut()
{
    if (!isOpen())
        return;
    pf::COMMTIMEOUTS t;
    pf::GetCommTimeouts(m_session->handle, &t);
    t.ReadIntervalTimeout = pf::MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = static_cast<pf::DWORD>(FTimeOutReceive);
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = static_cast<pf::DWORD>(FTimeOutTrans);
    if (!pf::SetCommTimeouts(m_session->handle, t))
        throw ECommError(kMsgTimeOut);
}

void TCustomCommX::SetXonChar(char value)
{
    FXonChar = value;
    if (!isOpen())
        return;
    m_dcb.XonChar = value;
    writeState(kMsgXonChar);
}

void TCustomCommX::SetXoffChar(char value)
{
    FXoffChar = value;
    if (!isOpen())
        return;
    m_dcb.XoffChar = value;
    writeState(kMsgXoffChar);
}

void TCustomCommX::SetBufLenTrans(std::int32_t value)
{
    FBufLenTrans = value;
    SetBufferLength();
}

void TCustomCommX::SetBufLenReceive(std::int32_t value)
{
    FBufLenReceive = value;
    SetBufferLength();
    SetFlowCtrl(FFlowCtrl); // the XON/XOFF limits follow the input queue size
}

void TCustomCommX::SetBufferLength()
{
    if (!isOpen())
        return;
    if (!pf::SetupComm(m_session->handle, static_cast<pf::DWORD>(FBufLenReceive),
                       static_cast<pf::DWORD>(FBufLenTrans)))
        throw ECommError(kMsgBuffer);
}

// ---------------------------------------------------------------------------------------------
// Queues and lines

void TCustomCommX::ClearTransBuf()
{
    if (!isOpen())
        return;
    Session &s = *m_session;
    if (!m_transThread) {
        pf::PurgeComm(s.handle, pf::PURGE_TXABORT | pf::PURGE_TXCLEAR);
        return;
    }
    s.clearFlag = true;
    const auto deadline = std::chrono::steady_clock::now() + kClearTransBufLimit;
    for (;;) {
        // Purged again on every pass: the transmit thread may have taken a block before it saw the
        // clear flag and start its write after the previous purge; only a later purge ends it.
        {
            std::lock_guard lock(s.writeLock);
            pf::PurgeComm(s.handle, pf::PURGE_TXABORT | pf::PURGE_TXCLEAR);
        }
        SleepMs(1);
        std::lock_guard lock(s.counterLock);
        if (s.pendingBytes == 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            s.pendingBytes = 0;
            s.queuedBlocks = 0;
            break;
        }
    }
    s.clearFlag = false;
}

void TCustomCommX::ClearReceiveBuf()
{
    if (isOpen())
        pf::PurgeComm(m_session->handle, pf::PURGE_RXABORT | pf::PURGE_RXCLEAR);
}

std::int32_t TCustomCommX::GetTransLength()
{
    if (!isOpen())
        return 0;
    std::lock_guard lock(m_session->counterLock);
    return m_session->pendingBytes;
}

std::int32_t TCustomCommX::GetReceiveLength()
{
    if (!isOpen())
        return 0;
    // Reading the count clears the driver's error state: the errors are kept for the receive
    // thread's next report instead of being lost.
    pf::DWORD errors = 0;
    pf::COMSTAT status;
    pf::ClearCommError(m_session->handle, &errors, &status);
    m_session->keepLineErrors(errors);
    return static_cast<std::int32_t>(status.cbInQue);
}

bool TCustomCommX::GetReceiveArrival(std::int32_t &ageMs, std::int32_t &run)
{
    pf::DWORD age = 0, n = 0;
    if (!isOpen() || !pf::GetInputArrival(m_session->handle, &age, &n))
        return false;
    ageMs = static_cast<std::int32_t>(age);
    run = static_cast<std::int32_t>(n);
    return true;
}

pf::CommErrorCounts TCustomCommX::GetErrorCounts()
{
    pf::CommErrorCounts counts;
    if (isOpen())
        pf::GetCommErrorCounts(m_session->handle, &counts);
    return counts;
}

pf::RemotePortState TCustomCommX::RemotePort() const
{
    return isOpen() ? pf::QueryRemotePort(m_session->handle) : pf::RemotePortState{};
}

void TCustomCommX::SetRtsSignal(bool on)
{
    if (isOpen())
        pf::EscapeCommFunction(m_session->handle, on ? pf::SETRTS : pf::CLRRTS);
}

void TCustomCommX::SetDtrSignal(bool on)
{
    if (isOpen())
        pf::EscapeCommFunction(m_session->handle, on ? pf::SETDTR : pf::CLRDTR);
}

std::uint32_t TCustomCommX::ModemStatus()
{
    pf::DWORD status = 0;
    if (isOpen())
        pf::GetCommModemStatus(m_session->handle, &status);
    return status;
}

bool TCustomCommX::IsSignal(std::uint32_t mask)
{
    return (ModemStatus() & mask) != 0;
}

bool TCustomCommX::IsCtsSignal()
{
    return IsSignal(pf::MS_CTS_ON);
}
bool TCustomCommX::IsDsrSignal()
{
    return IsSignal(pf::MS_DSR_ON);
}
bool TCustomCommX::IsRingSignal()
{
    return IsSignal(pf::MS_RING_ON);
}
bool TCustomCommX::IsRlsdSignal()
{
    return IsSignal(pf::MS_RLSD_ON);
}

void TCustomCommX::SetDataNoticeGap(int ms)
{
    FDataNoticeGap = std::max(0, ms);
    if (m_session)
        m_session->noticeGapMs = FDataNoticeGap;
}

void TCustomCommX::SetBreakState(bool on)
{
    if (!isOpen())
        return;
    if (on)
        pf::SetCommBreak(m_session->handle);
    else
        pf::ClearCommBreak(m_session->handle);
}

void TCustomCommX::SendBreak()
{
    if (!isOpen())
        return;
    pf::SetCommBreak(m_session->handle);
    SleepMs(300); // the break's length; no events are processed meanwhile, so the port is still this open
    pf::ClearCommBreak(m_session->handle);
}

// ---------------------------------------------------------------------------------------------
// Transmit and receive

bool TCustomCommX::TransChar(char c)
{
    return TransBlock(&c, 1);
}

bool TCustomCommX::TransString(const std::string &s)
{
    if (s.empty())
        return true;
    if (s.size() > static_cast<std::size_t>(INT32_MAX))
        return false;
    return TransBlock(s.data(), static_cast<std::int32_t>(s.size()));
}

bool TCustomCommX::TransBlock(const void *data, std::int32_t count)
{
    if (count <= 0)
        return true;
    auto *position = static_cast<const std::uint8_t *>(data);
    // Bytes of one call go to the open they started on: a close (and maybe a reopen) while this
    // waits for room ends the call.
    const std::shared_ptr<Session> session = m_session;
    while (count > 0) {
        if (!session || m_session != session || !m_transThread)
            return false;
        std::int32_t queued;
        {
            std::lock_guard lock(session->counterLock);
            queued = session->queuedBlocks;
        }
        if (queued >= kMaxQueuedBlocks) {
            // The window keeps working while this waits: one pass of its messages, then at most
            // 1 ms for the transmit thread to finish a block.
            pf::ProcessMessages();
            std::unique_lock lock(session->counterLock);
            session->blockDone.wait_for(lock, std::chrono::milliseconds(1),
                                        [&] { return session->queuedBlocks < kMaxQueuedBlocks; });
            continue;
        }
        const std::int32_t chunk = std::min(count, std::max<std::int32_t>(FBufLenTrans, 1));
        // A block that cannot be had or handed over is not sent: the caller hears so, and the
        // rest of the call is not sent after a gap either.
        auto *block = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(chunk)];
        if (!block)
            return false;
        std::memcpy(block, position, static_cast<std::size_t>(chunk));
        {
            std::lock_guard lock(session->counterLock);
            session->pendingBytes += chunk;
            ++session->queuedBlocks;
        }
        if (!m_transThread->PostBlock(static_cast<std::uint32_t>(chunk), block)) {
            // Nobody will write or count down this block.
            delete[] block;
            std::lock_guard lock(session->counterLock);
            session->pendingBytes -= chunk;
            --session->queuedBlocks;
            return false;
        }
        position += chunk;
        count -= chunk;
    }
    return true;
}

std::int32_t TCustomCommX::ReceiveChar()
{
    std::uint8_t byte = 0;
    return ReceiveBlock(&byte, 1) == 1 ? byte : -1;
}

std::int32_t TCustomCommX::ReceiveBlock(void *buffer, std::int32_t count)
{
    if (!isOpen() || !m_receiveThread || !buffer || count < 0)
        return -1;
    const std::shared_ptr<Session> session = m_session;
    // A record of our own per call: handlers run while this waits may read too.
    pf::OVERLAPPED ov;
    pf::DWORD read = 0;
    if (pf::ReadFile(session->handle, buffer, static_cast<pf::DWORD>(count), &read, &ov))
        return static_cast<std::int32_t>(read);
    if (pf::GetLastError() != pf::ERROR_IO_PENDING) {
        ErrEventFromDevice(session);
        return -1;
    }
    int failures = 0;
    for (;;) {
        if (pf::GetOverlappedResult(session->handle, &ov, &read, false))
            return static_cast<std::int32_t>(read);
        if (pf::GetLastError() == pf::ERROR_IO_INCOMPLETE) {
            pf::ProcessMessages();
            SleepMs(1);
            if (m_session != session || !m_receiveThread)
                return -1;
            continue;
        }
        ErrEventFromDevice(session);
        if (++failures >= kReadFailureLimit || m_session != session)
            return -1;
    }
}

void TCustomCommX::ErrEventFromDevice(const std::shared_ptr<Session> &session)
{
    const pf::DWORD bits = session->takeLineErrors();
    if (bits != 0)
        WndProc(kLineErrorNotice, 0, static_cast<std::intptr_t>(bits));
}

// ---------------------------------------------------------------------------------------------
// Notices on the user-interface thread

void TCustomCommX::WndProc(std::uint32_t message, std::uintptr_t, std::intptr_t lParam)
{
    switch (message) {
    case kDataReadyNotice:
        ReceiveEvent();
        break;
    case kBreakNotice:
        BreakEvent();
        break;
    case kLineErrorNotice:
        ErrEvent(static_cast<std::uint32_t>(lParam));
        break;
    case kDeviceLostNotice:
        DeviceLostEvent();
        break;
    default:
        break;
    }
}

void TCustomCommX::ReceiveEvent()
{
    if (!isOpen() || !OnReceive)
        return;
    const std::int32_t n = GetReceiveLength();
    if (n != 0)
        OnReceive(this, n);
}

void TCustomCommX::BreakEvent()
{
    if (isOpen() && OnBreak)
        OnBreak(this);
}

void TCustomCommX::ErrEvent(std::uint32_t bits)
{
    if (isOpen() && OnError)
        OnError(this, static_cast<std::int32_t>(bits));
}

void TCustomCommX::DeviceLostEvent()
{
    if (isOpen() && OnDeviceLost)
        OnDeviceLost(this);
}
