// SPDX-License-Identifier: MIT
// Serial devices behind the Windows communications calls the port component was designed around.
//
// Every function here is named after the Windows operation it stands in for and keeps its
// meaning, so that the component reads like its design. Three back ends sit behind the same
// calls, on one I/O core that does the overlapped operations, the waits and the error state for
// all (SerialCore.h): "tty" (termios on a real device or a pseudo-terminal), "loopback" (an
// in-process plug, see Loopback.h) and "network" (a port on another machine, reached over TCP
// with RFC 2217 or as raw bytes, see SerialNetDevice.h). A handle is a reference-counted device object, never
// a bare file descriptor: a worker that still holds the handle of an earlier open can only ever reach that
// closed object, never a device that a later open got.
//
// Errors: a call that fails returns false (or the invalid handle) and leaves the reason in the
// calling thread's last-error value (GetLastError), as the Windows calls do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform
{

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;

// Last-error codes the component and its tests look at (Windows numbering).
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_COMMAND = 22;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_BAD_NET_RESP = 58; // the server does not speak the protocol asked for
constexpr DWORD ERROR_BAD_NET_NAME = 67; // the host name is not known
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_INVALID_NETNAME = 1214; // a malformed network address
constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;
constexpr DWORD ERROR_HOST_UNREACHABLE = 1232;
constexpr DWORD ERROR_TIMEOUT = 1460;
constexpr DWORD ERROR_DEVICE_REMOVED = 1617;

DWORD GetLastError();
void SetLastError(DWORD error);

// Line events (SetCommMask / WaitCommEvent).
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;

// Line-error bits (ClearCommError).
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

// PurgeComm flags.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction codes.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// GetCommModemStatus bits.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// DCB values.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The device control block. The Windows bit-fields are kept as one flag word (Flags) with the
// Windows bit positions, because the component assigns the whole word at once.
struct DCB {
    DWORD DCBlength = 28;
    DWORD BaudRate = 9600;
    DWORD Flags = 0x0011; // fBinary, DTR_CONTROL_ENABLE
    WORD wReserved = 0;
    WORD XonLim = 0;
    WORD XoffLim = 0;
    BYTE ByteSize = 8;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    WORD wReserved1 = 0;
};

// Bit positions of the DCB flag word.
constexpr DWORD DCB_fBinary = 1u << 0;
constexpr DWORD DCB_fParity = 1u << 1;
constexpr DWORD DCB_fOutxCtsFlow = 1u << 2;
constexpr DWORD DCB_fOutxDsrFlow = 1u << 3;
constexpr int DCB_fDtrControlShift = 4; // two bits
constexpr DWORD DCB_fDsrSensitivity = 1u << 6;
constexpr DWORD DCB_fTXContinueOnXoff = 1u << 7;
constexpr DWORD DCB_fOutX = 1u << 8;
constexpr DWORD DCB_fInX = 1u << 9;
constexpr DWORD DCB_fErrorChar = 1u << 10;
constexpr DWORD DCB_fNull = 1u << 11;
constexpr int DCB_fRtsControlShift = 12; // two bits
constexpr DWORD DCB_fAbortOnError = 1u << 14;

inline DWORD DcbDtrControl(const DCB &dcb)
{
    return (dcb.Flags >> DCB_fDtrControlShift) & 3u;
}
inline DWORD DcbRtsControl(const DCB &dcb)
{
    return (dcb.Flags >> DCB_fRtsControlShift) & 3u;
}

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout = 0;
    DWORD ReadTotalTimeoutMultiplier = 0;
    DWORD ReadTotalTimeoutConstant = 0;
    DWORD WriteTotalTimeoutMultiplier = 0;
    DWORD WriteTotalTimeoutConstant = 0;
};
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

struct COMSTAT {
    DWORD cbInQue = 0;  // bytes received and not yet read
    DWORD cbOutQue = 0; // bytes written and not yet sent
};

// How many bytes a device's input queue holds before the device stops taking more from the line.
// Received bytes move into this queue as they arrive, however long the reader of the port is
// busy; when it is full, the device stops reading, so flow control (or USB) holds the sender back
// instead of bytes being lost.
constexpr std::size_t kInputQueueBytes = std::size_t{4} << 20;

// Line errors counted since the device was opened: the driver's counters where it has them.
// `lost` is what the driver itself had to throw away because its buffer was full.
struct CommErrorCounts {
    DWORD overrun = 0;
    DWORD parity = 0;
    DWORD framing = 0;
    DWORD breaks = 0;
    DWORD lost = 0;
    bool operator==(const CommErrorCounts &) const = default;
    bool any() const { return overrun || parity || framing || breaks || lost; }
};

