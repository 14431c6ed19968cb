// SPDX-License-Identifier: MIT
// The global table `port`: every function looks at the end first, hands what touches the port to
// the host and waits for received bytes on the channel. Times are milliseconds.
#include "ScriptApi.h"

#include "LuaScript.h"
#include "ReplyMatcher.h"
#include "ScriptChannel.h"
#include "ScriptHost.h"

#include <lua.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace
{

using Clock = ScriptChannel::Clock;
constexpr const char *kHexType = "port.hex";

// A hex pattern: a byte value or -1 (any byte) each.
struct HexPattern {
    std::size_t size = 0;
    std::array<std::int16_t, core::kMaxPatternBytes> bytes{};
};

LuaScript &Self(lua_State *L)
{
    LuaScript &self = **static_cast<LuaScript **>(lua_getextraspace(L));
    if (self.ending())
        RaiseScriptEnd(L);
    return self;
}

template <typename T> T Answered(lua_State *L, std::optional<T> answer)
{
    if (!answer)
        RaiseScriptEnd(L);
    return std::move(*answer);
}

void Check(lua_State *L, const char *function, const std::string &error)
{
    if (!error.empty())
        luaL_error(L, "%s: %s", function, error.c_str());
}

// The time-out argument at `arg`: the default when it is absent, none for math.huge.
std::optional<Clock::time_point> Deadline(lua_State *L, int arg)
{
    const lua_Number ms = luaL_optnumber(L, arg, LuaScript::kDefaultTimeoutMs);
    luaL_argcheck(L, ms >= 0, arg, "時間は 0 以上の ms です");
    if (std::isinf(ms))
        return std::nullopt;
    return Clock::now() + std::chrono::microseconds(static_cast<std::int64_t>(std::llround(ms * 1000)));
}

int Timeout(lua_State *L)
{
    lua_pushnil(L);
    lua_pushliteral(L, "timeout");
    return 2;
}

// --- Sending -------------------------------------------------------------------------------------

int Send(lua_State *L, bool raw)
{
    LuaScript &self = Self(L);
    std::size_t n = 0;
    const char *text = luaL_checklstring(L, 1, &n);
    Check(L, raw ? "port.write" : "port.send", Answered(L, self.host().send(std::string(text, n), raw)));
    lua_pushboolean(L, 1);
    return 1;
}

int PortSend(lua_State *L)
{
    return Send(L, false);
}

int PortWrite(lua_State *L)
{
    return Send(L, true);
}

// --- Receiving -----------------------------------------------------------------------------------

int Received(lua_State *L, LuaScript &self, ScriptChannel::Found found, int results)
{
    if (found == ScriptChannel::Found::Stopped)
        RaiseScriptEnd(L);
    self.tellDropped();
    return found == ScriptChannel::Found::Yes ? results : Timeout(L);
}

bool FindHex(lua_State *L, const HexPattern &p, std::string &buffer, std::size_t from, int *results)
{
    if (buffer.size() < p.size)
        return false;
    const auto *b = reinterpret_cast<const std::uint8_t *>(buffer.data());
    for (std::size_t at = from >= p.size ? from - p.size + 1 : 0; at + p.size <= buffer.size(); ++at) {
        std::size_t i = 0;
        while (i < p.size && (p.bytes[i] < 0 || p.bytes[i] == b[at + i]))
            ++i;
        if (i < p.size)
            continue;
        lua_pushlstring(L, buffer.data() + at, p.size);
        *results = 1;
        for (i = 0; i < p.size; ++i) {
            if (p.bytes[i] < 0) {
                lua_pushinteger(L, b[at + i]);
                ++*results;
            }
        }
        buffer.erase(0, at + p.size);
        return true;
    }
    return false;
}

// string.find over the bytes: the match and its captures, the bytes up to its end taken.
bool FindPattern(lua_State *L, std::string &buffer, int *results)
{
    const int base = lua_gettop(L);
    PushStringFind(L);
    lua_pushlstring(L, buffer.data(), buffer.size());
    lua_pushvalue(L, 1);
    lua_call(L, 2, LUA_MULTRET);
    const int n = lua_gettop(L) - base;
    if (n < 2 || lua_isnil(L, base + 1)) {
        lua_settop(L, base);
        return false;
    }
    const auto first = static_cast<std::size_t>(lua_tointeger(L, base + 1));
    const auto last = static_cast<std::size_t>(lua_tointeger(L, base + 2));
    lua_pushlstring(L, buffer.data() + first - 1, last + 1 - first);
    lua_replace(L, base + 1);
    lua_remove(L, base + 2);
    buffer.erase(0, last);
    *results = n - 1;
    return true;
}

int PortExpect(lua_State *L)
{
    LuaScript &self = Self(L);
    const auto *hex = static_cast<const HexPattern *>(luaL_testudata(L, 1, kHexType));
    if (!hex)
        luaL_argexpected(L, lua_type(L, 1) == LUA_TSTRING, 1, "string or port.hex");
    const std::optional<Clock::time_point> deadline = Deadline(L, 2);
    lua_settop(L, 1);
    int results = 0;
    const ScriptChannel::Found found = self.channel().waitFor(
        [&](std::string &buffer, std::size_t from) {
            return hex ? FindHex(L, *hex, buffer, from, &results) : FindPattern(L, buffer, &results);
        },
        deadline);
    return Received(L, self, found, results);
}

int PortRead(lua_State *L)
{
    LuaScript &self = Self(L);
    const lua_Integer n = luaL_checkinteger(L, 1);
    luaL_argcheck(L, n >= 0 && static_cast<std::size_t>(n) <= ScriptChannel::kMaxBytes, 1,
                  "0 から 1048576 バイトまでです");
    const std::optional<Clock::time_point> deadline = Deadline(L, 2);
    const auto want = static_cast<std::size_t>(n);
    const ScriptChannel::Found found = self.channel().waitFor(
        [&](std::string &buffer, std::size_t) {
            if (buffer.size() < want)
                return false;
            lua_pushlstring(L, buffer.data(), want);
            buffer.erase(0, want);
            return true;
        },
        deadline);
    return Received(L, self, found, 1);
}

int PortReadline(lua_State *L)
{
    LuaScript &self = Self(L);
    const std::optional<Clock::time_point> deadline = Deadline(L, 1);
    const ScriptChannel::Found found = self.channel().waitFor(
        [&](std::string &buffer, std::size_t from) {
            const std::size_t lf = buffer.find('\n', from);
            if (lf == std::string::npos)
                return false;
            const std::size_t end = lf > 0 && buffer[lf - 1] == '\r' ? lf - 1 : lf;
            lua_pushlstring(L, buffer.data(), end);
            buffer.erase(0, lf + 1);
            return true;
        },
        deadline);
    return Received(L, self, found, 1);
}

int PortHex(lua_State *L)
{
    std::size_t n = 0;
    const char *text = luaL_checklstring(L, 1, &n);
    std::string error;
    const std::optional<core::BytePattern> pattern = core::ParseHexPattern(std::string_view(text, n), &error);
    if (!pattern)
        return luaL_error(L, "port.hex: %s", error.c_str());
    auto *p = static_cast<HexPattern *>(lua_newuserdatauv(L, sizeof(HexPattern), 0));
    new (p) HexPattern;
    p->size = pattern->size();
    std::copy(pattern->begin(), pattern->end(), p->bytes.begin());
    luaL_setmetatable(L, kHexType);
    return 1;
}

int HexToString(lua_State *L)
{
    const auto *p = static_cast<const HexPattern *>(luaL_checkudata(L, 1, kHexType));
    std::string text = "port.hex\"";
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < p->size; ++i) {
        if (i > 0)
            text += ' ';
        if (p->bytes[i] < 0) {
            text += "??";
        } else {
            text += digits[p->bytes[i] >> 4];
            text += digits[p->bytes[i] & 15];
        }
    }
    text += '"';
    lua_pushlstring(L, text.data(), text.size());
    return 1;
}

