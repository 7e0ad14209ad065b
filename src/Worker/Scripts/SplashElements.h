#ifndef ORVO_WORKER_SCRIPTS_SPLASHELEMENTS_H
#define ORVO_WORKER_SCRIPTS_SPLASHELEMENTS_H

#include <QMargins>
#include <QString>
#include <lua.hpp>

class QScriptRunner;

// splash:select(css) and splash:select_all(css), and the element objects
// they give. The page keeps each selected node in a list of its own
// (window.__orvoElements); an element object is a table holding the node's
// place in that list, with methods that run JavaScript on the node. A node
// that has left the document, or a page that has gone elsewhere, makes a
// method raise a JS_ERROR saying the element is gone.
class SplashElements {
public:
    static const luaL_Reg Methods[];

private:
    static int Select(lua_State* lua);
    static int SelectAll(lua_State* lua);
    // Pushes an element object for the node at place.
    static void PushElement(lua_State* lua, int place);
    // The runner and the node's place of the element object called.
    static QScriptRunner* Element(lua_State* lua, int& place);
    // Runs body (an expression of the node n) on the element's node;
    // pushes its value, or raises the JS_ERROR.
    static int Run(lua_State* lua, const QString& body);

    static int Exists(lua_State* lua);
    static int Text(lua_State* lua);
    static int Info(lua_State* lua);
    static int Bounds(lua_State* lua);
    static int Visible(lua_State* lua);
    static int Focus(lua_State* lua);
    static int NodeProperty(lua_State* lua);
    static int NodeMethod(lua_State* lua);
    static int CallNodeMethod(lua_State* lua);
    static int FormValues(lua_State* lua);
    static int Fill(lua_State* lua);
    static int Submit(lua_State* lua);
    static int MouseClick(lua_State* lua);
    static int MouseHover(lua_State* lua);
    static int Mouse(lua_State* lua, bool click);
    static int SendText(lua_State* lua);
    static int SendKeys(lua_State* lua);
    static int Png(lua_State* lua);
    static int Jpeg(lua_State* lua);
    static int Picture(lua_State* lua, bool jpeg);
    static QMargins Padding(lua_State* lua, int index);
};

#endif
