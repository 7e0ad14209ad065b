#include "Scripts/LuaCall.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include "Scripts/LuaValues.h"

LuaCall::LuaCall(lua_State* lua)
    : lua(lua), count(lua_gettop(lua)), named(count == 2 && lua_type(lua, 2) == LUA_TTABLE) {}

int LuaCall::Push(const char* name, int position) const {
    if (named) {
        lua_getfield(lua, 2, name);
        if (lua_isnil(lua, -1)) {
            lua_pop(lua, 1);
            lua_rawgeti(lua, 2, position);
        }
    } else if (count >= position + 1) {
        lua_pushvalue(lua, position + 1);
    } else {
        lua_pushnil(lua);
    }
    return lua_gettop(lua);
}

QString LuaCall::Text(const char* name, int position, bool required) const {
    const int index = Push(name, position);
    if (lua_isnil(lua, index) && !required) {
        return QString();
    }
    if (lua_type(lua, index) != LUA_TSTRING) {
        RaiseApiError(lua, QStringLiteral("%1 must be a string").arg(QLatin1String(name)));
    }
    return LuaValues::ToText(lua, index);
}

double LuaCall::Number(const char* name, int position, double fallback, double least, double most) const {
    const int index = Push(name, position);
    if (lua_isnil(lua, index)) {
        return fallback;
    }
    const double value = lua_type(lua, index) == LUA_TNUMBER ? lua_tonumber(lua, index) : least - 1;
    if (!(value >= least && value <= most)) {
        const QString range = QStringLiteral("from %1 to %2").arg(least).arg(most);
        RaiseApiError(lua, QStringLiteral("%1 must be a number %2").arg(QLatin1String(name), range));
    }
    return value;
}

QString LuaCall::Snippet() const {
    if (named) {
        lua_getfield(lua, 2, "source");
        const bool source = !lua_isnil(lua, -1);
        lua_pop(lua, 1);
        if (source) {
            return Text("source", 1, true);
        }
    }
    return Text("snippet", 1, true);
}

bool LuaCall::Flag(const char* name, int position, bool fallback) const {
    const int index = Push(name, position);
    return lua_isnil(lua, index) ? fallback : lua_toboolean(lua, index) != 0;
}

int LuaCall::RaiseApiError(lua_State* lua, const QString& message) {
    LuaValues::Push(lua, QJsonValue(QJsonObject{{"type", "SPLASH_LUA_ERROR"}, {"message", message}}));
    return lua_error(lua);
}

int LuaCall::RaiseJsError(lua_State* lua, const QVariantMap& thrown) {
    const QString text = thrown.value(QStringLiteral("text")).toString();
    const QString name = thrown.value(QStringLiteral("name")).toString();
    const QString message = thrown.value(QStringLiteral("message")).toString();
    LuaValues::Push(lua, QJsonValue(QJsonObject{{"type", "JS_ERROR"},
                                                {"js_error_type", name},
                                                {"js_error_message", message},
                                                {"js_error", text},
                                                {"message", QStringLiteral("JS error: ") + text}}));
    return lua_error(lua);
}

QList<QPair<QByteArray, QByteArray>> LuaCall::Headers(lua_State* lua, int index) {
    QList<QPair<QByteArray, QByteArray>> headers;
    if (lua_isnil(lua, index)) {
        return headers;
    }
    luaL_checktype(lua, index, LUA_TTABLE);
    lua_pushnil(lua);
    while (lua_next(lua, index) != 0) {
        if (lua_type(lua, -2) == LUA_TSTRING) {
            headers.append({LuaValues::ToText(lua, -2).toUtf8(), LuaValues::ToText(lua, -1).toUtf8()});
        } else if (lua_type(lua, -1) == LUA_TTABLE) {
            lua_rawgeti(lua, -1, 1);
            lua_rawgeti(lua, -2, 2);
            headers.append({LuaValues::ToText(lua, -2).toUtf8(), LuaValues::ToText(lua, -1).toUtf8()});
            lua_pop(lua, 2);
        }
        lua_pop(lua, 1);
    }
    return headers;
}
