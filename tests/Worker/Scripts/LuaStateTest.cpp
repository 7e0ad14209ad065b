// The scripts' Lua state on its own: what the sandbox leaves out and how
// each budget stops a script, also one that catches the error.

#include <string>

#include <gtest/gtest.h>

#include "Scripts/LuaState.h"
#include "Scripts/LuaValues.h"

namespace {

// Runs source in the state; returns "" when it ran, else its error.
std::string RunIn(LuaState& state, const std::string& source) {
    lua_State* lua = state.get();
    state.StartSlice();
    if (luaL_loadstring(lua, source.c_str()) != LUA_OK || lua_pcall(lua, 0, 1, 0) != LUA_OK) {
        const char* error = lua_tostring(lua, -1);
        const std::string text = error != nullptr ? error : "(not a string)";
        lua_pop(lua, 1);
        return text;
    }
    return "";
}

// The string the last Run left on the stack.
std::string Result(LuaState& state) {
    const char* text = lua_tostring(state.get(), -1);
    const std::string result = text != nullptr ? text : "(not a string)";
    lua_pop(state.get(), 1);
    return result;
}

TEST(LuaState, TheSandboxHasOnlyTheSafeParts) {
    LuaState state{LuaState::Budget()};
    ASSERT_EQ("", RunIn(state, "local names = {}\n"
                             "for _, name in ipairs({'io', 'debug', 'package', 'coroutine', 'dofile', 'loadfile',\n"
                             "                       'print', 'collectgarbage'}) do\n"
                             "  names[#names + 1] = name .. '=' .. type(_G[name])\n"
                             "end\n"
                             "for _, name in ipairs({'execute', 'exit', 'getenv', 'remove', 'rename', 'tmpname',\n"
                             "                       'time', 'clock', 'date'}) do\n"
                             "  names[#names + 1] = name .. '=' .. type(os[name])\n"
                             "end\n"
                             "names[#names + 1] = 'dump=' .. type(string.dump)\n"
                             "return table.concat(names, ' ')"));
    EXPECT_EQ("io=nil debug=nil package=nil coroutine=nil dofile=nil loadfile=nil print=nil collectgarbage=nil "
              "execute=nil exit=nil getenv=nil remove=nil rename=nil tmpname=nil time=function clock=function "
              "date=function dump=nil",
              Result(state));

    ASSERT_EQ("", RunIn(state, "local f, error = load('\\27Lua') return tostring(f) .. ': ' .. error"));
    EXPECT_NE(std::string::npos, Result(state).find("attempt to load a binary chunk")) << "text only";
    ASSERT_EQ("", RunIn(state, "local f = load('return x', 'chunk', 't', {x = 'own'}) return f()"));
    EXPECT_EQ("own", Result(state)) << "an environment of the script's choice";

    state.AddModule("json", &LuaValues::OpenJson);
    ASSERT_EQ("", RunIn(state, "return require('json').encode({1, 2})"));
    EXPECT_EQ(R"({"1":1,"2":2})", Result(state));
    EXPECT_NE(std::string::npos, RunIn(state, "return require('io')").find("module 'io' not found"));
}

TEST(LuaState, TheInstructionBudgetStopsALoopThatCatchesItsError) {
    LuaState::Budget budget;
    budget.instructions = 2000000;
    LuaState state(budget);
    const std::string error = RunIn(state, "while true do pcall(function () while true do end end) end");
    EXPECT_NE(std::string::npos, error.find("the script ran more than 2000000 instructions")) << error;
    EXPECT_EQ("the script ran more than 2000000 instructions", state.Exhausted());
    EXPECT_NE("", RunIn(state, "return 1")) << "spent is spent";
}

TEST(LuaState, ASliceMayNotRunLongerThanItsTime) {
    LuaState::Budget budget;
    budget.slice = std::chrono::milliseconds(50);
    LuaState state(budget);
    const std::string error = RunIn(state, "while true do end");
    EXPECT_NE(std::string::npos, error.find("ms without waiting")) << error;
}

TEST(LuaState, MemoryPastTheBudgetIsRefused) {
    LuaState::Budget budget;
    budget.memoryBytes = 4u << 20;
    LuaState state(budget);
    EXPECT_EQ("not enough memory", RunIn(state, "local t = {} for i = 1, 1e8 do t[i] = i end"));
    EXPECT_EQ("the script used more than 4 MiB of memory", state.Exhausted());
    EXPECT_EQ("", RunIn(state, "return 'small things still work'")) << "the table was let go";
    EXPECT_EQ("small things still work", Result(state));
}

} // namespace
