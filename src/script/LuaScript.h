// SPDX-License-Identifier: MIT
// One run of a Lua 5.4 script: its state, with Lua's standard libraries except those that start
// processes, end the program or load native code (os.execute, os.exit, io.popen, package.loadlib,
// the C module searchers, binary chunks), the hook that the stop needs (debug.sethook goes too)
// and the standard input (a read of it would wait where no stop reaches); and the global table
// `port` (the API the help describes). The port itself is the host's: the script only asks for
// what it wants and waits for the answer, and takes its received bytes from the channel.
//
// Stopping: every call of the API looks at the channel first and every wait of one wakes when it
// stops; a count hook looks every kHookInstructions instructions, so that a busy loop ends too.
// From then on the hook raises an error at every instruction, so that no pcall in the script can
// hold the end back. port.fail ends the script the same way.
//
// Threads: made, run and destroyed on the script's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

struct lua_State;
class ScriptChannel;
class ScriptHost;

class LuaScript
{
  public:
    // How long expect, read and readline wait when the script gives no time.
    static constexpr int kDefaultTimeoutMs = 5000;
    // What the script's values may take: a script that runs away with memory fails instead of
    // taking the window with it.
    static constexpr std::size_t kMemoryLimit = std::size_t(512) << 20;
    static constexpr int kHookInstructions = 1000;

    LuaScript(ScriptHost &host, ScriptChannel &channel, std::size_t memoryLimit = kMemoryLimit);
    ~LuaScript();
    LuaScript(const LuaScript &) = delete;
    LuaScript &operator=(const LuaScript &) = delete;

    struct Result {
        enum class Kind { Ended, Failed, Error, Stopped };
        Kind kind = Kind::Ended;
        std::string message;   // file and line first ("at_check.lua:12: ...")
        std::string traceback; // of an error
    };
    // Loads the file at `path` (file system bytes) as text and runs it; its name in messages is
    // the file's name without the folder, and require looks beside it first. port.now() counts
    // from `started` (by default, from now).
    Result runFile(const std::string &path,
                   std::optional<std::chrono::steady_clock::time_point> started = {});
    // Runs a text as a chunk named `name`.
    Result runText(const std::string &text, const std::string &name);

    // The API's side (LuaScript.cpp).
    ScriptHost &host() { return m_host; }
    ScriptChannel &channel() { return m_channel; }
    bool ending() const;
    [[noreturn]] void end(lua_State *L);
    void fail(lua_State *L, std::string message);
    std::chrono::steady_clock::time_point started() const { return m_started; }
    void tellDropped();
    void setTraceback(std::string text) { m_traceback = std::move(text); }
    std::size_t &memory() { return m_memory; }
    std::size_t memoryLimit() const { return m_memoryLimit; }

  private:
    Result run(const std::string &text, const std::string &name, const std::string &folder,
               std::optional<std::chrono::steady_clock::time_point> started);

    ScriptHost &m_host;
    ScriptChannel &m_channel;
    const std::size_t m_memoryLimit;
    lua_State *m_L = nullptr;
    std::size_t m_memory = 0;
    bool m_failed = false;
    std::string m_failMessage;
    std::string m_traceback;
    std::chrono::steady_clock::time_point m_started;
};
