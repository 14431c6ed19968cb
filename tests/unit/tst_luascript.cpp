// SPDX-License-Identifier: MIT
// The script's interpreter without a port: its libraries, its errors, the received bytes as
// expect, read and readline see them through the channel, and the stop, with a host that records
// what the script asked for.
#include "LuaScript.h"
#include "MixSend.h"
#include "ScriptChannel.h"
#include "ScriptHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using Kind = LuaScript::Result::Kind;

class RecordingHost : public ScriptHost
{
  public:
    std::optional<std::string> send(const std::string &text, bool raw) override
    {
        const std::lock_guard lock(m_mutex);
        sent.push_back((raw ? "write " : "send ") + text);
        return std::string();
    }
    std::optional<std::string> setLines(std::optional<bool>, std::optional<bool>,
                                        std::optional<bool>) override
    {
        return std::string();
    }
    std::optional<Lines> lines() override { return Lines{true, false, {}}; }
    std::optional<Settings> settings(const std::optional<core::CommSettings> &change) override
    {
        if (change)
            comm = *change;
        return Settings{comm, {}};
    }
    bool log(const std::string &text) override
    {
        const std::lock_guard lock(m_mutex);
        logs.push_back(text);
        return true;
    }

    std::vector<std::string> sent;
    std::vector<std::string> logs;
    core::CommSettings comm;

  private:
    std::mutex m_mutex;
};

struct ScriptRun {
    RecordingHost host;
    ScriptChannel channel;
    LuaScript::Result result;

    LuaScript::Result run(const std::string &text)
    {
        LuaScript script(host, channel, std::size_t(16) << 20);
        result = script.runText(text, "case.lua");
        return result;
    }
};

// Runs `text` on a thread of its own, calls `during` meanwhile, and gives the result.
LuaScript::Result RunWhile(ScriptRun &r, const std::string &text, const std::function<void()> &during)
{
    auto done = std::async(std::launch::async, [&] { return r.run(text); });
    during();
    EXPECT_EQ(done.wait_for(2s), std::future_status::ready) << "the script did not end";
    return done.get();
}

