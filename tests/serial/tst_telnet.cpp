// SPDX-License-Identifier: MIT
// The Telnet and RFC 2217 unit with plain bytes: escaping both ways, commands split anywhere,
// the server's COM-PORT-OPTION messages, the option answers, and what a hostile server may send.
#include "Telnet.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace platform::telnet;

namespace
{

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (const int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// What the parser made of a run of receive calls, put together.
struct Parsed {
    std::string data;
    std::string reply;
    std::vector<ComPortMessage> messages;
    bool protocolError = false;
};

Parsed Feed(Connection &c, const std::string &wire, std::size_t piece = std::string::npos)
{
    Parsed p;
    for (std::size_t at = 0; at < wire.size();) {
        const std::size_t n = std::min(piece, wire.size() - at);
        std::vector<std::uint8_t> data(n);
        const Received r =
            c.receive(reinterpret_cast<const std::uint8_t *>(wire.data() + at), n, data.data());
        EXPECT_LE(r.data, n);
        p.data.append(reinterpret_cast<const char *>(data.data()), r.data);
        p.reply += r.reply;
        p.messages.insert(p.messages.end(), r.messages.begin(), r.messages.end());
        p.protocolError = p.protocolError || r.protocolError;
        at += n;
    }
    return p;
}

// A connection whose server took binary both ways and COM-PORT-OPTION.
Connection Accepted()
{
    Connection c;
    c.start();
    const Parsed p = Feed(c, Bytes({IAC, DO, kOptBinary, IAC, WILL, kOptBinary, IAC, DO, kOptComPort}));
    EXPECT_TRUE(p.reply.empty());
    EXPECT_EQ(c.comPort(), Connection::ComPort::Accepted);
    return c;
}

std::string Escaped(const std::string &data, bool binary = true)
{
    std::string out;
    AppendData(&out, reinterpret_cast<const std::uint8_t *>(data.data()), data.size(), binary);
    return out;
}

TEST(Telnet, TheOffersAtTheStart)
{
    Connection c;
    EXPECT_EQ(c.start(), Bytes({IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44}));
    EXPECT_EQ(c.comPort(), Connection::ComPort::Pending);
}

TEST(Telnet, IacIsDoubledBothWays)
{
    std::string every;
    for (int b = 0; b < 256; ++b)
        every.push_back(static_cast<char>(b));
    const struct {
        std::string data, wire;
    } cases[] = {
        {Bytes({0xFF}), Bytes({0xFF, 0xFF})},
        {Bytes({'a', 0xFF, 0xFF, 'b'}), Bytes({'a', 0xFF, 0xFF, 0xFF, 0xFF, 'b'})},
        {Bytes({0xFE, 0xFF, 0xFD}), Bytes({0xFE, 0xFF, 0xFF, 0xFD})},
        {std::string(1000, '\xff'), std::string(2000, '\xff')},
        {every, every.substr(0, 255) + Bytes({0xFF, 0xFF})},
        {std::string("\r\0\r\n", 4), std::string("\r\0\r\n", 4)}, // binary: CR NUL is data
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        EXPECT_EQ(Escaped(c.data), c.wire);
        Connection in = Accepted();
        const Parsed p = Feed(in, c.wire);
        EXPECT_EQ(p.data, c.data);
        EXPECT_FALSE(p.protocolError);
    }
}

TEST(Telnet, ACommandSplitAtEveryByteIsPutTogether)
{
    // Data, a doubled IAC, options, a modem notice, a bit rate holding 0xFF bytes and a NOP.
    const std::string wire = Bytes(
        {'x', IAC,         IAC, IAC,  WILL, kOptEcho, 'y',  IAC,  SB,   kOptComPort, 107, 0x30, IAC, SE, IAC,
         SB,  kOptComPort, 101, 0x00, 0xFF, 0xFF,     0x01, 0xFF, 0xFF, IAC,         SE,  IAC,  NOP, 'z'});
    const std::vector<ComPortMessage> messages = {{kNotifyModemState, 0x30}, {kSetBaudRate, 0x00FF01FF}};
    for (std::size_t split = 0; split <= wire.size(); ++split) {
        SCOPED_TRACE(split);
        Connection c = Accepted();
        Parsed p = Feed(c, wire.substr(0, split));
        const Parsed rest = Feed(c, wire.substr(split));
        p.data += rest.data;
        p.reply += rest.reply;
        p.messages.insert(p.messages.end(), rest.messages.begin(), rest.messages.end());
        EXPECT_EQ(p.data, Bytes({'x', 0xFF, 'y', 'z'}));
        EXPECT_EQ(p.reply, Bytes({IAC, DONT, kOptEcho}));
        EXPECT_EQ(p.messages, messages);
        EXPECT_FALSE(p.protocolError || rest.protocolError);
    }
    // A byte at a time.
    Connection c = Accepted();
    const Parsed p = Feed(c, wire, 1);
    EXPECT_EQ(p.data, Bytes({'x', 0xFF, 'y', 'z'}));
    EXPECT_EQ(p.messages, messages);
}

TEST(Telnet, BitRatesHoldingIacAreEscapedBothWays)
{
    const struct {
        std::uint32_t rate;
        std::string value; // on the wire
    } cases[] = {
        {115200, Bytes({0x00, 0x01, 0xC2, 0x00})},
        {0x0000FFFF, Bytes({0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF})},
        {0xFF000000, Bytes({0xFF, 0xFF, 0x00, 0x00, 0x00})},
        {0x00FF00FF, Bytes({0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xFF})},
        {0xFFFFFFFF, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(SetBaudRate(c.rate),
                  Bytes({IAC, SB, kOptComPort, kSetBaudRate}) + c.value + Bytes({IAC, SE}));
        Connection in = Accepted();
        const Parsed p = Feed(in, Bytes({IAC, SB, kOptComPort, 101}) + c.value + Bytes({IAC, SE}));
        ASSERT_EQ(p.messages.size(), 1u);
        EXPECT_EQ(p.messages[0], (ComPortMessage{kSetBaudRate, c.rate}));
        EXPECT_TRUE(p.data.empty());
    }
    EXPECT_EQ(ComPortCommand(kSetControl, kDtrOn), Bytes({IAC, SB, 44, 5, 8, IAC, SE}));
    EXPECT_EQ(ComPortCommand(kSetModemStateMask, 0xFF), Bytes({IAC, SB, 44, 11, 0xFF, 0xFF, IAC, SE}));
}

TEST(Telnet, NoticesOfTheModemLinesAndLineErrors)
{
    const struct {
        std::string wire;
        std::vector<ComPortMessage> messages;
        bool error;
    } cases[] = {
        {Bytes({IAC, SB, 44, 107, 0x33, IAC, SE}), {{kNotifyModemState, 0x33}}, false},
        {Bytes({IAC, SB, 44, 106, 0x1E, IAC, SE}), {{kNotifyLineState, 0x1E}}, false},
        {Bytes({IAC, SB, 44, 107, 0xFF, 0xFF, IAC, SE}), {{kNotifyModemState, 0xFF}}, false},
        {Bytes({IAC, SB, 44, 102, 7, IAC, SE}), {{kSetDataSize, 7}}, false},
        {Bytes({IAC, SB, 44, 105, 8, IAC, SE}), {{kSetControl, 8}}, false},
        // A signature, flow-control notices and commands meant for a server carry nothing here.
        {Bytes({IAC, SB, 44, 100, 'h', 'i', IAC, SE}), {}, false},
        {Bytes({IAC, SB, 44, 108, IAC, SE}), {}, false},
        {Bytes({IAC, SB, 44, 7, 0x30, IAC, SE}), {}, false},
        // Values of the wrong length, an empty sub-negotiation: dropped, told.
        {Bytes({IAC, SB, 44, 107, IAC, SE}), {}, true},
        {Bytes({IAC, SB, 44, 107, 1, 2, IAC, SE}), {}, true},
        {Bytes({IAC, SB, 44, 101, 0, 1, 2, IAC, SE}), {}, true},
        {Bytes({IAC, SB, IAC, SE}), {}, true},
        // Another option's sub-negotiation is none of this program's business.
        {Bytes({IAC, SB, 24, 1, IAC, SE}), {}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        Connection in = Accepted();
        const Parsed p = Feed(in, c.wire + "ok");
        EXPECT_EQ(p.messages, c.messages);
        EXPECT_EQ(p.protocolError, c.error);
        EXPECT_EQ(p.data, "ok");
    }
    // Before the server took COM-PORT-OPTION its messages mean nothing.
    Connection pending;
    pending.start();
    EXPECT_TRUE(Feed(pending, Bytes({IAC, SB, 44, 107, 0x30, IAC, SE})).messages.empty());
}

TEST(Telnet, OptionsAreAnsweredOnceAndRefusalsHeard)
{
    const struct {
        const char *what;
        std::string wire;
        std::string reply;
        Connection::ComPort comPort;
        bool sendsBinary, receivesBinary;
    } cases[] = {
        {"the server refuses COM-PORT-OPTION", Bytes({IAC, DONT, 44}), "", Connection::ComPort::Refused, true,
         true},
        {"... or says it will not", Bytes({IAC, WONT, 44, IAC, DONT, 44}), "", Connection::ComPort::Refused,
         true, true},
        {"echo and terminal type are refused once",
         Bytes({IAC, WILL, 1, IAC, DO, 24, IAC, WILL, 1, IAC, DO, 24}), Bytes({IAC, DONT, 1, IAC, WONT, 24}),
         Connection::ComPort::Pending, true, true},
        {"answers are not answered again", Bytes({IAC, DO, 0, IAC, DO, 0, IAC, WILL, 3, IAC, WILL, 3}), "",
         Connection::ComPort::Pending, true, true},
        {"binary refused both ways", Bytes({IAC, DONT, 0, IAC, WONT, 0}), "", Connection::ComPort::Pending,
         false, false},
        {"binary taken back after it was agreed",
         Bytes({IAC, DO, 0, IAC, WILL, 0, IAC, DONT, 0, IAC, WONT, 0}), Bytes({IAC, WONT, 0, IAC, DONT, 0}),
         Connection::ComPort::Pending, false, false},
        {"a refusal of what was never on is not answered", Bytes({IAC, DONT, 24, IAC, WONT, 24}), "",
         Connection::ComPort::Pending, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Connection in;
        in.start();
        const Parsed p = Feed(in, c.wire);
        EXPECT_EQ(p.reply, c.reply);
        EXPECT_EQ(in.comPort(), c.comPort);
        EXPECT_EQ(in.sendsBinary(), c.sendsBinary);
        EXPECT_EQ(in.receivesBinary(), c.receivesBinary);
        EXPECT_TRUE(in.seenCommand());
    }

    // Outside binary, CR goes out as CR NUL and CR NUL comes in as CR.
    Connection nvt;
    nvt.start();
    Feed(nvt, Bytes({IAC, DONT, 0, IAC, WONT, 0}));
    EXPECT_EQ(Escaped("a\r\nb\r", false), std::string("a\r\0\nb\r\0", 7));
    EXPECT_EQ(Feed(nvt, std::string("a\r\0\nb\r", 6)).data, "a\r\nb\r");
    EXPECT_EQ(Feed(nvt, std::string("\0c", 2)).data, "c"); // the NUL of a CR in the last read

    // No answer in time: a COM-PORT-OPTION agreed later is refused.
    Connection late;
    late.start();
    late.giveUpComPort();
    EXPECT_EQ(late.comPort(), Connection::ComPort::Refused);
    EXPECT_EQ(Feed(late, Bytes({IAC, DO, 44, IAC, DO, 44})).reply, Bytes({IAC, WONT, 44}));
    EXPECT_EQ(late.comPort(), Connection::ComPort::Refused);
}

TEST(Telnet, GarbageIsDroppedAndTheStreamGoesOn)
{
    const struct {
        const char *what;
        std::string wire;
        std::string data;
        std::string reply;
        std::vector<ComPortMessage> messages;
    } cases[] = {
        {"IAC before a data byte", Bytes({'a', IAC, 'b', 'c'}), "ac", "", {}},
        {"SE outside a sub-negotiation", Bytes({'a', IAC, SE, 'b'}), "ab", "", {}},
        {"an over-long sub-negotiation",
         Bytes({IAC, SB, 44, 107}) + std::string(5000, 'x') + Bytes({IAC, SE, 'b'}),
         "b",
         "",
         {}},
        {"an over-long one full of doubled IAC",
         Bytes({IAC, SB, 44}) + std::string(4000, '\xff') + Bytes({IAC, SE}),
         "",
         "",
         {}},
        {"a sub-negotiation cut off by a command",
         Bytes({IAC, SB, 44, 107, 0x30, IAC, WILL, 1, 'b', IAC, SB, 44, 107, 0x10, IAC, SE}),
         "b",
         Bytes({IAC, DONT, 1}),
         {{kNotifyModemState, 0x10}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Connection in = Accepted();
        const Parsed p = Feed(in, c.wire);
        EXPECT_EQ(p.data, c.data);
        EXPECT_EQ(p.reply, c.reply);
        EXPECT_EQ(p.messages, c.messages);
        EXPECT_TRUE(p.protocolError);
    }

    // Random bytes in random pieces: no fault, data never longer than what came, and at most one
    // refusal per option and side whatever the server repeats.
    std::mt19937 random(2217);
    std::string noise(1 << 20, '\0');
    for (char &b : noise)
        b = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 256);
    Connection in = Accepted();
    std::size_t at = 0, replies = 0;
    while (at < noise.size()) {
        const std::size_t n = std::min<std::size_t>(1 + random() % 300, noise.size() - at);
        std::vector<std::uint8_t> data(n);
        const Received r =
            in.receive(reinterpret_cast<const std::uint8_t *>(noise.data() + at), n, data.data());
        ASSERT_LE(r.data, n);
        replies += r.reply.size();
        at += n;
    }
    EXPECT_LE(replies, 2u * 256u * 3u + 1000u * 3u) << "answers out of proportion";
}

TEST(Telnet, ASubNegotiationLeftOpenYieldsNothing)
{
    // The server stops in the middle of a message: nothing half-read is reported, and a message
    // that follows on the same connection is whole again.
    for (const std::string &cut : {Bytes({IAC}), Bytes({IAC, SB}), Bytes({IAC, SB, 44, 101, 0, 1}),
                                   Bytes({IAC, SB, 44, 107, 0x30, IAC}), Bytes({IAC, WILL})}) {
        SCOPED_TRACE(testing::PrintToString(cut));
        Connection in = Accepted();
        const Parsed p = Feed(in, "d" + cut);
        EXPECT_EQ(p.data, "d");
        EXPECT_TRUE(p.messages.empty());
        EXPECT_TRUE(p.reply.empty());
        // A command cut off is not yet a sign that the server speaks Telnet.
        Connection fresh;
        fresh.start();
        Feed(fresh, cut);
        EXPECT_FALSE(fresh.seenCommand());
    }
}

} // namespace