// --- Lines, settings, time -----------------------------------------------------------------------

std::optional<bool> BoolField(lua_State *L, const char *function, const char *key)
{
    lua_getfield(L, 1, key);
    std::optional<bool> value;
    if (lua_isboolean(L, -1))
        value = lua_toboolean(L, -1) != 0;
    else if (!lua_isnil(L, -1))
        luaL_error(L, "%s: %s には true か false を指定します", function, key);
    lua_pop(L, 1);
    return value;
}

// Every key of the table at 1 is one of `known`.
void CheckKeys(lua_State *L, const char *function, std::initializer_list<const char *> known)
{
    lua_pushnil(L);
    while (lua_next(L, 1) != 0) {
        lua_pop(L, 1);
        const char *key = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
        if (!key || std::none_of(known.begin(), known.end(),
                                 [key](const char *k) { return std::strcmp(k, key) == 0; }))
            luaL_error(L, "%s: 知らない項目 %s があります", function, luaL_tolstring(L, -1, nullptr));
    }
}

int PortSet(lua_State *L)
{
    LuaScript &self = Self(L);
    luaL_checktype(L, 1, LUA_TTABLE);
    CheckKeys(L, "port.set", {"dtr", "rts", "brk"});
    const std::optional<bool> dtr = BoolField(L, "port.set", "dtr");
    const std::optional<bool> rts = BoolField(L, "port.set", "rts");
    const std::optional<bool> brk = BoolField(L, "port.set", "brk");
    Check(L, "port.set", Answered(L, self.host().setLines(dtr, rts, brk)));
    return 0;
}

