#include "Scripts/SplashJavaScript.h"

#include <QJsonValue>
#include <QVariantMap>

#include "Page/PageJavaScript.h"
#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"
#include "Scripts/QScriptRunner.h"
#include "Scripts/SplashElements.h"

const luaL_Reg SplashJavaScript::Methods[] = {{"evaljs", &SplashJavaScript::EvalJs},
                                              {"runjs", &SplashJavaScript::RunJs},
                                              {"jsfunc", &SplashJavaScript::JsFunc},
                                              {nullptr, nullptr}};

int SplashJavaScript::EvalJs(lua_State* lua) {
    const QString snippet = LuaCall(lua).Snippet();
    return SplashElements::PushEvaluation(lua, QScriptRunner::Self(lua),
                                          QStringLiteral("(0, eval)(%1)").arg(PageJavaScript::Literal(snippet)));
}

int SplashJavaScript::RunJs(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const QVariantMap result = self->page->Evaluate(LuaCall(lua).Snippet());
    if (result.value(QStringLiteral("ok")).toBool()) {
        lua_pushboolean(lua, 1);
        return 1;
    }
    lua_pushnil(lua);
    lua_pushstring(lua, result.value(QStringLiteral("text")).toString().toUtf8().constData());
    return 2;
}

int SplashJavaScript::JsFunc(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const QString snippet = LuaCall(lua).Text("snippet", 1, true);
    lua_pushlightuserdata(lua, self);
    LuaValues::Push(lua, QJsonValue(snippet));
    lua_pushcclosure(lua, &SplashJavaScript::CallJsFunction, 2);
    return 1;
}

int SplashJavaScript::CallJsFunction(lua_State* lua) {
    QScriptRunner* self = static_cast<QScriptRunner*>(lua_touserdata(lua, lua_upvalueindex(1)));
    if (self->page->Gone()) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("the page is gone"));
    }
    const QString list = SplashElements::Arguments(lua, self, 1);
    return SplashElements::PushEvaluation(lua, self,
                                          PageJavaScript::Call(LuaValues::ToText(lua, lua_upvalueindex(2)), list));
}
