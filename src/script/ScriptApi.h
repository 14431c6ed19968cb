// SPDX-License-Identifier: MIT
// The script's global table `port` (ScriptApi.cpp) and the pieces of LuaScript.cpp it uses.
#pragma once

struct lua_State;

// Makes the global table `port`. The state's extra space holds its LuaScript.
void OpenPortApi(lua_State *L);
// string.find as the libraries made it.
void PushStringFind(lua_State *L);
// Ends the script (a stop or port.fail): an error no pcall of the script holds back for long.
[[noreturn]] void RaiseScriptEnd(lua_State *L);