int PortLines(lua_State *L)
{
    LuaScript &self = Self(L);
    const ScriptHost::Lines lines = Answered(L, self.host().lines());
    Check(L, "port.lines", lines.error);
    lua_pushboolean(L, lines.cts);
    lua_pushboolean(L, lines.dsr);
    return 2;
}

std::string Lower(std::string text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The changes of the table at 1 on `s`.
void ChangeSettings(lua_State *L, core::CommSettings &s)
{
    const char *f = "port.settings";
    CheckKeys(L, f, {"baud", "bits", "parity", "stop", "flow"});
    if (lua_getfield(L, 1, "baud") != LUA_TNIL) {
        lua_Integer baud = 0;
        if (!lua_isinteger(L, -1) || (baud = lua_tointeger(L, -1)) <= 0 || baud > INT32_MAX)
            luaL_error(L, "%s: baud は 1 以上の整数です", f);
        s.Speed = static_cast<std::int32_t>(baud);
    }
    if (lua_getfield(L, 1, "bits") != LUA_TNIL) {
        const lua_Integer bits = lua_isinteger(L, -1) ? lua_tointeger(L, -1) : 0;
        if (bits != 7 && bits != 8)
            luaL_error(L, "%s: bits は 7 か 8 です", f);
        s.WordSize = static_cast<std::int32_t>(bits);
    }
    if (lua_getfield(L, 1, "parity") != LUA_TNIL) {
        const std::string p = Lower(lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "");
        if (p != "none" && p != "even" && p != "odd")
            luaL_error(L, "%s: parity は \"none\"、\"even\"、\"odd\" のどれかです", f);
        s.Parity = p == "none" ? "NONE" : p == "even" ? "EVEN" : "ODD";
    }
    if (lua_getfield(L, 1, "stop") != LUA_TNIL) {
        const lua_Number stop = lua_type(L, -1) == LUA_TNUMBER ? lua_tonumber(L, -1) : 0;
        if (stop != 1 && stop != 1.5 && stop != 2)
            luaL_error(L, "%s: stop は 1、1.5、2 のどれかです", f);
        s.StopBits = stop == 1 ? "1" : stop == 2 ? "2" : "1.5";
    }
    if (lua_getfield(L, 1, "flow") != LUA_TNIL) {
        const std::string flow = Lower(lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "");
        if (flow != "none" && flow != "rtscts" && flow != "rts/cts")
            luaL_error(L, "%s: flow は \"none\" か \"rtscts\" です", f);
        s.Flow = flow == "none" ? "NONE" : "RTS/CTS";
    }
    lua_settop(L, 1);
}

int PortSettings(lua_State *L)
{
    LuaScript &self = Self(L);
    ScriptHost::Settings now = Answered(L, self.host().settings(std::nullopt));
    Check(L, "port.settings", now.error);
    if (!lua_isnoneornil(L, 1)) {
        luaL_checktype(L, 1, LUA_TTABLE);
        ChangeSettings(L, now.comm);
        now = Answered(L, self.host().settings(now.comm));
        Check(L, "port.settings", now.error);
    }
    const core::CommSettings &s = now.comm;
    lua_createtable(L, 0, 6);
    lua_pushinteger(L, s.Speed);
    lua_setfield(L, -2, "baud");
    lua_pushinteger(L, s.WordSize);
    lua_setfield(L, -2, "bits");
    lua_pushstring(L, Lower(s.Parity).c_str());
    lua_setfield(L, -2, "parity");
    if (s.StopBits == "1.5")
        lua_pushnumber(L, 1.5);
    else
        lua_pushinteger(L, s.StopBits == "2" ? 2 : 1);
    lua_setfield(L, -2, "stop");
    lua_pushstring(L, s.Flow == "RTS/CTS" ? "rtscts" : "none");
    lua_setfield(L, -2, "flow");
    lua_pushfstring(L, "COM%d", static_cast<int>(s.ComNo));
    lua_setfield(L, -2, "port");
    return 1;
}

int PortSleep(lua_State *L)
{
    LuaScript &self = Self(L);
    const lua_Number ms = luaL_checknumber(L, 1);
    luaL_argcheck(L, ms >= 0 && !std::isinf(ms), 1, "時間は 0 以上の ms です");
    const Clock::time_point until =
        Clock::now() + std::chrono::microseconds(static_cast<std::int64_t>(std::llround(ms * 1000)));
    self.channel().waitUntil([] { return false; }, until);
    if (self.ending())
        RaiseScriptEnd(L);
    return 0;
}

// With its fraction: a bench times a device's answer to well under a millisecond.
int PortNow(lua_State *L)
{
    const LuaScript &self = Self(L);
    lua_pushnumber(L, std::chrono::duration<double, std::milli>(Clock::now() - self.started()).count());
    return 1;
}

// The arguments as print joins them.
std::string Joined(lua_State *L)
{
    std::string text;
    const int n = lua_gettop(L);
    for (int i = 1; i <= n; ++i) {
        std::size_t len = 0;
        const char *s = luaL_tolstring(L, i, &len);
        if (i > 1)
            text += '\t';
        text.append(s, len);
        lua_pop(L, 1);
    }
    return text;
}

int PortLog(lua_State *L)
{
    LuaScript &self = Self(L);
    if (!self.host().log(Joined(L)))
        RaiseScriptEnd(L);
    return 0;
}

int PortFail(lua_State *L)
{
    LuaScript &self = Self(L);
    std::string message = Joined(L);
    if (message.empty())
        message = "port.fail";
    luaL_where(L, 1);
    self.fail(L, lua_tostring(L, -1) + message);
    return 0;
}

} // namespace

void OpenPortApi(lua_State *L)
{
    static const luaL_Reg functions[] = {
        {"send", PortSend},         {"write", PortWrite},       {"expect", PortExpect}, {"read", PortRead},
        {"readline", PortReadline}, {"hex", PortHex},           {"sleep", PortSleep},   {"set", PortSet},
        {"lines", PortLines},       {"settings", PortSettings}, {"log", PortLog},       {"fail", PortFail},
        {"now", PortNow},           {nullptr, nullptr},
    };
    luaL_newlib(L, functions);
    lua_setglobal(L, "port");
    luaL_newmetatable(L, kHexType);
    lua_pushcfunction(L, HexToString);
    lua_setfield(L, -2, "__tostring");
    lua_pop(L, 1);
}