class CommDevice;
class Event;

// A handle is shared by the component and its two workers. Closing it (CloseHandle) closes the
// device at once for everybody; the object stays valid, and every later call on it fails with
// ERROR_INVALID_HANDLE.
using HANDLE = std::shared_ptr<CommDevice>;

// One overlapped operation in flight. Windows keeps this state in the driver; here the device
// keeps it in the record, and the waiting call (GetOverlappedResult) does the driver's work.
struct OVERLAPPED {
    enum class Op { None, Read, Write } op = Op::None;
    BYTE *readBuffer = nullptr;
    const BYTE *writeBuffer = nullptr;
    DWORD requested = 0;
    DWORD transferred = 0;
    std::int64_t deadlineMs = -1; // steady-clock milliseconds; -1: no time-out
    std::uint64_t purgeGeneration = 0;
};

// Opens "\\.\COMn" (the Windows device name; n is resolved by PortNames.h) for reading and
// writing, exclusively, as an overlapped device. Returns nullptr and sets the last error when the
// port does not resolve to a device, does not exist, or is in use by this or another process.
// A port on another machine is connected to here: the call blocks for at most the connect and
// negotiation time-outs and a moment more (about 4 s, see SerialNetDevice.h), so it belongs off
// the user-interface thread; why a connection failed is in LastOpenProblem (PortDevice.h).
HANDLE CreateFileA(const std::string &deviceName);

// Closes the device now: a worker blocked in a call on this handle is woken and its call fails;
// the device (and its exclusive lock) is released before this returns, so the same port can be
// opened again at once. Safe to call more than once.
bool CloseHandle(const HANDLE &h);

// The tty layer sizes its own buffers: the sizes are checked and kept, not applied.
bool SetupComm(const HANDLE &h, DWORD inQueue, DWORD outQueue);
// RXCLEAR empties the device's own input queue as well as the kernel's.
bool PurgeComm(const HANDLE &h, DWORD flags);
bool GetCommState(const HANDLE &h, DCB *dcb);
// Fails when the device refuses a setting that matters (for example an unsupported bit rate).
// The DCB that was asked for becomes the device's state as GetCommState reports it, even where
// the driver silently narrows it (a pseudo-terminal has no parity or word size).
bool SetCommState(const HANDLE &h, const DCB &dcb);
bool GetCommTimeouts(const HANDLE &h, COMMTIMEOUTS *timeouts);
// Only the read rule described at ReadFile below and the total write time-out are honoured;
// interval time-outs between bytes are not.
bool SetCommTimeouts(const HANDLE &h, const COMMTIMEOUTS &timeouts);
// EV_RXCHAR, EV_BREAK and EV_ERR are the events every device reports; a port on another machine
// reached with RFC 2217 also reports EV_CTS and EV_DSR as the server notifies them. A wait in
// progress looks at a new mask (what it then does depends on the back end, see SerialCore.h).
bool SetCommMask(const HANDLE &h, DWORD mask);
bool EscapeCommFunction(const HANDLE &h, DWORD function);
// Lines a driver does not have (a pseudo-terminal has no modem lines) read as inactive.
bool GetCommModemStatus(const HANDLE &h, DWORD *status);
bool SetCommBreak(const HANDLE &h);
bool ClearCommBreak(const HANDLE &h);
// Returns the line errors since the last call (and clears them) and the queue counts. A driver
// without error counters reports no errors.
bool ClearCommError(const HANDLE &h, DWORD *errors, COMSTAT *status);
// The counts since the open, as the device last saw them (no Windows counterpart; the counters
// are read when the driver signals an error or a few times a second, never on this call).
bool GetCommErrorCounts(const HANDLE &h, CommErrorCounts *counts);
// How long ago the next byte to be read was taken from the device (*ageMs), and how many bytes
// from it on came with it (*run). No Windows counterpart. False, with no error set, when the
// queue is empty or the back end does not keep the times.
bool GetInputArrival(const HANDLE &h, DWORD *ageMs, DWORD *run);

