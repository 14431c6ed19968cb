// SPDX-License-Identifier: MIT
// The tty back end against pseudo-terminal pairs: the test holds the master side and plays the
// far end; the port under test is the slave, mapped to COM7 in a temporary [PORTS].
#include "Event.h"
#include "PortMapFile.h"
#include "PortNames.h"
#include "PtyPair.h"
#include "Serial.h"
#include "SerialTermios2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace
{

constexpr const char *kPort = "\\\\.\\COM7";

// Byte i of a test stream: a pattern whose order shows.
char StreamByte(std::size_t i)
{
    return static_cast<char>('A' + (i * 7 + i / 251) % 26);
}

class TtyTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.ok()) << "no pseudo-terminals here";
        m_master = m_pty.master();
        m_slave = m_pty.slavePath();
        m_map.emplace("COM7=" + m_slave);
        m_dir = m_map->dir().path().string();
    }

    void TearDown() override
    {
        if (m_port)
            CloseHandle(m_port);
        closeMaster();
    }

    // The whole map file, section line included.
    void writeMap(const std::string &text) const { std::ofstream(m_map->path(), std::ios::binary) << text; }

    void closeMaster()
    {
        m_pty.closeMaster();
        m_master = -1;
    }

    void open()
    {
        m_port = CreateFileA(kPort);
        ASSERT_TRUE(m_port) << "error " << GetLastError();
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutConstant = 200;
        t.WriteTotalTimeoutConstant = 0;
        ASSERT_TRUE(SetCommTimeouts(m_port, t));
    }

    void masterWrite(const std::string &bytes) const
    {
        ASSERT_EQ(::write(m_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Whatever the port sent, collected until `count` bytes or two seconds.
    std::string masterRead(std::size_t count) const
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{m_master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    void drainMaster() const
    {
        char buffer[4096];
        while (::read(m_master, buffer, sizeof buffer) > 0) {
        }
    }

    // The driver hands bytes from master to slave asynchronously: wait until n are queued.
    DWORD waitInQueue(DWORD n, int boundMs = 2000) const
    {
        COMSTAT status;
        DWORD errors = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        do {
            ClearCommError(m_port, &errors, &status);
            if (status.cbInQue >= n)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < end);
        return status.cbInQue;
    }

    // Starts a write the master never reads, large enough to stay pending.
    void startPendingWrite(std::string &data, OVERLAPPED &ov) const
    {
        data.assign(1 << 20, 'w');
        DWORD written = 0;
        ASSERT_FALSE(WriteFile(m_port, data.data(), static_cast<DWORD>(data.size()), &written, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    PtyPair m_pty{true};
    std::optional<PortMapFile> m_map;
    int m_master = -1;
    std::string m_slave;
    std::string m_dir;
    HANDLE m_port;
};

TEST_F(TtyTest, BytesTravelBothWaysUntranslated)
{
    open();
    // Every byte value, including those a cooked terminal would act on (CR, LF, ^C, ^S, ^Z, DEL).
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));

    OVERLAPPED ov;
    DWORD written = 0;
    if (!WriteFile(m_port, all.data(), static_cast<DWORD>(all.size()), &written, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(m_port, &ov, &written, true));
    }
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(masterRead(all.size()), all);

    masterWrite(all);
    EXPECT_EQ(waitInQueue(256), 256u);
    std::string got(256, '\0');
    DWORD read = 0;
    OVERLAPPED rov;
    ASSERT_TRUE(ReadFile(m_port, got.data(), 256, &read, &rov));
    EXPECT_EQ(read, 256u);
    EXPECT_EQ(got, all);
    EXPECT_EQ(waitInQueue(0), 0u);
}

// A line's time is when its bytes came from the device, however long they then waited: each
// read of the driver keeps its moment, and a purge forgets them with the bytes.
TEST_F(TtyTest, QueuedBytesKeepWhenTheyCame)
{
    open();
    DWORD age = 0, run = 0;
    EXPECT_FALSE(GetInputArrival(m_port, &age, &run)) << "nothing waits";
    masterWrite("ab");
    ASSERT_EQ(waitInQueue(2), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    masterWrite("cde");
    ASSERT_EQ(waitInQueue(5), 5u);

    ASSERT_TRUE(GetInputArrival(m_port, &age, &run));
    EXPECT_GE(age, 250u) << "the first bytes came 300 ms ago";
    EXPECT_LT(age, 5000u);
    EXPECT_EQ(run, 2u) << "only the bytes that came with it";

    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    ASSERT_TRUE(SetCommTimeouts(m_port, t));
    char buffer[8];
    DWORD read = 0;
    OVERLAPPED ov;
    ASSERT_TRUE(ReadFile(m_port, buffer, 1, &read, &ov));
    ASSERT_TRUE(GetInputArrival(m_port, &age, &run));
    EXPECT_GE(age, 250u);
    EXPECT_EQ(run, 1u) << "the rest of the first read";
    ASSERT_TRUE(ReadFile(m_port, buffer, 1, &read, &ov));
    ASSERT_TRUE(GetInputArrival(m_port, &age, &run));
    EXPECT_LT(age, 250u) << "the next bytes came later";
    EXPECT_EQ(run, 3u);

    ASSERT_TRUE(PurgeComm(m_port, PURGE_RXCLEAR));
    EXPECT_FALSE(GetInputArrival(m_port, &age, &run));
    masterWrite("f");
    ASSERT_EQ(waitInQueue(1), 1u);
    ASSERT_TRUE(GetInputArrival(m_port, &age, &run));
    EXPECT_LT(age, 250u) << "no time of a purged byte is left behind";
    EXPECT_EQ(run, 1u);
}

TEST_F(TtyTest, BytesWaitingBeforeTheOpenAreDiscarded)
{
    masterWrite("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the driver move them across
    open();
    EXPECT_EQ(waitInQueue(1, 300), 0u); // waits its full bound, and nothing shows up
    drainMaster();                      // the slave echoed them back before the open made it raw
    masterWrite("new");
    EXPECT_EQ(waitInQueue(3), 3u);
}

struct StateCase {
    const char *name;
    DWORD baud;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    DWORD flags;
    char xon, xoff;
    bool cstopb, crtscts, ixon, ixoff;
};

TEST_F(TtyTest, CommStateReachesTermios)
{
    open();
    const StateCase cases[] = {
        {"9600 8N1 none", 9600, 8, NOPARITY, ONESTOPBIT, 0x1013, 0x11, 0x13, false, false, false, false},
        {"250000 rts/cts 2 stop", 250000, 8, NOPARITY, TWOSTOPBITS, 0x2017, 0x11, 0x13, true, true, false,
         false},
        {"115200 7E1.5 xon/xoff", 115200, 7, EVENPARITY, ONE5STOPBITS, 0x1313, 0x05, 0x06, true, false, true,
         true},
        {"1200 5O1 cts only", 1200, 5, ODDPARITY, ONESTOPBIT, 0x0015, 0x11, 0x13, false, true, false, false},
        {"31250 mark parity", 31250, 8, MARKPARITY, ONESTOPBIT, 0x1013, 0x11, 0x13, false, false, false,
         false},
        {"back to 9600 after a custom rate", 9600, 8, NOPARITY, ONESTOPBIT, 0x1013, 0x11, 0x13, false, false,
         false, false},
    };
    for (const StateCase &c : cases) {
        SCOPED_TRACE(c.name);
        DCB dcb;
        ASSERT_TRUE(GetCommState(m_port, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.Flags = c.flags;
        dcb.XonChar = c.xon;
        dcb.XoffChar = c.xoff;
        ASSERT_TRUE(SetCommState(m_port, dcb)) << "error " << GetLastError();

        // The master's termios calls act on the slave: this is what the device really has.
        termios t{};
        ASSERT_EQ(tcgetattr(m_master, &t), 0);
        unsigned in = 0, out = 0;
        ASSERT_TRUE(termios2::GetRates(m_master, &in, &out));
        EXPECT_EQ(out, c.baud);
        EXPECT_EQ(in, c.baud);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
        EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.crtscts);
        EXPECT_EQ((t.c_iflag & IXON) != 0, c.ixon);
        EXPECT_EQ((t.c_iflag & IXOFF) != 0, c.ixoff);
        EXPECT_EQ(t.c_cc[VSTART], static_cast<cc_t>(c.xon));
        EXPECT_EQ(t.c_cc[VSTOP], static_cast<cc_t>(c.xoff));
        // Raw throughout: no echo, no line editing, no signals, no translation, breaks as NUL.
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IGNBRK | BRKINT | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));

        // The state reads back as asked, even where a pseudo-terminal has no word size or parity.
        DCB back;
        ASSERT_TRUE(GetCommState(m_port, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.byteSize);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stopBits);
        EXPECT_EQ(back.Flags, c.flags);
    }
}

TEST_F(TtyTest, SettingsOutsideTheRangesAreRefused)
{
    open();
    DCB good;
    ASSERT_TRUE(GetCommState(m_port, &good));
    good.BaudRate = 19200;
    ASSERT_TRUE(SetCommState(m_port, good));

    struct Case {
        const char *name;
        void (*change)(DCB &);
    };
    const Case cases[] = {
        {"rate 0", [](DCB &d) { d.BaudRate = 0; }},      {"rate below 10", [](DCB &d) { d.BaudRate = 9; }},
        {"4 data bits", [](DCB &d) { d.ByteSize = 4; }}, {"9 data bits", [](DCB &d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB &d) { d.Parity = 5; }},      {"stop bits 3", [](DCB &d) { d.StopBits = 3; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DCB bad = good;
        c.change(bad);
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetCommState(m_port, bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        DCB now;
        ASSERT_TRUE(GetCommState(m_port, &now));
        EXPECT_EQ(now.BaudRate, 19200u);
        EXPECT_EQ(now.ByteSize, good.ByteSize);
        EXPECT_EQ(now.Parity, good.Parity);
        EXPECT_EQ(now.StopBits, good.StopBits);
    }
    unsigned in = 0, out = 0;
    ASSERT_TRUE(termios2::GetRates(m_master, &in, &out));
    EXPECT_EQ(out, 19200u);

    EXPECT_TRUE(SetupComm(m_port, 2048, 2048));
    EXPECT_FALSE(SetupComm(m_port, 0, 2048));
    EXPECT_FALSE(SetupComm(m_port, 2048, 0xFFFFF800u)); // -2048 passed as unsigned
}

TEST_F(TtyTest, SecondOpenerIsRefusedInThisAndAnotherProcess)
{
    open();
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CreateFileA(kPort));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    // Through another name for the same device.
    const std::string link = m_dir + "/link";
    ASSERT_EQ(::symlink(m_slave.c_str(), link.c_str()), 0);
    writeMap("[PORTS]\r\nCOM7=" + m_slave + "\r\nCOM8=" + link + "\r\n");
    EXPECT_FALSE(CreateFileA("\\\\.\\COM8"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    // Another process (this one is single-threaded here, so fork is safe).
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const HANDLE h = CreateFileA(kPort);
        _exit(!h && GetLastError() == ERROR_SHARING_VIOLATION ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child could open the port";
}

TEST_F(TtyTest, CloseReleasesAtOnceAndTheOldHandleStaysDead)
{
    open();
    const HANDLE first = m_port;
    ASSERT_TRUE(CloseHandle(first));
    m_port = CreateFileA(kPort); // the lock went with the descriptor
    ASSERT_TRUE(m_port) << "error " << GetLastError();
    EXPECT_NE(m_port->id(), first->id());

    // Nothing done through the old handle reaches the new open.
    masterWrite("new");
    EXPECT_EQ(waitInQueue(3), 3u);
    DCB dcb;
    DWORD errors = 0, status = 0, n = 0;
    COMSTAT stat;
    char buffer[8];
    OVERLAPPED ov;
    Event wake;
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetCommState(first, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetCommState(first, dcb));
    EXPECT_FALSE(PurgeComm(first, PURGE_RXCLEAR));
    EXPECT_FALSE(ClearCommError(first, &errors, &stat));
    EXPECT_FALSE(GetCommModemStatus(first, &status));
    EXPECT_FALSE(EscapeCommFunction(first, SETDTR));
    EXPECT_FALSE(ReadFile(first, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WriteFile(first, "x", 1, &n, &ov));
    EXPECT_FALSE(WaitCommEvent(first, &status, wake));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(waitInQueue(3), 3u); // the purge through the old handle did not empty the new one
}

TEST_F(TtyTest, LinesAndErrorsOfAPseudoTerminalReadAsInactive)
{
    open();
    DWORD status = 0xFFFF;
    EXPECT_TRUE(GetCommModemStatus(m_port, &status));
    EXPECT_EQ(status, 0u);
    for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(m_port, f)) << "function " << f;
    EXPECT_FALSE(EscapeCommFunction(m_port, 42));
    EXPECT_TRUE(SetCommBreak(m_port));
    EXPECT_TRUE(ClearCommBreak(m_port));

    masterWrite("12345");
    EXPECT_EQ(waitInQueue(5), 5u);
    DWORD errors = 0xFFFF;
    COMSTAT stat;
    EXPECT_TRUE(ClearCommError(m_port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    EXPECT_TRUE(PurgeComm(m_port, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(waitInQueue(0), 0u);
}

TEST_F(TtyTest, ReceiveEventFiresOncePerArrival)
{
    open();
    Event wake;
    DWORD mask = 0;
    ASSERT_TRUE(SetCommMask(m_port, EV_RXCHAR | EV_BREAK | EV_ERR));
    masterWrite("ab");
    ASSERT_TRUE(WaitCommEvent(m_port, &mask, wake));
    EXPECT_EQ(mask, EV_RXCHAR);

    // The bytes stay unread: the next wait must sleep until something new happens.
    std::atomic<DWORD> seen{0xFFFF};
    std::atomic<bool> result{false};
    std::thread waiter([&] {
        DWORD m = 0;
        result = WaitCommEvent(m_port, &m, wake);
        seen = m;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    wake.Set();
    waiter.join();
    EXPECT_TRUE(result.load());
    EXPECT_EQ(seen.load(), 0u) << "reported the same unread bytes again";
    EXPECT_FALSE(wake.TryWait()) << "the wake-up was not consumed";

    masterWrite("c"); // growth while bytes sit unread
    ASSERT_TRUE(WaitCommEvent(m_port, &mask, wake));
    EXPECT_EQ(mask, EV_RXCHAR);

    char buffer[8];
    DWORD n = 0;
    OVERLAPPED ov;
    ASSERT_TRUE(ReadFile(m_port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "abc");
    masterWrite("d"); // after a full read, the next byte is new again
    ASSERT_TRUE(WaitCommEvent(m_port, &mask, wake));
    EXPECT_EQ(mask, EV_RXCHAR);

    // Mask 0 ends a wait in progress and refuses new ones.
    std::thread waiter2([&] {
        DWORD m = 0;
        result = WaitCommEvent(m_port, &m, wake);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(SetCommMask(m_port, 0));
    waiter2.join();
    EXPECT_FALSE(result.load());
    EXPECT_FALSE(WaitCommEvent(m_port, &mask, wake));
}

TEST_F(TtyTest, CloseWakesAWaitAndAPendingWrite)
{
    open();
    ASSERT_TRUE(SetCommMask(m_port, EV_RXCHAR));
    std::string data;
    OVERLAPPED ov;
    startPendingWrite(data, ov);

    Event wake;
    std::atomic<bool> waitResult{true}, writeResult{true};
    std::atomic<DWORD> waitError{0}, writeError{0}, written{0};
    std::thread receiver([&] {
        DWORD m = 0;
        waitResult = WaitCommEvent(m_port, &m, wake);
        waitError = GetLastError();
    });
    std::thread transmitter([&] {
        DWORD n = 0;
        writeResult = GetOverlappedResult(m_port, &ov, &n, true);
        writeError = GetLastError();
        written = n;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(CloseHandle(m_port)); // returns only once both have left the device
    receiver.join();
    transmitter.join();
    EXPECT_FALSE(waitResult.load());
    EXPECT_EQ(waitError.load(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(writeResult.load());
    EXPECT_EQ(writeError.load(), ERROR_INVALID_HANDLE);
    EXPECT_LT(written.load(), data.size());

    m_port = CreateFileA(kPort);
    EXPECT_TRUE(m_port) << "error " << GetLastError();
}

TEST_F(TtyTest, PurgeAbortsAPendingWriteAndTimeOutCompletesItShort)
{
    open();
    std::string data;
    OVERLAPPED ov;
    startPendingWrite(data, ov);
    std::atomic<bool> result{true};
    std::atomic<DWORD> error{0};
    std::thread transmitter([&] {
        DWORD n = 0;
        result = GetOverlappedResult(m_port, &ov, &n, true);
        error = GetLastError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(PurgeComm(m_port, PURGE_TXABORT | PURGE_TXCLEAR));
    transmitter.join();
    EXPECT_FALSE(result.load());
    EXPECT_EQ(error.load(), ERROR_OPERATION_ABORTED);

    // With a write time-out the same write ends short but successful.
    COMMTIMEOUTS t;
    ASSERT_TRUE(GetCommTimeouts(m_port, &t));
    t.WriteTotalTimeoutConstant = 200;
    ASSERT_TRUE(SetCommTimeouts(m_port, t));
    drainMaster();
    OVERLAPPED ov2;
    startPendingWrite(data, ov2);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(m_port, &ov2, &n, true));
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, data.size());
}

// A port nobody reads takes bytes into its queue up to the bound and then stops reading, so
// the sender is held back by the kernel; reading makes room and every byte arrives in order.
TEST_F(TtyTest, FullInputQueueStopsReadingAndResumes)
{
    open();
    std::size_t written = 0;
    char chunk[4096];
    auto writeSome = [&] {
        for (std::size_t k = 0; k < sizeof chunk; ++k)
            chunk[k] = StreamByte(written + k);
        const ssize_t n = ::write(m_master, chunk, sizeof chunk);
        if (n > 0)
            written += static_cast<std::size_t>(n);
        return n > 0;
    };
    // Write until the far end has been held back for 300 ms.
    auto heldSince = std::chrono::steady_clock::now();
    const auto limit = heldSince + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() - heldSince < std::chrono::milliseconds(300)) {
        ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the sender was never held back";
        if (writeSome())
            heldSince = std::chrono::steady_clock::now();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_GE(written, kInputQueueBytes);
    EXPECT_LT(written, kInputQueueBytes + (1u << 20)) << "the port kept reading beyond its bound";
    EXPECT_EQ(waitInQueue(static_cast<DWORD>(kInputQueueBytes)), kInputQueueBytes);

    // Read it all while the sender goes on with another megabyte.
    const std::size_t total = written + (1u << 20);
    std::string got;
    got.reserve(total);
    std::vector<char> buffer(65536);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (got.size() < total && std::chrono::steady_clock::now() < end) {
        if (written < total)
            writeSome();
        DWORD n = 0;
        OVERLAPPED ov;
        if (ReadFile(m_port, buffer.data(), static_cast<DWORD>(buffer.size()), &n, &ov) ||
            (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(m_port, &ov, &n, true)))
            got.append(buffer.data(), n);
    }
    ASSERT_GE(got.size(), total);
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], StreamByte(i)) << "at byte " << i;
}

TEST_F(TtyTest, UnknownOrMissingDevicesDoNotOpen)
{
    writeMap("[PORTS]\r\nCOM7=" + m_dir + "/missing\r\nCOM8=" + m_dir + "/ports.ini\r\n");
    EXPECT_FALSE(CreateFileA(kPort));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CreateFileA("\\\\.\\COM8")); // a plain file is no serial device
    EXPECT_FALSE(CreateFileA("\\\\.\\LPT1"));
}

} // namespace
