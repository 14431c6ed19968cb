// SPDX-License-Identifier: MIT
// What a hostile server can send, through the Telnet and RFC 2217 parser: no fault; the same
// bytes cut into other pieces give the same data, answers and messages; what comes out is never
// more than what went in; and the data sent again, escaped, parses back to itself.
#include "FuzzCheck.h"

#include "Telnet.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{

using namespace platform::telnet;

struct Outcome {
    std::string data;
    std::string reply;
    std::vector<ComPortMessage> messages;
    bool comPortAccepted = false;
};

// A connection in the state a client is in once it made its offers; `accepted`: the server
// agreed to COM-PORT-OPTION first.
Connection Started(bool accepted)
{
    Connection c;
    c.start();
    if (accepted) {
        const std::uint8_t agree[] = {IAC, DO, kOptComPort};
        std::uint8_t none[sizeof agree];
        c.receive(agree, sizeof agree, none);
    }
    return c;
}

// Parses `bytes` in pieces of the sizes `cuts` gives in turn (0: the rest at once).
Outcome Parse(Connection c, const std::uint8_t *bytes, std::size_t n, const std::vector<std::size_t> &cuts)
{
    Outcome out;
    std::vector<std::uint8_t> data(n);
    std::size_t at = 0;
    for (std::size_t i = 0; at < n; ++i) {
        const std::size_t cut = cuts.empty() ? 0 : cuts[i % cuts.size()];
        const std::size_t piece = cut == 0 || cut > n - at ? n - at : cut;
        const Received r = c.receive(bytes + at, piece, data.data());
        FUZZ_CHECK(r.data <= piece);
        out.data.append(reinterpret_cast<const char *>(data.data()), r.data);
        out.reply += r.reply;
        out.messages.insert(out.messages.end(), r.messages.begin(), r.messages.end());
        at += piece;
    }
    out.comPortAccepted = c.comPort() == Connection::ComPort::Accepted;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size)
{
    if (size < 2)
        return 0;
    // Two steering bytes: whether COM-PORT-OPTION was agreed first, and how the rest is cut.
    const bool accepted = input[0] & 1;
    std::vector<std::size_t> cuts;
    for (int bit = 1; bit < 8; ++bit)
        cuts.push_back(((input[1] >> (bit - 1)) & 3) + (input[0] >> 1 & 7) * bit);
    const std::uint8_t *bytes = input + 2;
    const std::size_t n = size - 2;

    const Outcome whole = Parse(Started(accepted), bytes, n, {});
    const Outcome cut = Parse(Started(accepted), bytes, n, cuts);
    const Outcome single = Parse(Started(accepted), bytes, n, {1});
    FUZZ_CHECK(cut.data == whole.data && single.data == whole.data);
    FUZZ_CHECK(cut.reply == whole.reply && single.reply == whole.reply);
    FUZZ_CHECK(cut.messages == whole.messages && single.messages == whole.messages);
    FUZZ_CHECK(cut.comPortAccepted == whole.comPortAccepted);

    // An answer is three bytes for a command of at least three; a message takes at least seven.
    FUZZ_CHECK(whole.reply.size() <= n);
    FUZZ_CHECK(whole.messages.size() * 7 <= n);
    for (std::size_t i = 0; i + 2 < whole.reply.size(); i += 3) {
        const auto verb = static_cast<std::uint8_t>(whole.reply[i + 1]);
        FUZZ_CHECK(static_cast<std::uint8_t>(whole.reply[i]) == IAC);
        FUZZ_CHECK(verb == WILL || verb == WONT || verb == DO || verb == DONT);
    }
    FUZZ_CHECK(whole.reply.size() % 3 == 0);

    // The data escaped as this side sends it comes back as the same data.
    std::string wire;
    AppendData(&wire, reinterpret_cast<const std::uint8_t *>(whole.data.data()), whole.data.size(), true);
    const Outcome again =
        Parse(Started(true), reinterpret_cast<const std::uint8_t *>(wire.data()), wire.size(), cuts);
    FUZZ_CHECK(again.data == whole.data);
    FUZZ_CHECK(again.reply.empty() && again.messages.empty());

    // A bit rate made of four of the bytes, sent and answered, is the same rate.
    if (n >= 4) {
        const std::uint32_t rate = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                                   (std::uint32_t{bytes[2]} << 8) | bytes[3];
        std::string answer = SetBaudRate(rate);
        answer[3] = static_cast<char>(kSetBaudRate + kServerOffset);
        const Outcome echoed =
            Parse(Started(true), reinterpret_cast<const std::uint8_t *>(answer.data()), answer.size(), cuts);
        FUZZ_CHECK(echoed.messages.size() == 1 && echoed.messages[0].command == kSetBaudRate &&
                   echoed.messages[0].value == rate);
    }
    return 0;
}
