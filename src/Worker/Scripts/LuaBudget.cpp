#include "Scripts/LuaBudget.h"

namespace {

const char* const RegistryKey = "orvo.LuaBudget";

} // namespace

LuaBudget::LuaBudget(long long instructions, std::chrono::milliseconds slice)
    : instructions(instructions), slice(slice), sliceStart(std::chrono::steady_clock::now()) {}

void LuaBudget::Attach(lua_State* lua) {
    lua_pushlightuserdata(lua, this);
    lua_setfield(lua, LUA_REGISTRYINDEX, RegistryKey);
    lua_sethook(lua, &LuaBudget::Hook, LUA_MASKCOUNT, HookInterval);
}

void LuaBudget::StartSlice() {
    sliceStart = std::chrono::steady_clock::now();
}

void LuaBudget::Exhaust(const std::string& why) {
    if (exhausted.empty()) {
        exhausted = why;
    }
}

void LuaBudget::Hook(lua_State* lua, lua_Debug*) {
    Spend(lua, HookInterval);
}

void LuaBudget::Spend(lua_State* lua, long long spent) {
    lua_getfield(lua, LUA_REGISTRYINDEX, RegistryKey);
    LuaBudget* owner = static_cast<LuaBudget*>(lua_touserdata(lua, -1));
    lua_pop(lua, 1);
    owner->counted += spent;
    if (!owner->stopping && owner->counted > owner->instructions) {
        owner->stopping = true;
        owner->exhausted = "the script ran more than " + std::to_string(owner->instructions) + " instructions";
    }
    if (!owner->stopping && std::chrono::steady_clock::now() - owner->sliceStart > owner->slice) {
        owner->stopping = true;
        owner->exhausted =
            "the script ran for more than " + std::to_string(owner->slice.count()) + " ms without waiting";
    }
    if (owner->stopping) {
        // Every instruction from now on fails, also one that pcall guards.
        lua_sethook(lua, &LuaBudget::Hook, LUA_MASKCOUNT, 1);
        luaL_error(lua, "%s", owner->exhausted.c_str());
    }
}
