// SPDX-License-Identifier: MIT
#include "LuaScript.h"

#include "ScriptApi.h"
#include "ScriptChannel.h"
#include "ScriptHost.h"

#include <lua.hpp>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace
{

// The error value of an end (a stop or port.fail): no message of its own, never a script error.
char g_endToken;
// The registry's key of string.find as the libraries made it, whatever the script does to it.
char g_findKey;

LuaScript &Self(lua_State *L)
{
    return **static_cast<LuaScript **>(lua_getextraspace(L));
}

void *Allocate(void *ud, void *ptr, std::size_t osize, std::size_t nsize)
{
    auto *self = static_cast<LuaScript *>(ud);
    std::size_t &used = self->memory();
    const std::size_t old = ptr ? osize : 0; // without a block, osize says what kind of object comes
    if (nsize == 0) {
        std::free(ptr);
        used -= old;
        return nullptr;
    }
    if (nsize > old && used + (nsize - old) > self->memoryLimit())
        return nullptr;
    void *block = std::realloc(ptr, nsize);
    if (!block)
        return nullptr;
    used = used - old + nsize;
    return block;
}

void Hook(lua_State *L, lua_Debug *)
{
    LuaScript &self = Self(L);
    if (!self.ending())
        return;
    // At every instruction from now on: a pcall in the script that caught the end gets no further.
    lua_sethook(L, Hook, LUA_MASKCOUNT, 1);
    self.end(L);
}

// "name:12: ..." : the message says where it came from already.
bool HasPosition(const std::string &message)
{
    const std::size_t colon = message.find(':');
    if (colon == std::string::npos || colon == 0 || message.find('\n') < colon)
        return false;
    std::size_t i = colon + 1;
    const std::size_t digits = i;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9')
        ++i;
    return i > digits && i < message.size() && message[i] == ':';
}

// The first place in the script's own code on the stack, "name:12: ", or nothing.
std::string Where(lua_State *L)
{
    lua_Debug ar;
    for (int level = 1; lua_getstack(L, level, &ar); ++level) {
        if (lua_getinfo(L, "Sl", &ar) && ar.currentline > 0)
            return std::string(ar.short_src) + ":" + std::to_string(ar.currentline) + ": ";
    }
    return {};
}

// The message handler of the run: an error's text gets the place it came from (assert and error
// with level 0 give none) and the traceback is kept.
int MessageHandler(lua_State *L)
{
    if (lua_touserdata(L, 1) == &g_endToken)
        return 1;
    std::string message;
    if (const char *text = lua_tostring(L, 1))
        message = text;
    else if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
        message = lua_tostring(L, -1);
    else
        message = std::string("(error object is a ") + luaL_typename(L, 1) + " value)";
    if (!HasPosition(message))
        message = Where(L) + message;
    luaL_traceback(L, L, nullptr, 1);
    Self(L).setTraceback(lua_tostring(L, -1));
    lua_pushlstring(L, message.data(), message.size());
    return 1;
}

// What the libraries lose, and what loads code loads text only: a binary chunk can crash the
// interpreter, and a script has no need of one. The library's own functions stay as upvalues.
constexpr const char *kSandbox = R"lua(
local load, loadfile, error, format, searchpath = load, loadfile, error, string.format, package.searchpath
local package = package
os.execute, os.exit, io.popen, package.loadlib, debug.sethook = nil, nil, nil, nil, nil
package.cpath = ""
-- A read of the standard input would wait where no stop reaches it: the default input is empty.
io.stdin = nil
pcall(io.input, "/dev/null")
_ENV.load = function(chunk, name, mode, ...) return load(chunk, name, "t", ...) end
_ENV.loadfile = function(file, mode, ...) return loadfile(file, "t", ...) end
_ENV.dofile = function(file)
    local f, e = loadfile(file, "t")
    if not f then error(e, 2) end
    return f()
end
package.searchers = { package.searchers[1], function(name)
    local file, err = searchpath(name, package.path)
    if not file then return "\n\t" .. err end
    local f, e = loadfile(file, "t")
    if not f then
        error(format("error loading module '%s' from file '%s':\n\t%s", name, file, e), 0)
    end
    return f, file
end }
)lua";

