#ifndef ORVO_WORKER_SCRIPTS_LUABUDGET_H
#define ORVO_WORKER_SCRIPTS_LUABUDGET_H

#include <chrono>
#include <string>

#include <lua.hpp>

// The instruction and time budgets of one script's Lua state: the
// instructions it may run in all, and how long it may run without giving
// the event loop a turn (one slice, from StartSlice). The state's count
// hook charges its instructions, and work done in C (a pattern match's
// steps) charges itself through Spend. Past either budget every further
// instruction raises the budget's error, so that a script that catches the
// error still cannot go on.
class LuaBudget {
public:
    // Instructions between two looks at the budgets.
    static constexpr int HookInterval = 10000;

    LuaBudget(long long instructions, std::chrono::milliseconds slice);

    LuaBudget(const LuaBudget&) = delete;
    LuaBudget& operator=(const LuaBudget&) = delete;

    // Charges lua's instructions to this budget from now on.
    void Attach(lua_State* lua);

    // Starts a slice: the script is about to run until it waits or ends.
    void StartSlice();

    // Counts instructions against the budget of lua's state, raising the
    // budget's error when one is spent.
    static void Spend(lua_State* lua, long long instructions);

    // Which budget ran out first, when one did (another's, such as
    // memory's, given to Exhaust, counts too); else empty.
    const std::string& Exhausted() const { return exhausted; }
    void Exhaust(const std::string& why);

private:
    static void Hook(lua_State* lua, lua_Debug* debug);

    const long long instructions;
    const std::chrono::milliseconds slice;
    long long counted = 0;
    std::chrono::steady_clock::time_point sliceStart;
    std::string exhausted;
    // The instruction or time budget is spent: every instruction fails.
    bool stopping = false;
};

#endif
