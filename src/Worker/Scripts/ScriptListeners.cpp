#include "Scripts/ScriptListeners.h"

#include <QJsonObject>
#include <QUuid>

#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"

namespace {

// What a listener's function asked of its event; live while it runs.
struct Asked {
    bool live;
    bool prevent;
    bool stop;
    bool stopNow;
};

Asked* AskedOf(lua_State* lua) {
    Asked* asked = static_cast<Asked*>(lua_touserdata(lua, lua_upvalueindex(1)));
    if (!asked->live) {
        LuaCall::RaiseApiError(lua, QStringLiteral("the event's listener has returned: it can be changed no more"));
    }
    return asked;
}

int PreventDefault(lua_State* lua) {
    AskedOf(lua)->prevent = true;
    return 0;
}

int StopPropagation(lua_State* lua) {
    AskedOf(lua)->stop = true;
    return 0;
}

int StopImmediatePropagation(lua_State* lua) {
    Asked* asked = AskedOf(lua);
    asked->stop = true;
    asked->stopNow = true;
    return 0;
}

} // namespace

ScriptListeners::ScriptListeners(Run run)
    : run(std::move(run)), token(QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

QString ScriptListeners::Listener(lua_State* lua, int index, const QString& bridge, const QString& callOut) {
    const int at = lua_absindex(lua, index);
    // The numbers of the functions seen, by function, in the registry.
    if (luaL_getsubtable(lua, LUA_REGISTRYINDEX, "orvo.listeners") == 0) {
        functions.clear();
    }
    lua_pushvalue(lua, at);
    lua_rawget(lua, -2);
    int number = lua_isnil(lua, -1) ? static_cast<int>(functions.size()) : static_cast<int>(lua_tointeger(lua, -1));
    lua_pop(lua, 1);
    if (number == static_cast<int>(functions.size())) {
        lua_pushvalue(lua, at);
        lua_pushinteger(lua, number);
        lua_rawset(lua, -3);
        lua_pushvalue(lua, at);
        functions.push_back(luaL_ref(lua, LUA_REGISTRYINDEX));
    }
    lua_pop(lua, 1);
    // One listener per number in each document, kept so that
    // removeEventListener finds the one addEventListener added.
    return QStringLiteral(
               "(function (token, number, bridge) {"
               " var kept = window.__orvoListeners || (window.__orvoListeners = {});"
               " return kept[number] || (kept[number] = function (event) { var plain = {};"
               "   for (var key in event) { var v = event[key];"
               "     if (typeof v === 'string' || typeof v === 'number' || typeof v === 'boolean') {"
               "       plain[key] = v; } }"
               "   var asked = (%1) || {};"
               "   if (asked.prevent) { event.preventDefault(); }"
               "   if (asked.stopNow) { event.stopImmediatePropagation(); }"
               "   if (asked.stop) { event.stopPropagation(); } }); })('%2', %3, %4)")
        .arg(callOut, token, QString::number(number), bridge);
}

QVariantMap ScriptListeners::Fire(const QString& given, int listener, const QVariantMap& event) {
    if (given != token || listener < 0 || listener >= static_cast<int>(functions.size())) {
        return {};
    }
    Asked* asked = nullptr;
    Asked answer{};
    static const luaL_Reg methods[] = {{"preventDefault", PreventDefault},
                                       {"stopPropagation", StopPropagation},
                                       {"stopImmediatePropagation", StopImmediatePropagation},
                                       {nullptr, nullptr}};
    run(functions[listener],
        [&](lua_State* callback) {
            LuaValues::Push(callback, QJsonValue(QJsonObject::fromVariantMap(event)));
            asked = static_cast<Asked*>(lua_newuserdata(callback, sizeof(Asked)));
            *asked = Asked{true, false, false, false};
            luaL_setfuncs(callback, methods, 1);
        },
        [&]() {
            answer = *asked;
            asked->live = false;
        });
    return {{QStringLiteral("prevent"), answer.prevent},
            {QStringLiteral("stop"), answer.stop},
            {QStringLiteral("stopNow"), answer.stopNow}};
}
