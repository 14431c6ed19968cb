// SPDX-License-Identifier: MIT
// The serial port component on a pseudo-terminal: the tty back end as the program uses it,
// including the other end going away while the port is open (a pulled USB adapter).
#include "Commx.h"

#include "PortMapFile.h"
#include "PortNames.h"
#include "ProcessCpu.h"
#include "PtyPair.h"
#include "WaitFor.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace pf = platform;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace
{

class CommXPty : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_pty.ok()) << "no pseudo-terminals here";
        m_master = m_pty.master();
        m_map.emplace("COM4=" + m_pty.slavePath());
        m_comm = std::make_unique<TCommX>();
        m_comm->SetPortNo(4);
        m_comm->SetFlowCtrl(cfcNone);
    }

    void TearDown() override
    {
        m_comm.reset();
        EXPECT_TRUE(TCustomCommX::WaitForWorkers(3000));
    }

    std::string readMaster(std::size_t want)
    {
        std::string got;
        const auto deadline = Clock::now() + 3s;
        while (got.size() < want && Clock::now() < deadline) {
            pollfd p{m_master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                const ssize_t n = read(m_master, buffer, sizeof buffer);
                if (n > 0)
                    got.append(buffer, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

    PtyPair m_pty;
    std::optional<PortMapFile> m_map;
    int m_master = -1;
    std::unique_ptr<TCommX> m_comm;
};

TEST_F(CommXPty, BytesTravelBothWays)
{
    std::string received;
    m_comm->OnReceive = [&](QObject *, std::int32_t) {
        while (m_comm->GetReceiveLength() > 0) {
            const int c = m_comm->ReceiveChar();
            ASSERT_GE(c, 0);
            received.push_back(static_cast<char>(c));
        }
    };
    m_comm->PortOpen();

    const std::string out = "hello\r\n\x00\xff";
    ASSERT_TRUE(m_comm->TransString(std::string(out.data(), 9)));
    EXPECT_EQ(readMaster(9), std::string(out.data(), 9));

    const std::string in("\x01\x02 world \xfe", 10);
    ASSERT_EQ(write(m_master, in.data(), in.size()), static_cast<ssize_t>(in.size()));
    EXPECT_TRUE(WaitFor([&] { return received.size() >= in.size(); }));
    EXPECT_EQ(received, in);
}

TEST_F(CommXPty, PulledDeviceLeavesTheReceiveThreadAsleep)
{
    int lost = 0;
    m_comm->OnDeviceLost = [&](QObject *) { ++lost; };
    m_comm->PortOpen();
    m_pty.closeMaster();
    m_master = -1;
    EXPECT_TRUE(WaitFor([&] { return lost > 0; }, 1000ms)) << "the hang-up was not told within 1 s";

    // Give the receive thread time to notice the hang-up, then measure: a thread that spins on
    // the hang-up would burn a whole core for the two seconds.
    std::this_thread::sleep_for(100ms);
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(2s);
    const double spent = ProcessCpuSeconds() - before;
    EXPECT_LT(spent, 0.2) << "CPU seconds spent while idle after the hang-up";
    WaitFor([] { return false; }, 50ms);
    EXPECT_EQ(lost, 1) << "a lost device is told once";

    // Nothing works on a pulled device, and nothing crashes either.
    EXPECT_TRUE(m_comm->TransString("lost"));
    EXPECT_EQ(m_comm->GetReceiveLength(), 0);
    WaitFor([] { return false; }, 100ms);
    m_comm->PortClose();
    EXPECT_EQ(m_comm->Handle(), TCustomCommX::kInvalidHandle);
}

TEST_F(CommXPty, CloseAndReopenAtOnce)
{
    m_comm->PortOpen();
    m_comm->PortClose();
    m_comm->PortOpen();
    EXPECT_NE(m_comm->Handle(), TCustomCommX::kInvalidHandle);
    // A second opener of the same device is refused while it is open.
    TCommX other;
    other.SetPortNo(4);
    EXPECT_THROW(other.PortOpen(), ECommError);
    ASSERT_TRUE(m_comm->TransString("again"));
    EXPECT_EQ(readMaster(5), "again");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
