#include "Scripts/LuaState.h"

#include <cstdlib>

#include "Scripts/LuaStrings.h"

namespace {

// Opens a library as a global, as the stand-alone interpreter does.
void Open(lua_State* lua, const char* name, lua_CFunction opener) {
    luaL_requiref(lua, name, opener, 1);
    lua_pop(lua, 1);
}

// Sets the given fields of the table on top of the stack to nil.
void Remove(lua_State* lua, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        lua_pushnil(lua);
        lua_setfield(lua, -2, name);
    }
}

} // namespace

LuaState::LuaState(const Budget& budget) : budget(budget), limits(budget.instructions, budget.slice) {
    state = lua_newstate(&LuaState::Allocate, this);
    if (state == nullptr) {
        return;
    }
    OpenSandbox();
    limits.Attach(state);
}

LuaState::~LuaState() {
    if (state != nullptr) {
        lua_close(state);
    }
}

void LuaState::OpenSandbox() {
    Open(state, "_G", luaopen_base);
    Open(state, "string", luaopen_string);
    Open(state, "table", luaopen_table);
    Open(state, "math", luaopen_math);
    Open(state, "os", luaopen_os);
    lua_pushglobaltable(state);
    Remove(state, {"dofile", "loadfile", "print", "collectgarbage", "require"});
    lua_pushcfunction(state, &LuaState::LoadText);
    lua_setfield(state, -2, "load");
    lua_pushlightuserdata(state, this);
    lua_pushcclosure(state, &LuaState::Require, 1);
    lua_setfield(state, -2, "require");
    lua_pushcfunction(state, &LuaState::XPCall);
    lua_setfield(state, -2, "xpcall");
    lua_pop(state, 1);
    lua_getglobal(state, "string");
    Remove(state, {"dump"});
    lua_pop(state, 1);
    LuaStrings::Install(state);
    lua_getglobal(state, "os");
    Remove(state, {"execute", "exit", "getenv", "remove", "rename", "setlocale", "tmpname"});
    lua_pop(state, 1);
}

void LuaState::AddModule(const std::string& name, lua_CFunction opener) {
    modules[name] = opener;
}

void LuaState::StartSlice() {
    limits.StartSlice();
}

void* LuaState::Allocate(void* self, void* block, std::size_t oldSize, std::size_t newSize) {
    LuaState* owner = static_cast<LuaState*>(self);
    // Without a block, oldSize tells the kind of object, not a size.
    const std::size_t held = block != nullptr ? oldSize : 0;
    if (newSize == 0) {
        std::free(block);
        owner->used -= held;
        return nullptr;
    }
    if (newSize > held && owner->used - held + newSize > owner->budget.memoryBytes) {
        owner->limits.Exhaust("the script used more than " + std::to_string(owner->budget.memoryBytes >> 20)
                              + " MiB of memory");
        return nullptr;
    }
    void* grown = std::realloc(block, newSize);
    if (grown != nullptr) {
        owner->used = owner->used - held + newSize;
    }
    return grown;
}

int LuaState::Require(lua_State* lua) {
    LuaState* owner = static_cast<LuaState*>(lua_touserdata(lua, lua_upvalueindex(1)));
    const std::string name = luaL_checkstring(lua, 1);
    const auto module = owner->modules.find(name);
    if (module == owner->modules.end()) {
        return luaL_error(lua, "module '%s' not found", name.c_str());
    }
    luaL_requiref(lua, name.c_str(), module->second, 0);
    return 1;
}

// xpcall whose message handler runs once the error has unwound, not at
// the point of the error. An error the budget hook raises is raised from
// inside the hook, where hooks are off: a handler called there that loops
// would never be stopped. Without the debug library a handler cannot tell
// where it runs. f may wait (yield), as with the library's xpcall.
int LuaState::XPCall(lua_State* lua) {
    const int count = lua_gettop(lua);
    luaL_argcheck(lua, count >= 2, 2, "value expected");
    // The handler to slot 1, f to slot 2, so that f's results follow it.
    lua_pushvalue(lua, 1);
    lua_copy(lua, 2, 1);
    lua_replace(lua, 2);
    const int status = lua_pcallk(lua, count - 2, LUA_MULTRET, 0, 0, &LuaState::XPCallContinue);
    return XPCallFinish(lua, status);
}

int LuaState::XPCallContinue(lua_State* lua) {
    return XPCallFinish(lua, lua_getctx(lua, nullptr));
}

// f's results after true, or false and what the handler made of f's error
// (or the handler's own error).
int LuaState::XPCallFinish(lua_State* lua, int status) {
    if (status == LUA_OK || status == LUA_YIELD) {
        lua_pushboolean(lua, 1);
        lua_replace(lua, 1);
        return lua_gettop(lua);
    }
    lua_pushvalue(lua, 1);
    lua_insert(lua, -2);
    lua_pcall(lua, 1, 1, 0);
    lua_pushboolean(lua, 0);
    lua_insert(lua, -2);
    return 2;
}

// load with source text only: a binary chunk could break the state.
int LuaState::LoadText(lua_State* lua) {
    std::size_t size = 0;
    const char* text = luaL_checklstring(lua, 1, &size);
    const char* name = luaL_optstring(lua, 2, text);
    const bool hasEnvironment = !lua_isnone(lua, 4);
    const int status = luaL_loadbufferx(lua, text, size, name, "t");
    if (status != LUA_OK) {
        lua_pushnil(lua);
        lua_insert(lua, -2);
        return 2;
    }
    if (hasEnvironment) {
        lua_pushvalue(lua, 4);
        lua_setupvalue(lua, -2, 1);
    }
    return 1;
}
