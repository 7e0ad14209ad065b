#ifndef ORVO_WORKER_SCRIPTS_SPLASHTIMERS_H
#define ORVO_WORKER_SCRIPTS_SPLASHTIMERS_H

#include <lua.hpp>

class QScriptRunner;

// The splash object's methods that run a function of the script in a
// coroutine of its own, which may wait: call_later runs a callback after
// a delay and returns a timer object (timer:cancel() before it starts,
// timer:reraise() raises the error it ended with, if any); with_timeout
// runs a function and waits for it at most a given time, returning true
// and its values, false and its error, or false and "timeout_over" (the
// function is then never resumed). Each takes the object's QScriptRunner
// from its upvalue.
class SplashTimers {
public:
    static const luaL_Reg Methods[];

private:
    static int CallLater(lua_State* lua);
    static int CancelTimer(lua_State* lua);
    static int ReraiseTimer(lua_State* lua);
    static int WithTimeout(lua_State* lua);
    static void Fire(QScriptRunner* self, int id);
    static void Forget(QScriptRunner* self, int id);
};

#endif