// Protected: the libraries and the API may run out of memory.
int Setup(lua_State *L)
{
    luaL_openlibs(L);
    if (luaL_loadbufferx(L, kSandbox, std::strlen(kSandbox), "=sandbox", "t") != LUA_OK)
        return lua_error(L);
    lua_call(L, 0, 0);
    const char *folder = lua_tostring(L, 1);
    if (folder && *folder) {
        lua_getglobal(L, "package");
        lua_getfield(L, -1, "path");
        lua_pushfstring(L, "%s/?.lua;%s/?/init.lua;%s", folder, folder, lua_tostring(L, -1));
        lua_setfield(L, -3, "path");
        lua_pop(L, 2);
    }
    lua_getglobal(L, "string");
    lua_getfield(L, -1, "find");
    lua_rawsetp(L, LUA_REGISTRYINDEX, &g_findKey);
    lua_pop(L, 1);
    OpenPortApi(L);
    return 0;
}

} // namespace

void PushStringFind(lua_State *L)
{
    lua_rawgetp(L, LUA_REGISTRYINDEX, &g_findKey);
}

void RaiseScriptEnd(lua_State *L)
{
    lua_pushlightuserdata(L, &g_endToken);
    lua_error(L);
    std::abort(); // lua_error does not return
}

LuaScript::LuaScript(ScriptHost &host, ScriptChannel &channel, std::size_t memoryLimit)
    : m_host(host), m_channel(channel), m_memoryLimit(memoryLimit)
{
    m_L = lua_newstate(Allocate, this);
    if (m_L)
        *static_cast<LuaScript **>(lua_getextraspace(m_L)) = this;
}

LuaScript::~LuaScript()
{
    if (m_L)
        lua_close(m_L);
}

bool LuaScript::ending() const
{
    return m_failed || m_channel.stopped();
}

void LuaScript::end(lua_State *L)
{
    RaiseScriptEnd(L);
}

void LuaScript::fail(lua_State *L, std::string message)
{
    m_failed = true;
    m_failMessage = std::move(message);
    RaiseScriptEnd(L);
}

void LuaScript::tellDropped()
{
    const std::size_t dropped = m_channel.takeDropped();
    if (dropped > 0)
        m_host.log("受信したバイトのうち古い " + std::to_string(dropped) +
                   " バイトを捨てました（読まれないまま " + std::to_string(ScriptChannel::kMaxBytes) +
                   " バイトを超えました）");
}

LuaScript::Result LuaScript::runFile(const std::string &path,
                                     std::optional<std::chrono::steady_clock::time_point> started)
{
    std::ifstream in(path, std::ios::binary);
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    if (!in)
        return {Result::Kind::Error, name + ": " + std::strerror(errno), {}};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return {Result::Kind::Error, name + ": " + std::strerror(errno), {}};
    // As the interpreter reads a file: a byte-order mark and a first line "#!..." are no code (the
    // line break stays, so that the lines keep their numbers).
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    if (!text.empty() && text[0] == '#')
        text.erase(0, std::min(text.find('\n'), text.size()));
    return run(text, name, folder, started);
}

LuaScript::Result LuaScript::runText(const std::string &text, const std::string &name)
{
    return run(text, name, {}, std::nullopt);
}

LuaScript::Result LuaScript::run(const std::string &text, const std::string &name, const std::string &folder,
                                 std::optional<std::chrono::steady_clock::time_point> started)
{
    if (!m_L)
        return {Result::Kind::Error, name + ": not enough memory", {}};
    lua_State *L = m_L;
    m_started = started.value_or(std::chrono::steady_clock::now());
    lua_pushcfunction(L, Setup);
    lua_pushlstring(L, folder.data(), folder.size());
    if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
        Result r{
            Result::Kind::Error, name + ": " + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "setup"), {}};
        lua_settop(L, 0);
        return r;
    }
    lua_sethook(L, Hook, LUA_MASKCOUNT, kHookInstructions);

    lua_pushcfunction(L, MessageHandler);
    const int handler = lua_gettop(L);
    const std::string chunkName = "@" + name;
    int status = luaL_loadbufferx(L, text.data(), text.size(), chunkName.c_str(), "t");
    if (status == LUA_OK)
        status = lua_pcall(L, 0, 0, handler);
    Result result;
    if (m_failed) {
        result = {Result::Kind::Failed, m_failMessage, {}};
    } else if (status != LUA_OK && m_channel.stopped()) {
        result.kind = Result::Kind::Stopped;
    } else if (status != LUA_OK) {
        result.kind = Result::Kind::Error;
        const char *message = lua_tostring(L, -1);
        result.message = message ? message : "(error)";
        result.traceback = m_traceback;
    }
    lua_settop(L, 0);
    return result;
}