// What is known of a port on another machine (no Windows counterpart), for the window to tell
// the user what the settings do there. All false and 0 for a local port or no handle.
//   rfc2217: the server took COM-PORT-OPTION: the bit rate, word, parity, stop bits, flow
//            control, DTR, RTS and break reach the remote port, and its CTS, DSR and line errors
//            come back. A Telnet server that refused it, or did not answer during the open, is
//            plain Telnet: bytes only (0xFF escaped), and the settings and lines stay here.
//   raw:     "socket://": the bytes alone over TCP; settings and lines stay here, and no modem
//            line is ever on.
//   baudAsked: the last bit rate SetCommState asked for. answered: the server answered that
//            request (within about a second, see SerialNetDevice.h), with baudAnswered, which
//            differs from baudAsked where the remote port cannot do the rate asked for.
struct RemotePortState {
    bool isNetwork = false;
    bool rfc2217 = false;
    bool raw = false;
    DWORD baudAsked = 0;
    DWORD baudAnswered = 0;
    bool answered = false;
    bool operator==(const RemotePortState &) const = default;
};
RemotePortState QueryRemotePort(const HANDLE &h);

// Waits in the calling thread until one of the events of the mask set with SetCommMask occurs
// (true, *mask holds them), or until `wake` is signalled (true, *mask is 0; the event is reset).
// Returns false without waiting when the device cannot wait any more (closed, pulled, mask 0);
// the caller then waits for `wake` itself. This is WaitCommEvent with its overlapped wait folded
// in: here the waiting thread also does the driver's watching, so nothing spins after a hang-up.
bool WaitCommEvent(const HANDLE &h, DWORD *mask, Event &wake);

// Overlapped reads and writes. ReadFile and WriteFile complete at once when they can (true) or
// return false with ERROR_IO_PENDING and leave the operation in `ov`. GetOverlappedResult with
// wait=false finishes what it can without blocking (ERROR_IO_INCOMPLETE while a read waits for
// its first byte); with wait=true it blocks until the operation is complete, its total time-out
// has run out (a short but successful completion), a PurgeComm abort or CloseHandle ends it
// (ERROR_OPERATION_ABORTED / ERROR_INVALID_HANDLE), or the device fails.
// Read time-outs follow the Windows rule used by the component: with ReadIntervalTimeout MAXDWORD
// and no multiplier, a read returns what is waiting, else waits up to ReadTotalTimeoutConstant ms
// for the first byte. The write time-out is WriteTotalTimeoutConstant ms (0: none).
bool ReadFile(const HANDLE &h, void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov);
bool WriteFile(const HANDLE &h, const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov);
bool GetOverlappedResult(const HANDLE &h, OVERLAPPED *ov, DWORD *transferred, bool wait);

// The device interface. The free functions above check the handle and dispatch here; the serial
// core implements it once for every back end and sets the last error.
class CommDevice
{
  public:
    virtual ~CommDevice() = default;
    CommDevice(const CommDevice &) = delete;
    CommDevice &operator=(const CommDevice &) = delete;

    // A number unique to this open, for the component's read-only Handle property (never the
    // invalid value 0xFFFFFFFF, never reused within the process).
    DWORD id() const { return m_id; }

    virtual bool close() = 0;
    virtual bool setupComm(DWORD inQueue, DWORD outQueue) = 0;
    virtual bool purgeComm(DWORD flags) = 0;
    virtual bool getCommState(DCB *dcb) = 0;
    virtual bool setCommState(const DCB &dcb) = 0;
    virtual bool getCommTimeouts(COMMTIMEOUTS *timeouts) = 0;
    virtual bool setCommTimeouts(const COMMTIMEOUTS &timeouts) = 0;
    virtual bool setCommMask(DWORD mask) = 0;
    virtual bool escapeCommFunction(DWORD function) = 0;
    virtual bool getCommModemStatus(DWORD *status) = 0;
    virtual bool clearCommError(DWORD *errors, COMSTAT *status) = 0;
    virtual bool getErrorCounts(CommErrorCounts *counts) = 0;
    virtual bool inputArrival(DWORD * /*ageMs*/, DWORD * /*run*/) { return false; }
    virtual RemotePortState remotePort() const { return {}; }
    virtual bool waitCommEvent(DWORD *mask, Event &wake) = 0;
    virtual bool readFile(void *buffer, DWORD count, DWORD *read, OVERLAPPED *ov) = 0;
    virtual bool writeFile(const void *buffer, DWORD count, DWORD *written, OVERLAPPED *ov) = 0;
    virtual bool getOverlappedResult(OVERLAPPED *ov, DWORD *transferred, bool wait) = 0;

  protected:
    CommDevice();

  private:
    DWORD m_id;
};

} // namespace platform
