#ifndef ORVO_WORKER_SCRIPTS_LUASTRINGS_H
#define ORVO_WORKER_SCRIPTS_LUASTRINGS_H

#include <lua.hpp>

// string.find, match, gmatch and gsub as Lua 5.2 has them (arguments,
// results and error texts), matching through LuaPattern, whose steps count
// against the script's budgets. Install puts them into the string table,
// which strings' methods use too.
class LuaStrings {
public:
    static void Install(lua_State* lua);

private:
    static int Find(lua_State* lua);
    static int Match(lua_State* lua);
    static int FindOrMatch(lua_State* lua, bool find);
    static int GMatch(lua_State* lua);
    static int GMatchNext(lua_State* lua);
    static int GSub(lua_State* lua);
};

#endif
