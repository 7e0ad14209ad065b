#ifndef ORVO_WORKER_SCRIPTS_LUACALL_H
#define ORVO_WORKER_SCRIPTS_LUACALL_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariantMap>
#include <lua.hpp>

// The arguments of one call of a splash method, and the errors it raises.
// The arguments come positional after self (splash:wait(1, true)), or as
// one table (splash:wait{time=1, cancel_on_redirect=true}), each by its
// name or at its position among the table's items.
//
// A wrong argument raises a SPLASH_LUA_ERROR: the table {type, message}.
// Lua is built as C++ here, so a raised error unwinds the C++ frames
// between the call and the script, their destructors run.
class LuaCall {
public:
    explicit LuaCall(lua_State* lua);

    // Pushes the argument; returns its index (nil when it was not given).
    int Push(const char* name, int position) const;
    // A string argument; empty when not given and not required.
    QString Text(const char* name, int position, bool required) const;
    // A number from least to most; fallback when not given.
    double Number(const char* name, int position, double fallback, double least, double most) const;
    bool Flag(const char* name, int position, bool fallback) const;
    // The JavaScript of evaljs and runjs: the first argument, named
    // snippet or source.
    QString Snippet() const;

    // Raises {type = "SPLASH_LUA_ERROR", message = message}.
    static int RaiseApiError(lua_State* lua, const QString& message);
    // Raises the JS_ERROR of JavaScript that threw, from its evaluation's
    // {name, message, text}.
    static int RaiseJsError(lua_State* lua, const QVariantMap& thrown);

    // The table of headers at index, {name = value} or {{name, value},
    // ...}, as pairs; none for nil.
    static QList<QPair<QByteArray, QByteArray>> Headers(lua_State* lua, int index);

private:
    lua_State* const lua;
    const int count;
    const bool named;
};

#endif
