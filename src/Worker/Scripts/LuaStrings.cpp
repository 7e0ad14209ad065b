#include "Scripts/LuaStrings.h"

#include <cstring>

#include "Scripts/LuaPattern.h"

namespace {

const char* const Specials = "^$*+?.([%-";

// A position given from the end when negative, as the library counts.
std::size_t Relative(lua_Integer position, std::size_t size) {
    if (position >= 0) {
        return static_cast<std::size_t>(position);
    }
    if (0u - static_cast<std::size_t>(position) > size) {
        return 0;
    }
    return size - (0u - static_cast<std::size_t>(position)) + 1;
}

bool HasSpecials(const char* pattern, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (pattern[i] != '\0' && std::strchr(Specials, pattern[i]) != nullptr) {
            return true;
        }
    }
    return false;
}

// The replacement text of gsub: %0 the whole match, %1-%9 its captures,
// %% a percent sign.
void AddReplacement(lua_State* lua, luaL_Buffer* buffer, LuaPattern& pattern, const char* start, const char* end) {
    std::size_t size = 0;
    const char* text = lua_tolstring(lua, 3, &size);
    for (std::size_t i = 0; i < size; ++i) {
        if (text[i] != '%') {
            luaL_addchar(buffer, text[i]);
            continue;
        }
        const char next = text[++i];
        if (next >= '1' && next <= '9') {
            pattern.PushCapture(next - '1', start, end);
            luaL_addvalue(buffer);
        } else if (next == '0') {
            luaL_addlstring(buffer, start, static_cast<std::size_t>(end - start));
        } else if (next == '%') {
            luaL_addchar(buffer, next);
        } else {
            luaL_error(lua, "invalid use of '%%' in replacement string");
        }
    }
}

// What replaces one match: the replacement text, or what the table or
// function gives for it (the match itself for false or nil).
void AddValue(lua_State* lua, luaL_Buffer* buffer, LuaPattern& pattern, const char* start, const char* end) {
    const int kind = lua_type(lua, 3);
    if (kind == LUA_TFUNCTION) {
        lua_pushvalue(lua, 3);
        const int count = pattern.PushCaptures(start, end);
        lua_call(lua, count, 1);
    } else if (kind == LUA_TTABLE) {
        pattern.PushCapture(0, start, end);
        lua_gettable(lua, 3);
    } else {
        return AddReplacement(lua, buffer, pattern, start, end);
    }
    if (!lua_toboolean(lua, -1)) {
        lua_pop(lua, 1);
        lua_pushlstring(lua, start, static_cast<std::size_t>(end - start));
    } else if (!lua_isstring(lua, -1)) {
        luaL_error(lua, "invalid replacement value (a %s)", luaL_typename(lua, -1));
    }
    luaL_addvalue(buffer);
}

} // namespace

void LuaStrings::Install(lua_State* lua) {
    const luaL_Reg functions[] = {
        {"find", &LuaStrings::Find},
        {"match", &LuaStrings::Match},
        {"gmatch", &LuaStrings::GMatch},
        {"gsub", &LuaStrings::GSub},
        {nullptr, nullptr},
    };
    lua_getglobal(lua, "string");
    luaL_setfuncs(lua, functions, 0);
    lua_pop(lua, 1);
}

int LuaStrings::Find(lua_State* lua) {
    return FindOrMatch(lua, true);
}

int LuaStrings::Match(lua_State* lua) {
    return FindOrMatch(lua, false);
}

