#ifndef ORVO_WORKER_SCRIPTS_SPLASHJAVASCRIPT_H
#define ORVO_WORKER_SCRIPTS_SPLASHJAVASCRIPT_H

#include <lua.hpp>

// The splash object's methods that run JavaScript in the page: evaljs (the
// value of a snippet, a node as an element object), runjs (true, or nil
// and the error's text) and jsfunc (a Lua function that calls a JavaScript
// one with its arguments). The snippet is the first argument, named
// snippet or source. Each takes the object's QScriptRunner from its
// upvalue.
class SplashJavaScript {
public:
    static const luaL_Reg Methods[];

private:
    static int EvalJs(lua_State* lua);
    static int RunJs(lua_State* lua);
    static int JsFunc(lua_State* lua);
    static int CallJsFunction(lua_State* lua);
};

#endif