void Push(ScriptChannel &c, const std::string &bytes)
{
    c.push(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

} // namespace

// The libraries that start processes, end the program or load native code are gone; the others stay.
TEST(LuaScript, ForbiddenLibrariesAreAbsent)
{
    ScriptRun r;
    const LuaScript::Result result = r.run(R"(
        assert(os.execute == nil and os.exit == nil and io.popen == nil and package.loadlib == nil)
        assert(debug.sethook == nil and package.cpath == "")
        assert(io.stdin == nil and io.read() == nil, "nothing waits on the standard input")
        assert(#package.searchers == 2, "only the preload and the Lua searchers")
        assert(not pcall(require, "socket.core"))
        assert(string.format and table.concat and math.floor and os.time and io.open and coroutine.wrap)
        -- a binary chunk could crash the interpreter: loading one is refused
        local ok, e = load(string.dump(function() end))
        assert(ok == nil and e:find("binary"), e)
        assert(load("return 1 + 1")() == 2)
    )");
    EXPECT_EQ(result.kind, Kind::Ended) << result.message;
}

// Errors say the file and the line, also those that give none of their own (assert, error with
// level 0); port.fail ends the script as failed where it was called.
TEST(LuaScript, ErrorsSayFileAndLine)
{
    struct Case {
        const char *script;
        Kind kind;
        const char *message;
    } cases[] = {
        {"local x = 1\n\nlocal y = nil + x\n", Kind::Error, "case.lua:3: attempt to perform arithmetic"},
        {"\nassert(port.expect('x', 0))\n", Kind::Error, "case.lua:2: timeout"},
        {"error({})\n", Kind::Error, "case.lua:1: (error object is a table value)"},
        {"local s = 'x' for i = 1, 40 do s = s .. s end\n", Kind::Error, "not enough memory"},
        {"port.log('before')\nport.fail('no banner', 3)\nport.log('after')\n", Kind::Failed,
         "case.lua:2: no banner\t3"},
        {"pcall(port.fail, 'caught')\nport.log('after')\n", Kind::Failed, "caught"},
        {"this is not Lua\n", Kind::Error, "case.lua:1: syntax error"},
    };
    for (const Case &c : cases) {
        ScriptRun r;
        const LuaScript::Result result = r.run(c.script);
        EXPECT_EQ(result.kind, c.kind) << c.script;
        EXPECT_NE(result.message.find(c.message), std::string::npos) << result.message;
        EXPECT_TRUE(std::find(r.host.logs.begin(), r.host.logs.end(), "after") == r.host.logs.end());
    }
}

// The received bytes as the calls see them: a match split over two arrivals, NUL and 0xFF, the
// captures of both kinds of pattern, what a match leaves, and a time-out that takes nothing.
TEST(LuaScript, ExpectReadReadlineOverTheChannel)
{
    ScriptRun r;
    const LuaScript::Result result =
        RunWhile(r, R"(
        local m = assert(port.expect("OK\r\n", 2000))
        assert(m == "OK\r\n")
        local all, a, b = port.expect(port.hex"00 FF ?? ??", 2000)
        assert(all == "\0\255\1\2" and a == 1 and b == 2, tostring(all))
        local m2, value = port.expect("T=(%d+)\n", 2000)
        assert(m2 == "T=42\n" and value == "42")
        assert(port.read(3, 2000) == "a\0b")
        assert(port.readline(2000) == "line one")
        assert(port.readline(2000) == "line two")
        local none, why = port.expect("never", 30)
        assert(none == nil and why == "timeout")
        assert(port.read(2, 0) == "zz", "a time-out takes nothing")
        assert(tostring(port.hex"01 ?? ff") == 'port.hex"01 ?? FF"')
        assert(not pcall(port.hex, "01 0"))
        port.log("done")
    )",
                 [&] {
                     Push(r.channel, "noise O");
                     std::this_thread::sleep_for(50ms);
                     Push(r.channel, std::string("K\r\n\0", 4));
                     std::this_thread::sleep_for(20ms);
                     Push(r.channel, std::string("\xFF\x01\x02T=4", 6));
                     std::this_thread::sleep_for(20ms);
                     Push(r.channel, std::string("2\na\0bline one\r\nline two\nzz", 26));
                 });
    EXPECT_EQ(result.kind, Kind::Ended) << result.message;
    EXPECT_EQ(r.host.logs, std::vector<std::string>{"done"});
}

// A script that never reads keeps the latest bytes only, and says how many it lost.
TEST(LuaScript, UnreadBytesAreBoundedAndTold)
{
    ScriptRun r;
    const std::string flood(ScriptChannel::kMaxBytes + 1000, 'x');
    Push(r.channel, flood);
    Push(r.channel, "END");
    const LuaScript::Result result = r.run(R"(
        local m = assert(port.expect("xEND", 0))
        assert(port.read(1, 0) == nil)
    )");
    EXPECT_EQ(result.kind, Kind::Ended) << result.message;
    ASSERT_EQ(r.host.logs.size(), 1u);
    EXPECT_NE(r.host.logs[0].find(" 1003 "), std::string::npos) << r.host.logs[0];
}

// A stop ends a wait at once and a busy loop at the next hook, also one that catches errors.
TEST(LuaScript, StopEndsWaitsAndBusyLoops)
{
    for (const char *script : {
             "port.expect('never', 60000)",
             "port.sleep(60000)",
             "port.readline(math.huge)",
             "local n = 0 while true do n = n + 1 end",
             "while true do pcall(function() while true do end end) end",
             "local co = coroutine.wrap(function() while true do end end) co()",
         }) {
        ScriptRun r;
        const auto started = std::chrono::steady_clock::now();
        const LuaScript::Result result = RunWhile(r, script, [&] {
            std::this_thread::sleep_for(100ms);
            r.channel.stop();
        });
        EXPECT_EQ(result.kind, Kind::Stopped) << script << ": " << result.message;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << script;
    }
}

// The calls that go to the host, with their arguments checked first.
TEST(LuaScript, HostCallsAndArgumentChecks)
{
    ScriptRun r;
    const LuaScript::Result result = r.run(R"(
        port.send('"AT",13')
        port.write("\0\255")
        local cts, dsr = port.lines()
        assert(cts == true and dsr == false)
        local s = port.settings{baud = 115200, bits = 7, parity = "EVEN", stop = 2, flow = "rtscts"}
        assert(s.baud == 115200 and s.bits == 7 and s.parity == "even" and s.stop == 2 and s.flow == "rtscts")
        assert(port.settings().baud == 115200)
        for _, bad in ipairs{ {baud = 0}, {bits = 6}, {parity = "mark"}, {stop = 3}, {flow = "xon"}, {speed = 1} } do
            assert(not pcall(port.settings, bad))
        end
        assert(not pcall(port.set, {dtr = 1}))
        assert(not pcall(port.set, {cts = true}))
        port.set{dtr = false, rts = true, brk = false}
        assert(not pcall(port.expect, "x", -1))
        assert(not pcall(port.read, -1))
        assert(not pcall(port.expect, 42))
        local t = port.now()
        assert(type(t) == "number" and t >= 0 and t < 5000)
    )");
    EXPECT_EQ(result.kind, Kind::Ended) << result.message;
    EXPECT_EQ(r.host.sent, (std::vector<std::string>{"send \"AT\",13", std::string("write \0\xFF", 8)}));
    EXPECT_EQ(r.host.comm.Parity, "EVEN");
    EXPECT_EQ(r.host.comm.StopBits, "2");
    EXPECT_EQ(r.host.comm.Flow, "RTS/CTS");
}

// The examples load as text, and the AT check passes against a modem that answers as one does.
TEST(LuaScript, Examples)
{
    for (const char *name : {"at_check.lua", "modbus_poll.lua", "dtr_reset_banner.lua"}) {
        ScriptRun r;
        const std::string path = std::string(QUORVEL_EXAMPLES_DIR) + "/" + name;
        EXPECT_EQ(r.run("assert(loadfile('" + path + "'))").kind, Kind::Ended) << name << r.result.message;
    }
    struct Modem : RecordingHost {
        ScriptChannel *channel = nullptr;
        std::optional<std::string> send(const std::string &text, bool raw) override
        {
            RecordingHost::send(text, raw);
            const std::string bytes =
                core::PlanMixSend(text, core::MixForm::Normal, core::MixType::Hex).bytes();
            std::string answer = bytes == "ATI\r"      ? "\r\nQuorvel Modem 2\r\n\r\nOK\r\n"
                                 : bytes == "AT+CSQ\r" ? "\r\n+CSQ: 17,99\r\n\r\nOK\r\n"
                                                       : "\r\nOK\r\n";
            Push(*channel, answer);
            return std::string();
        }
    };
    Modem modem;
    ScriptChannel channel;
    modem.channel = &channel;
    LuaScript script(modem, channel);
    const LuaScript::Result result = script.runFile(std::string(QUORVEL_EXAMPLES_DIR) + "/at_check.lua");
    EXPECT_EQ(result.kind, Kind::Ended) << result.message;
    EXPECT_EQ(modem.logs,
              (std::vector<std::string>{"機種: Quorvel Modem 2", "電波の強さ: 17（10 以上で合格）"}));
    EXPECT_EQ(modem.comm.Speed, 115200);
}
