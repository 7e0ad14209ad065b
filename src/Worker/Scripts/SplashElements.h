#ifndef ORVO_WORKER_SCRIPTS_SPLASHELEMENTS_H
#define ORVO_WORKER_SCRIPTS_SPLASHELEMENTS_H

#include <QMargins>
#include <QString>
#include <QVariantMap>
#include <lua.hpp>

class QScriptRunner;

// splash:select(css) and splash:select_all(css), and the element objects
// they give. The page keeps each selected node in a list of its own
// (window.__orvoElements); an element object is a table holding the node's
// place in that list, with methods that run JavaScript on the node. A node
// that has left the document, or a page that has gone elsewhere, makes a
// method raise a JS_ERROR saying the element is gone. Methods return as
// the scripting reference documents: an action true; field_value true and
// the value; form_values, png and jpeg the value. element.node reads and
// sets the node's properties and calls its methods: a property that holds
// a node gives an element object, attributes a table of name and value,
// classList a list.
class SplashElements {
public:
    static const luaL_Reg Methods[];

    // Evaluates a JavaScript expression in the page and pushes its value as
    // evaljs and jsfunc give it: a node as an element object, a node list
    // as a list of them, any other value as plain data; raises the JS_ERROR
    // of one that throws.
    static int PushEvaluation(lua_State* lua, QScriptRunner* self, const QString& expression);
    // The value at index, or each value from first on as a list, as
    // JavaScript for the page: an element object as its node, a Lua
    // function as its event listener, anything else through JSON; raises
    // an error naming what for one that has no such form.
    static QString Argument(lua_State* lua, QScriptRunner* self, int index, const QString& what);
    static QString Arguments(lua_State* lua, QScriptRunner* self, int first);

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
    static int Focused(lua_State* lua);
    static int Styles(lua_State* lua);
    static int FieldValue(lua_State* lua);
    // element.node's reads and writes.
    // element[key]: one of the element's own methods, else as NodeGet.
    static int ElementGet(lua_State* lua);
    static int NodeGet(lua_State* lua);
    static int NodeSet(lua_State* lua);
    // Pushes a table for the node at place whose fields get reads and set
    // writes (each with the runner as its upvalue, as this call has),
    // named what, which has no JSON form.
    static void PushProxy(lua_State* lua, int place, const char* what, lua_CFunction get, lua_CFunction set);
    static int PushStyle(lua_State* lua, int place);
    static int StyleGet(lua_State* lua);
    static int StyleSet(lua_State* lua);
    static bool IsElement(lua_State* lua, int index);
    // Pushes true below the count values on top of the stack: the
    // reference's ok, value.
    static int Ok(lua_State* lua, int count);
    static int NodeProperty(lua_State* lua);
    static int NodeMethod(lua_State* lua);
    static int CallNodeMethod(lua_State* lua);
    // Pushes what the page found: {element = place} as an element object,
    // {elements = places} as a list of them, {value = v} as v.
    static int PushFound(lua_State* lua, const QVariantMap& found);
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
