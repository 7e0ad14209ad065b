#ifndef ORVO_WORKER_SCRIPTS_SPLASHPAGE_H
#define ORVO_WORKER_SCRIPTS_SPLASHPAGE_H

#include <QString>
#include <lua.hpp>

#include "Page/PagePicture.h"

class LuaCall;
class ScriptPage;

// The splash object's methods about the page itself: its viewport and
// pictures, content laid out from data, JavaScript loaded into every
// document, the navigation lock, the mouse and the keyboard, and the
// worker's version and resources. Each takes the object's QScriptRunner
// from its upvalue.
class SplashPage {
public:
    static const luaL_Reg Methods[];

    // The version of the scripting API that scripts are written against,
    // which get_version reports as major, minor and "splash" (Orvo's own
    // version is its field "orvo").
    static constexpr int ApiMajor = 3;
    static constexpr int ApiMinor = 5;

    // Pushes page's picture as request asks, a binary object (nil when
    // nothing is left to draw); raises the error of a failed encoding.
    static int PushPicture(lua_State* lua, ScriptPage* page, const PagePicture::Request& request);
    // Raises an error unless the scale_method argument at position is
    // missing, "raster" or "vector".
    static void CheckScaleMethod(lua_State* lua, const LuaCall& arguments, int position);
    // Types input into what has the focus: a key sequence when keys is
    // set, else text as it is; raises the error of input that cannot be
    // typed (an unknown key, too many keys).
    static void Type(lua_State* lua, ScriptPage* page, const QString& input, bool keys);

private:
    static int GetViewportSize(lua_State* lua);
    static int SetViewportSize(lua_State* lua);
    static int SetViewportFull(lua_State* lua);
    static int Png(lua_State* lua);
    static int Jpeg(lua_State* lua);
    static int Picture(lua_State* lua, bool jpeg);
    static int SetContent(lua_State* lua);
    static int Autoload(lua_State* lua);
    static int AutoloadReset(lua_State* lua);
    static int LockNavigation(lua_State* lua);
    static int UnlockNavigation(lua_State* lua);
    static int LockNavigationTo(lua_State* lua, bool locked);
    static int GetVersion(lua_State* lua);
    static int GetPerfStats(lua_State* lua);
    static int MouseClick(lua_State* lua);
    static int MouseHover(lua_State* lua);
    static int MousePress(lua_State* lua);
    static int MouseRelease(lua_State* lua);
    static int SendText(lua_State* lua);
    static int SendKeys(lua_State* lua);
};

#endif
