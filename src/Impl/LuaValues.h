#ifndef ORVO_IMPL_LUAVALUES_H
#define ORVO_IMPL_LUAVALUES_H

#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <lua.hpp>

// Values between Lua and JSON or JavaScript. JSON null is nil; an array is
// a table with keys 1 to n; an object a table with string keys. Back to
// JSON, a table whose keys are exactly 1 to n (n > 0) is an array, any
// other table an object (number keys written as text); functions,
// coroutines and userdata have no JSON form, nor has a table nested more
// than MaxDepth deep (which a table that holds itself is).
class LuaValues {
public:
    static constexpr int MaxDepth = 100;

    static void Push(lua_State* lua, const QJsonValue& value);
    // A JavaScript value as the engine hands it over (undefined and null
    // as nil, arrays as lists, objects as maps, dates as text).
    static void PushVariant(lua_State* lua, const QVariant& value);

    // Reads the value at index; false, with why, for one that has no JSON
    // form.
    static bool ToJson(lua_State* lua, int index, QJsonValue& out, QString& error);

    // The library opened by require("json"): encode(value) and
    // decode(text).
    static int OpenJson(lua_State* lua);
    // The library opened by require("base64"): encode(bytes) and
    // decode(text).
    static int OpenBase64(lua_State* lua);

private:
    static bool ToJson(lua_State* lua, int index, int depth, QJsonValue& out, QString& error);
};

#endif