int LuaStrings::FindOrMatch(lua_State* lua, bool find) {
    std::size_t size = 0;
    std::size_t patternSize = 0;
    const char* subject = luaL_checklstring(lua, 1, &size);
    const char* text = luaL_checklstring(lua, 2, &patternSize);
    std::size_t init = Relative(luaL_optinteger(lua, 3, 1), size);
    if (init < 1) {
        init = 1;
    } else if (init > size + 1) {
        lua_pushnil(lua);
        return 1;
    }
    const char* from = subject + init - 1;
    if (find && (lua_toboolean(lua, 4) || !HasSpecials(text, patternSize))) {
        const void* found = ::memmem(from, size - (init - 1), text, patternSize);
        if (found == nullptr) {
            lua_pushnil(lua);
            return 1;
        }
        const lua_Integer at = static_cast<const char*>(found) - subject + 1;
        lua_pushinteger(lua, at);
        lua_pushinteger(lua, at + static_cast<lua_Integer>(patternSize) - 1);
        return 2;
    }
    LuaPattern pattern(lua, subject, size, text, patternSize);
    const char* p = pattern.PatternAfterAnchor();
    do {
        const char* end = pattern.Match(from, p);
        if (end != nullptr) {
            if (!find) {
                return pattern.PushCaptures(from, end);
            }
            lua_pushinteger(lua, from - subject + 1);
            lua_pushinteger(lua, end - subject);
            return pattern.PushCaptures(nullptr, nullptr) + 2;
        }
    } while (from++ < subject + size && !pattern.Anchored());
    lua_pushnil(lua);
    return 1;
}

// gmatch's iterator: the subject, the pattern and where to go on as its
// upvalues. '^' has no meaning here and matches itself.
int LuaStrings::GMatch(lua_State* lua) {
    luaL_checkstring(lua, 1);
    luaL_checkstring(lua, 2);
    lua_settop(lua, 2);
    lua_pushinteger(lua, 0);
    lua_pushcclosure(lua, &LuaStrings::GMatchNext, 3);
    return 1;
}

int LuaStrings::GMatchNext(lua_State* lua) {
    std::size_t size = 0;
    std::size_t patternSize = 0;
    const char* subject = lua_tolstring(lua, lua_upvalueindex(1), &size);
    const char* text = lua_tolstring(lua, lua_upvalueindex(2), &patternSize);
    LuaPattern pattern(lua, subject, size, text, patternSize);
    for (const char* from = subject + lua_tointeger(lua, lua_upvalueindex(3)); from <= subject + size; ++from) {
        const char* end = pattern.Match(from, text);
        if (end != nullptr) {
            // An empty match goes on one further, so that the loop ends.
            lua_pushinteger(lua, end - subject + (end == from ? 1 : 0));
            lua_replace(lua, lua_upvalueindex(3));
            return pattern.PushCaptures(from, end);
        }
    }
    return 0;
}

int LuaStrings::GSub(lua_State* lua) {
    std::size_t size = 0;
    std::size_t patternSize = 0;
    const char* subject = luaL_checklstring(lua, 1, &size);
    const char* text = luaL_checklstring(lua, 2, &patternSize);
    const int kind = lua_type(lua, 3);
    const std::size_t most = static_cast<std::size_t>(luaL_optinteger(lua, 4, static_cast<lua_Integer>(size) + 1));
    luaL_argcheck(lua, kind == LUA_TNUMBER || kind == LUA_TSTRING || kind == LUA_TFUNCTION || kind == LUA_TTABLE, 3,
                  "string/function/table expected");
    luaL_Buffer buffer;
    luaL_buffinit(lua, &buffer);
    LuaPattern pattern(lua, subject, size, text, patternSize);
    const char* p = pattern.PatternAfterAnchor();
    const char* from = subject;
    const char* const subjectEnd = subject + size;
    std::size_t replaced = 0;
    while (replaced < most) {
        const char* end = pattern.Match(from, p);
        if (end != nullptr) {
            ++replaced;
            AddValue(lua, &buffer, pattern, from, end);
        }
        if (end != nullptr && end > from) {
            from = end;
        } else if (from < subjectEnd) {
            luaL_addchar(&buffer, *from++);
        } else {
            break;
        }
        if (pattern.Anchored()) {
            break;
        }
    }
    luaL_addlstring(&buffer, from, static_cast<std::size_t>(subjectEnd - from));
    luaL_pushresult(&buffer);
    lua_pushinteger(lua, static_cast<lua_Integer>(replaced));
    return 2;
}
