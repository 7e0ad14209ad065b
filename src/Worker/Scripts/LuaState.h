#ifndef ORVO_WORKER_SCRIPTS_LUASTATE_H
#define ORVO_WORKER_SCRIPTS_LUASTATE_H

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include <lua.hpp>

#include "Scripts/LuaBudget.h"

// One script's Lua 5.2 state, sandboxed and on budgets, closed with the
// object.
//
// The sandbox: the base library without dofile, loadfile, print and
// collectgarbage, and with load taking source text only; string without
// dump; table, math; os with time, clock and date only; no io, debug,
// package or coroutine (a script's own coroutine could not wait for the
// page). require gives only the modules added with AddModule.
//
// The budgets: the state's memory (an allocation past it fails, which Lua
// raises as "not enough memory"), and the instructions and time of
// LuaBudget. The string library's pattern matching (find, match, gmatch,
// gsub) is LuaStrings', whose steps count as instructions.
class LuaState {
public:
    struct Budget {
        std::size_t memoryBytes = 128u << 20;
        long long instructions = 500000000;
        std::chrono::milliseconds slice{10000};
    };

    explicit LuaState(const Budget& budget);
    ~LuaState();

    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;

    lua_State* get() const { return state; }

    // Makes require(name) return what opener leaves on the stack (called
    // once, at the first require).
    void AddModule(const std::string& name, lua_CFunction opener);

    // Starts a slice: the script is about to run until it waits or ends.
    void StartSlice();

    // Which budget ran out first, when one did; else empty.
    const std::string& Exhausted() const { return limits.Exhausted(); }

private:
    static void* Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize);
    static int Require(lua_State* lua);
    static int LoadText(lua_State* lua);
    static int XPCall(lua_State* lua);
    static int XPCallContinue(lua_State* lua);
    static int XPCallFinish(lua_State* lua, int status);
    void OpenSandbox();

    lua_State* state = nullptr;
    const Budget budget;
    std::size_t used = 0;
    // The instruction and time budgets.
    LuaBudget limits;
    std::map<std::string, lua_CFunction> modules;
};

#endif
