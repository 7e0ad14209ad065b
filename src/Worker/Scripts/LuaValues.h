#ifndef ORVO_WORKER_SCRIPTS_LUAVALUES_H
#define ORVO_WORKER_SCRIPTS_LUAVALUES_H

#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <lua.hpp>

// Values between Lua and JSON or JavaScript. JSON null is nil; an array is
// a table with keys 1 to n, marked as a list; an object a table with
// string keys. Back to JSON, a table marked as a list (by treat.as_array,
// or as a JSON array pushed here) whose keys are 1 to n, or none, is an
// array; any other table an object, number keys written as text, so that
// {"a", "b"} is {"1": "a", "2": "b"} unless marked. Where a list is read
// by its shape (a form's values) an unmarked table with keys 1 to n is an
// array too. A binary object is its bytes in base64; functions, coroutines
// and userdata have no JSON form, nor has a table nested more than
// MaxDepth deep (which a table that holds itself is), nor one whose
// metatable is named as an object of the page (an element: its fields are
// handles, not what a caller would want sent).
//
// A binary object holds bytes and their content type (an image, say): a
// table with the binary metatable, fields "bytes" and "content_type",
// whose length is its bytes'.
class LuaValues {
public:
    static constexpr int MaxDepth = 100;

    // Whether an unmarked table with keys 1 to n becomes a JSON array.
    enum class Lists { Marked, ByShape };

    static void Push(lua_State* lua, const QJsonValue& value);
    // A value of the page's JavaScript as the engine hands plain data over
    // (null as a null variant, arrays as lists, objects as maps); null
    // becomes an empty text, undefined nil.
    static void PushFromPage(lua_State* lua, const QVariant& value);

    // Names the metatable on top of the stack as that of an object of the
    // page, what ("an element object"), which has no JSON form.
    static void NameObject(lua_State* lua, const char* what);

    // Marks the table at index as a list, as treat.as_array does.
    static void MarkAsList(lua_State* lua, int index);
    // Replaces every value on the stack by one list of them, nil items
    // kept in their places.
    static void PackAsList(lua_State* lua);

    // Reads the value at index; false, with why, for one that has no JSON
    // form.
    static bool ToJson(lua_State* lua, int index, QJsonValue& out, QString& error, Lists lists = Lists::Marked);

    // The string at index as UTF-8 text (a number as its text); empty for
    // anything else.
    static QString ToText(lua_State* lua, int index);

    static void PushBinary(lua_State* lua, const QByteArray& bytes, const QString& type);
    // Whether the value at index is a binary object; its bytes and type.
    static bool IsBinary(lua_State* lua, int index, QByteArray& bytes, QString& type);

    // The library opened by require("treat"): as_binary(bytes,
    // content_type), as_string(value) (a binary's bytes and type; a
    // string as it is) and as_array(table).
    static int OpenTreat(lua_State* lua);
    // The library opened by require("json"): encode(value) and
    // decode(text).
    static int OpenJson(lua_State* lua);
    // The library opened by require("base64"): encode(bytes) and
    // decode(text).
    static int OpenBase64(lua_State* lua);

private:
    static bool ToJson(lua_State* lua, int index, int depth, Lists lists, QJsonValue& out, QString& error);
};

#endif
