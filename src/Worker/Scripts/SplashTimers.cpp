#include "Scripts/SplashTimers.h"

#include "Scripts/LuaCall.h"
#include "Scripts/QScriptRunner.h"

namespace {

// How many call_later callbacks may wait to start at once: each holds a
// Qt timer outside the script's memory budget.
const std::size_t MaxLaterCallbacks = 1000;
const double MaxSeconds = 24 * 3600;
// The timer object's field holding its callback's error, a key no script
// can write.
const char ErrorKey = 0;

} // namespace

const luaL_Reg SplashTimers::Methods[] = {
    {"call_later", &SplashTimers::CallLater}, {"with_timeout", &SplashTimers::WithTimeout}, {nullptr, nullptr}};

int SplashTimers::CallLater(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    const int callback = arguments.Push("callback", 1);
    if (!lua_isfunction(lua, callback)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("call_later: the callback must be a function"));
    }
    const double delay = arguments.Number("delay", 2, 0, 0, MaxSeconds);
    if (self->laters.size() >= MaxLaterCallbacks) {
        return LuaCall::RaiseApiError(
            lua, QStringLiteral("call_later: at most %1 callbacks may wait at once").arg(MaxLaterCallbacks));
    }
    const int id = ++self->lastLater;
    static const luaL_Reg methods[] = {
        {"cancel", &SplashTimers::CancelTimer}, {"reraise", &SplashTimers::ReraiseTimer}, {nullptr, nullptr}};
    lua_newtable(lua);
    lua_pushlightuserdata(lua, self);
    lua_pushinteger(lua, id);
    luaL_setfuncs(lua, methods, 2);
    QScriptRunner::Later& later = self->laters[id];
    lua_pushvalue(lua, callback);
    later.callback = luaL_ref(lua, LUA_REGISTRYINDEX);
    lua_pushvalue(lua, -1);
    later.object = luaL_ref(lua, LUA_REGISTRYINDEX);
    QTimer::singleShot(static_cast<int>(delay * 1000), self, [self, id]() { Fire(self, id); });
    return 1;
}

// Starts the callback in a task of its own; the error it ends with is
// kept in its timer object.
void SplashTimers::Fire(QScriptRunner* self, int id) {
    const auto found = self->laters.find(id);
    if (found == self->laters.end() || self->state == QScriptRunner::State::Done) {
        return;
    }
    const QScriptRunner::Later later = found->second;
    self->laters.erase(found);
    lua_State* main = self->lua->get();
    lua_rawgeti(main, LUA_REGISTRYINDEX, later.callback);
    QScriptRunner::Task& task = self->NewTask(main, -1, [self, later](QScriptRunner::Task& ended, bool ok) {
        if (!ok) {
            lua_rawgeti(ended.thread, LUA_REGISTRYINDEX, later.object);
            lua_pushlightuserdata(ended.thread, const_cast<char*>(&ErrorKey));
            lua_pushvalue(ended.thread, -3);
            lua_rawset(ended.thread, -3);
        }
        luaL_unref(ended.thread, LUA_REGISTRYINDEX, later.object);
        self->Drop(ended.id);
    });
    lua_pop(main, 1);
    luaL_unref(main, LUA_REGISTRYINDEX, later.callback);
    self->Resume(task.id, 0);
}

void SplashTimers::Forget(QScriptRunner* self, int id) {
    const auto found = self->laters.find(id);
    if (found == self->laters.end()) {
        return;
    }
    lua_State* main = self->lua->get();
    luaL_unref(main, LUA_REGISTRYINDEX, found->second.callback);
    luaL_unref(main, LUA_REGISTRYINDEX, found->second.object);
    self->laters.erase(found);
}

// timer:cancel(): the callback will not start; one already started goes on.
int SplashTimers::CancelTimer(lua_State* lua) {
    QScriptRunner* self = static_cast<QScriptRunner*>(lua_touserdata(lua, lua_upvalueindex(1)));
    Forget(self, static_cast<int>(lua_tointeger(lua, lua_upvalueindex(2))));
    return 0;
}

// timer:reraise(): raises the error the callback ended with, if it did.
int SplashTimers::ReraiseTimer(lua_State* lua) {
    luaL_checktype(lua, 1, LUA_TTABLE);
    lua_pushlightuserdata(lua, const_cast<char*>(&ErrorKey));
    lua_rawget(lua, 1);
    if (!lua_isnil(lua, -1)) {
        return lua_error(lua);
    }
    return 0;
}

int SplashTimers::WithTimeout(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    const int function = arguments.Push("func", 1);
    if (!lua_isfunction(lua, function)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("with_timeout: func must be a function"));
    }
    const double timeout = arguments.Number("timeout", 2, -1, 0, MaxSeconds);
    if (!(timeout > 0)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("with_timeout: timeout must be a number of seconds above 0"));
    }
    QScriptRunner::Task& parent = self->Awaits(lua, QScriptRunner::Awaiting::Function);
    const quint64 waiting = parent.id;
    QScriptRunner::Task& child = self->NewTask(lua, function, [self, waiting](QScriptRunner::Task& ended, bool ok) {
        // ok and the function's values, or false and its error.
        lua_State* to = self->Find(waiting)->thread;
        self->Idle(*self->Find(waiting));
        const int count = ok ? lua_gettop(ended.thread) : 1;
        if (lua_checkstack(to, count + 1)) {
            lua_pushboolean(to, ok ? 1 : 0);
            lua_xmove(ended.thread, to, count);
        } else {
            lua_pushboolean(to, 0);
            lua_pushliteral(to, "with_timeout: the function returned too many values");
        }
        self->Drop(ended.id);
        self->Resume(waiting, lua_gettop(to));
    });
    child.parent = waiting;
    parent.waitTimer.start(static_cast<int>(timeout * 1000));
    const quint64 id = child.id;
    QTimer::singleShot(0, self, [self, id]() {
        if (self->state != QScriptRunner::State::Done && self->Find(id) != nullptr) {
            self->Resume(id, 0);
        }
    });
    return lua_yield(lua, 0);
}
