#include "Scripts/SplashElements.h"

#include <QJsonObject>
#include <QStringList>
#include <QVariantMap>

#include "Page/PageJavaScript.h"
#include "Page/PagePicture.h"
#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"
#include "Scripts/QScriptRunner.h"
#include "Scripts/SplashPage.h"

namespace {

const char* const ElementType = "orvo.element";
const char* const Registry = "(window.__orvoElements || (window.__orvoElements = []))";
// Keeps node n in the list, once: its place, the same each time it is kept.
const char* const Keep = "(function (n) { var r = (window.__orvoElements || (window.__orvoElements = [])),"
                         " m = r.places || (r.places = new Map());"
                         " if (!m.has(n)) { m.set(n, r.push(n) - 1); } return m.get(n); })";

// The node n's rectangle in the viewport.
const char* const RectJs = "(function (r) { return {left: r.left, top: r.top, right: r.right, bottom: r.bottom,"
                           " width: r.width, height: r.height}; })(n.getBoundingClientRect())";

} // namespace

const luaL_Reg SplashElements::Methods[] = {
    {"select", &SplashElements::Select}, {"select_all", &SplashElements::SelectAll}, {nullptr, nullptr}};

int SplashElements::Select(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const QString css = LuaCall(lua).Text("selector", 1, true);
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (css) { var n = document.querySelector(css); if (!n) { return -1; }"
                       " return %1(n); })(%2)")
            .arg(QLatin1String(Keep), PageJavaScript::Literal(css)));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    const int place = result.value(QStringLiteral("value")).toInt();
    if (place < 0) {
        lua_pushnil(lua);
        return 1;
    }
    PushElement(lua, place);
    return 1;
}

int SplashElements::SelectAll(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const QString css = LuaCall(lua).Text("selector", 1, true);
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (css) { var found = document.querySelectorAll(css), places = [];"
                       " for (var k = 0; k < found.length; ++k) { places.push(%1(found[k])); }"
                       " return places; })(%2)")
            .arg(QLatin1String(Keep), PageJavaScript::Literal(css)));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    return PushFound(lua, {{QStringLiteral("elements"), result.value(QStringLiteral("value"))}});
}

void SplashElements::PushElement(lua_State* lua, int place) {
    static const luaL_Reg methods[] = {{"exists", &SplashElements::Exists},
                                       {"text", &SplashElements::Text},
                                       {"info", &SplashElements::Info},
                                       {"bounds", &SplashElements::Bounds},
                                       {"visible", &SplashElements::Visible},
                                       {"focus", &SplashElements::Focus},
                                       {"focused", &SplashElements::Focused},
                                       {"styles", &SplashElements::Styles},
                                       {"field_value", &SplashElements::FieldValue},
                                       {"node_property", &SplashElements::NodeProperty},
                                       {"node_method", &SplashElements::NodeMethod},
                                       {"form_values", &SplashElements::FormValues},
                                       {"fill", &SplashElements::Fill},
                                       {"submit", &SplashElements::Submit},
                                       {"mouse_click", &SplashElements::MouseClick},
                                       {"mouse_hover", &SplashElements::MouseHover},
                                       {"send_text", &SplashElements::SendText},
                                       {"send_keys", &SplashElements::SendKeys},
                                       {"png", &SplashElements::Png},
                                       {"jpeg", &SplashElements::Jpeg},
                                       {nullptr, nullptr}};
    void* runner = lua_touserdata(lua, lua_upvalueindex(1));
    lua_createtable(lua, 0, 2);
    lua_pushinteger(lua, place);
    lua_setfield(lua, -2, "__place");
    // element.node: the same place, read and written through the page.
    PushProxy(lua, place, "an element's node", &SplashElements::NodeGet, &SplashElements::NodeSet);
    lua_setfield(lua, -2, "node");
    lua_pushinteger(lua, place);
    lua_setfield(lua, -2, "inner_id");
    // Past its own methods, an element reads and writes its node's
    // properties and calls its node's methods, as element.node does.
    if (luaL_newmetatable(lua, ElementType)) {
        lua_pushlightuserdata(lua, runner);
        lua_newtable(lua);
        lua_pushlightuserdata(lua, runner);
        luaL_setfuncs(lua, methods, 1);
        lua_pushcclosure(lua, &SplashElements::ElementGet, 2);
        lua_setfield(lua, -2, "__index");
        lua_pushlightuserdata(lua, runner);
        lua_pushcclosure(lua, &SplashElements::NodeSet, 1);
        lua_setfield(lua, -2, "__newindex");
        LuaValues::NameObject(lua, "an element object");
    }
    lua_setmetatable(lua, -2);
}

int SplashElements::ElementGet(lua_State* lua) {
    lua_pushvalue(lua, 2);
    lua_rawget(lua, lua_upvalueindex(2));
    if (!lua_isnil(lua, -1)) {
        return 1;
    }
    lua_pop(lua, 1);
    return NodeGet(lua);
}

QScriptRunner* SplashElements::Element(lua_State* lua, int& place) {
    if (lua_type(lua, 1) != LUA_TTABLE) {
        LuaCall::RaiseApiError(lua, QStringLiteral("call an element's methods with ':' (element:method())"));
    }
    lua_getfield(lua, 1, "__place");
    place = static_cast<int>(lua_tointeger(lua, -1));
    lua_pop(lua, 1);
    QScriptRunner* self = static_cast<QScriptRunner*>(lua_touserdata(lua, lua_upvalueindex(1)));
    if (self->page->Gone()) {
        LuaCall::RaiseApiError(lua, QStringLiteral("the page is gone"));
    }
    return self;
}

int SplashElements::Run(lua_State* lua, const QString& body) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (n) { if (!n || !document.contains(n)) {"
                       " throw new Error('the element is gone from the page'); } return (%1); })(%2[%3])")
            .arg(body, QLatin1String(Registry))
            .arg(place));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    LuaValues::PushFromPage(lua, result.value(QStringLiteral("value")));
    return 1;
}

int SplashElements::Exists(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (n) { return !!n && document.contains(n); })(%1[%2])")
            .arg(QLatin1String(Registry))
            .arg(place));
    lua_pushboolean(lua, result.value(QStringLiteral("value")).toBool());
    return 1;
}

// The first of textContent, innerText and value that is not empty once
// trimmed, trimmed.
int SplashElements::Text(lua_State* lua) {
    return Run(lua, QStringLiteral("(function () { var t = [n.textContent, n.innerText, n.value];"
                                   " for (var k = 0; k < t.length; ++k) {"
                                   "   if (typeof t[k] === 'string' && t[k].trim()) { return t[k].trim(); } }"
                                   " return ''; })()"));
}

int SplashElements::Info(lua_State* lua) {
    return Run(lua, QStringLiteral("(function () { var a = {}, r = %1;"
                                   " for (var k = 0; k < n.attributes.length; ++k) {"
                                   " a[n.attributes[k].name] = n.attributes[k].value; }"
                                   " return {nodeName: n.nodeName.toLowerCase(), attributes: a, tag: n.outerHTML,"
                                   " html: n.innerHTML, text: n.textContent, x: r.left, y: r.top,"
                                   " width: r.width, height: r.height,"
                                   " visible: !!(n.offsetWidth || n.offsetHeight || n.getClientRects().length)}; })()")
                        .arg(QLatin1String(RectJs)));
}

int SplashElements::Bounds(lua_State* lua) {
    return Run(lua, QLatin1String(RectJs));
}

int SplashElements::Visible(lua_State* lua) {
    return Run(lua, QStringLiteral("!!(n.offsetWidth || n.offsetHeight || n.getClientRects().length)"
                                   " && getComputedStyle(n).visibility !== 'hidden'"));
}

int SplashElements::Focus(lua_State* lua) {
    return Run(lua, QStringLiteral("(n.focus(), true)"));
}

int SplashElements::Focused(lua_State* lua) {
    return Run(lua, QStringLiteral("document.activeElement === n"));
}

int SplashElements::Styles(lua_State* lua) {
    return Run(lua, QStringLiteral("(function () { var s = getComputedStyle(n), r = {};"
                                   " for (var k = 0; k < s.length; ++k) { r[s[k]] = s.getPropertyValue(s[k]); }"
                                   " return r; })()"));
}

// A checkbox's checked state, a radio button's value when it is checked
// (nil when not), a multiple select's chosen values, any other field's
// value.
int SplashElements::FieldValue(lua_State* lua) {
    Run(lua, QStringLiteral("(function () { if (n.type === 'checkbox') { return n.checked; }"
                            " if (n.type === 'radio') { return n.checked ? n.value : undefined; }"
                            " if (n.type === 'select-multiple') { var s = [];"
                            "   for (var o = 0; o < n.options.length; ++o) {"
                            "     if (n.options[o].selected) { s.push(n.options[o].value); } }"
                            "   return s; }"
                            " return n.value; })()"));
    return Ok(lua, 1);
}

int SplashElements::Ok(lua_State* lua, int count) {
    lua_pushboolean(lua, 1);
    lua_insert(lua, -(count + 1));
    return count + 1;
}

// node[key]: a method as a Lua function (called with ':' or '.'), a node
// as an element object, attributes and classList as plain tables, any
// other property's value.
int SplashElements::NodeGet(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QString key = LuaValues::ToText(lua, 2);
    if (key == QLatin1String("style")) {
        return PushStyle(lua, place);
    }
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (n, key, keep) { if (!n || !document.contains(n)) {"
                       " throw new Error('the element is gone from the page'); }"
                       " var v = n[key];"
                       " if (typeof v === 'function') { return {method: true}; }"
                       " if (v instanceof Node) { return {element: keep(v)}; }"
                       " if (key === 'attributes') { var a = {};"
                       "   for (var k = 0; k < v.length; ++k) { a[v[k].name] = v[k].value; } return {value: a}; }"
                       " if (key === 'classList') { return {value: [].slice.call(v)}; }"
                       " return {value: v}; })(%1[%2], %3, %4)")
            .arg(QLatin1String(Registry))
            .arg(place)
            .arg(PageJavaScript::Literal(key), QLatin1String(Keep)));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    const QVariantMap found = result.value(QStringLiteral("value")).toMap();
    if (found.contains(QStringLiteral("method"))) {
        lua_pushlightuserdata(lua, self);
        lua_pushinteger(lua, place);
        LuaValues::Push(lua, QJsonValue(key));
        lua_pushvalue(lua, 1);
        lua_pushcclosure(lua, &SplashElements::CallNodeMethod, 4);
        return 1;
    }
    return PushFound(lua, found);
}

void SplashElements::PushProxy(lua_State* lua, int place, const char* what, lua_CFunction get, lua_CFunction set) {
    void* runner = lua_touserdata(lua, lua_upvalueindex(1));
    lua_createtable(lua, 0, 1);
    lua_pushinteger(lua, place);
    lua_setfield(lua, -2, "__place");
    lua_createtable(lua, 0, 2);
    lua_pushlightuserdata(lua, runner);
    lua_pushcclosure(lua, get, 1);
    lua_setfield(lua, -2, "__index");
    lua_pushlightuserdata(lua, runner);
    lua_pushcclosure(lua, set, 1);
    lua_setfield(lua, -2, "__newindex");
    LuaValues::NameObject(lua, what);
    lua_setmetatable(lua, -2);
}

// node.style: a table whose fields read and set the node's inline style
// (node.style.color = 'red').
int SplashElements::PushStyle(lua_State* lua, int place) {
    PushProxy(lua, place, "an element's style", &SplashElements::StyleGet, &SplashElements::StyleSet);
    return 1;
}

int SplashElements::StyleGet(lua_State* lua) {
    const QString key = PageJavaScript::Literal(QJsonValue(LuaValues::ToText(lua, 2)));
    lua_settop(lua, 1);
    return Run(lua, QStringLiteral("n.style[%1]").arg(key));
}

int SplashElements::StyleSet(lua_State* lua) {
    const QString key = LuaValues::ToText(lua, 2);
    QJsonValue value;
    QString error;
    if (!LuaValues::ToJson(lua, 3, value, error)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("style.%1: %2").arg(key, error));
    }
    lua_settop(lua, 1);
    Run(lua, QStringLiteral("(n.style[%1] = %2, true)")
                 .arg(PageJavaScript::Literal(QJsonValue(key)), PageJavaScript::Literal(value)));
    return 0;
}

int SplashElements::NodeSet(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QString key = LuaValues::ToText(lua, 2);
    const QString value = Argument(lua, self, 3, QStringLiteral("node.") + key);
    lua_settop(lua, 1);
    Run(lua, QStringLiteral("(n[%1] = %2, true)").arg(PageJavaScript::Literal(QJsonValue(key)), value));
    return 0;
}

bool SplashElements::IsElement(lua_State* lua, int index) {
    if (lua_type(lua, index) != LUA_TTABLE || !lua_getmetatable(lua, index)) {
        return false;
    }
    luaL_getmetatable(lua, ElementType);
    const bool element = lua_rawequal(lua, -1, -2) != 0;
    lua_pop(lua, 2);
    return element;
}

int SplashElements::PushEvaluation(lua_State* lua, QScriptRunner* self, const QString& expression) {
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (v, keep) { if (v instanceof Node) { return {element: keep(v)}; }"
                       " if (v instanceof NodeList || v instanceof HTMLCollection) {"
                       "   return {elements: [].map.call(v, keep)}; }"
                       " return {value: v}; })(%1, %2)")
            .arg(expression, QLatin1String(Keep)));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    return PushFound(lua, result.value(QStringLiteral("value")).toMap());
}

// The value at index as JavaScript: a function as its event listener,
// anything else through JSON; raises an error naming what for one that
// has neither form.
QString SplashElements::Argument(lua_State* lua, QScriptRunner* self, int index, const QString& what) {
    if (lua_type(lua, index) == LUA_TFUNCTION) {
        const QString listener = self->page->Listener(
            lua, index,
            [self](int reference, const std::function<void(lua_State*)>& push, const std::function<void()>& after) {
                self->RunCallback(reference, push, after);
            });
        if (listener.isEmpty()) {
            LuaCall::RaiseApiError(lua, QStringLiteral("Lua functions as event listeners are not available on the %1 engine yet")
                                            .arg(QLatin1String(self->page->Engine())));
        }
        return listener;
    }
    if (IsElement(lua, index)) {
        lua_getfield(lua, index, "__place");
        const int place = static_cast<int>(lua_tointeger(lua, -1));
        lua_pop(lua, 1);
        return QStringLiteral("%1[%2]").arg(QLatin1String(Registry)).arg(place);
    }
    QJsonValue value;
    QString error;
    if (!LuaValues::ToJson(lua, index, value, error)) {
        LuaCall::RaiseApiError(lua, QStringLiteral("%1: %2").arg(what, error));
    }
    return PageJavaScript::Literal(value);
}

QString SplashElements::Arguments(lua_State* lua, QScriptRunner* self, int first) {
    QStringList items;
    for (int k = first; k <= lua_gettop(lua); ++k) {
        items.append(Argument(lua, self, k, QStringLiteral("argument %1 cannot be sent to JavaScript").arg(k)));
    }
    return QLatin1Char('[') + items.join(QLatin1Char(',')) + QLatin1Char(']');
}

int SplashElements::NodeProperty(lua_State* lua) {
    const QString name = LuaCall(lua).Text("name", 1, true);
    return Run(lua, QStringLiteral("n[%1]").arg(PageJavaScript::Literal(name)));
}

// A Lua function calling the node's method name with its arguments.
int SplashElements::NodeMethod(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QString name = LuaCall(lua).Text("name", 1, true);
    lua_pushlightuserdata(lua, self);
    lua_pushinteger(lua, place);
    LuaValues::Push(lua, QJsonValue(name));
    lua_pushcclosure(lua, &SplashElements::CallNodeMethod, 3);
    return 1;
}

int SplashElements::CallNodeMethod(lua_State* lua) {
    QScriptRunner* self = static_cast<QScriptRunner*>(lua_touserdata(lua, lua_upvalueindex(1)));
    const int place = static_cast<int>(lua_tointeger(lua, lua_upvalueindex(2)));
    const QString name = LuaValues::ToText(lua, lua_upvalueindex(3));
    if (self->page->Gone()) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("the page is gone"));
    }
    // node:method(...) passes the node first: it is the call's object.
    const bool called = !lua_isnone(lua, lua_upvalueindex(4)) && lua_rawequal(lua, 1, lua_upvalueindex(4));
    const QString arguments = Arguments(lua, self, called ? 2 : 1);
    const QVariantMap result = self->page->Evaluate(
        QStringLiteral("(function (n, keep) { if (!n || !document.contains(n)) {"
                       " throw new Error('the element is gone from the page'); }"
                       " var v = n[%1].apply(n, %2);"
                       " if (v instanceof Node) { return {element: keep(v)}; }"
                       " if (v instanceof NodeList || v instanceof HTMLCollection) {"
                       "   return {elements: [].map.call(v, keep)}; }"
                       " return {value: v}; })(%3[%4], %5)")
            .arg(PageJavaScript::Literal(name), arguments, QLatin1String(Registry))
            .arg(place)
            .arg(QLatin1String(Keep)));
    if (!result.value(QStringLiteral("ok")).toBool()) {
        return LuaCall::RaiseJsError(lua, result);
    }
    return PushFound(lua, result.value(QStringLiteral("value")).toMap());
}

int SplashElements::PushFound(lua_State* lua, const QVariantMap& found) {
    if (found.contains(QStringLiteral("element"))) {
        PushElement(lua, found.value(QStringLiteral("element")).toInt());
        return 1;
    }
    if (found.contains(QStringLiteral("elements"))) {
        const QVariantList places = found.value(QStringLiteral("elements")).toList();
        lua_createtable(lua, places.size(), 0);
        for (int k = 0; k < places.size(); ++k) {
            PushElement(lua, places.at(k).toInt());
            lua_rawseti(lua, -2, k + 1);
        }
        return 1;
    }
    LuaValues::PushFromPage(lua, found.value(QStringLiteral("value")));
    return 1;
}

// A form's named controls, as values asks: "auto" gives a checkbox as
// whether it is checked, a radio button's value when checked, a multiple
// select's chosen values and several controls of one name as lists, any
// other control's value; "list" gives every control's values as a list
// (a checkbox's value when checked); "first" the first of them (a
// checkbox as whether it is checked). false is "first".
int SplashElements::FormValues(lua_State* lua) {
    const LuaCall arguments(lua);
    const int given = arguments.Push("values", 1);
    QString mode = QStringLiteral("auto");
    if (lua_isboolean(lua, given)) {
        mode = lua_toboolean(lua, given) ? mode : QStringLiteral("first");
    } else if (!lua_isnil(lua, given)) {
        mode = LuaValues::ToText(lua, given);
        if (mode != QLatin1String("auto") && mode != QLatin1String("list") && mode != QLatin1String("first")) {
            return LuaCall::RaiseApiError(lua, QStringLiteral("form_values: values must be 'auto', 'list' or 'first'"));
        }
    }
    lua_settop(lua, 1);
    Run(lua, QStringLiteral(
                 "(function (mode) { if (n.nodeName !== 'FORM') { return undefined; }"
                 " var named = [].filter.call(n.elements, function (e) { return e.name && !e.disabled; }),"
                 "   v = {}, count = {};"
                 " named.forEach(function (e) { count[e.name] = (count[e.name] || 0) + 1; });"
                 " named.forEach(function (e) { var list, one, name = e.name;"
                 "   if (e.type === 'checkbox') { list = e.checked ? [e.value] : []; one = e.checked; }"
                 "   else if (e.type === 'radio') { list = e.checked ? [e.value] : []; one = list[0]; }"
                 "   else if (e.type === 'select-multiple') {"
                 "     list = [].filter.call(e.options, function (o) { return o.selected; })"
                 "       .map(function (o) { return o.value; }); one = list; }"
                 "   else { list = [e.value]; one = e.value; }"
                 "   if (mode === 'list' || (mode === 'auto' && count[name] > 1 && e.type !== 'radio')) {"
                 "     v[name] = (v[name] || []).concat(list); }"
                 "   else if (mode === 'first') { var first = e.type === 'checkbox' ? e.checked : list[0];"
                 "     if (!(name in v) && first !== undefined) { v[name] = first; } }"
                 "   else if (one !== undefined) { v[name] = one; } });"
                 " return v; })(%1)")
                 .arg(PageJavaScript::Literal(QJsonValue(mode))));
    if (lua_isnil(lua, -1)) {
        lua_pushliteral(lua, "the element is not a form");
        return 2;
    }
    return 1;
}

// Gives a form's named controls the values of a table: a checkbox or radio
// button is checked when its value is given (or true), a multiple select
// chooses those of a list.
int SplashElements::Fill(lua_State* lua) {
    luaL_checktype(lua, 2, LUA_TTABLE);
    QJsonValue values;
    QString error;
    if (!LuaValues::ToJson(lua, 2, values, error, LuaValues::Lists::ByShape)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("fill: ") + error);
    }
    return Run(lua, QStringLiteral("(function (v) {"
                                   " for (var k = 0; k < n.elements.length; ++k) { var e = n.elements[k];"
                                   "   if (!e.name || !(e.name in v)) { continue; } var x = v[e.name];"
                                   "   if (e.type === 'checkbox' || e.type === 'radio') {"
                                   "     e.checked = x === true || x === e.value; continue; }"
                                   "   if (e.type === 'select-multiple') {"
                                   "     for (var o = 0; o < e.options.length; ++o) {"
                                   "       e.options[o].selected = x.indexOf(e.options[o].value) >= 0; } continue; }"
                                   "   e.value = x; }"
                                   " return true; })(%1)")
                        .arg(PageJavaScript::Literal(values)));
}

int SplashElements::Submit(lua_State* lua) {
    return Run(lua, QStringLiteral("((n.form || n).submit(), true)"));
}

int SplashElements::MouseClick(lua_State* lua) {
    return Mouse(lua, true);
}

int SplashElements::MouseHover(lua_State* lua) {
    return Mouse(lua, false);
}

// The mouse at x, y from the element's top left (its middle by default),
// the element scrolled into view first.
int SplashElements::Mouse(lua_State* lua, bool click) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const LuaCall arguments(lua);
    const double x = arguments.Number("x", 1, -1, 0, 1e6);
    const double y = arguments.Number("y", 2, -1, 0, 1e6);
    lua_settop(lua, 1);
    Run(lua, QStringLiteral("(n.scrollIntoViewIfNeeded ? n.scrollIntoViewIfNeeded() : n.scrollIntoView(), %1)")
                 .arg(QLatin1String(RectJs)));
    lua_getfield(lua, -1, "left");
    lua_getfield(lua, -2, "top");
    lua_getfield(lua, -3, "width");
    lua_getfield(lua, -4, "height");
    const QPointF at(lua_tonumber(lua, -4) + (x >= 0 ? x : lua_tonumber(lua, -2) / 2),
                     lua_tonumber(lua, -3) + (y >= 0 ? y : lua_tonumber(lua, -1) / 2));
    self->page->SendMouse(click ? ScriptPage::Mouse::Click : ScriptPage::Mouse::Hover, at);
    lua_pushboolean(lua, 1);
    return 1;
}

int SplashElements::SendText(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QString text = LuaCall(lua).Text("text", 1, true);
    lua_settop(lua, 1);
    Focus(lua);
    SplashPage::Type(lua, self->page, text, false);
    lua_pushboolean(lua, 1);
    return 1;
}

int SplashElements::SendKeys(lua_State* lua) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const QString keys = LuaCall(lua).Text("keys", 1, true);
    lua_settop(lua, 1);
    Focus(lua);
    SplashPage::Type(lua, self->page, keys, true);
    lua_pushboolean(lua, 1);
    return 1;
}

int SplashElements::Png(lua_State* lua) {
    return Picture(lua, false);
}

int SplashElements::Jpeg(lua_State* lua) {
    return Picture(lua, true);
}

// pad: a number of pixels around each side, or {left, top, right, bottom}.
QMargins SplashElements::Padding(lua_State* lua, int index) {
    if (lua_isnil(lua, index)) {
        return QMargins();
    }
    if (lua_type(lua, index) == LUA_TNUMBER) {
        const int all = static_cast<int>(lua_tonumber(lua, index));
        return QMargins(all, all, all, all);
    }
    if (lua_type(lua, index) != LUA_TTABLE) {
        LuaCall::RaiseApiError(lua, QStringLiteral("pad must be a number or {left, top, right, bottom}"));
    }
    int sides[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) {
        lua_rawgeti(lua, index, k + 1);
        sides[k] = static_cast<int>(lua_tonumber(lua, -1));
        lua_pop(lua, 1);
    }
    return QMargins(sides[0], sides[1], sides[2], sides[3]);
}

// The element's own picture: the whole page drawn, cut to its box and
// padded.
int SplashElements::Picture(lua_State* lua, bool jpeg) {
    int place = 0;
    QScriptRunner* self = Element(lua, place);
    const LuaCall arguments(lua);
    PagePicture::Request request;
    request.whole = true;
    request.jpeg = jpeg;
    request.width = static_cast<int>(arguments.Number("width", 1, 0, 1, PagePicture::MaxWidth));
    SplashPage::CheckScaleMethod(lua, arguments, 2);
    request.quality = jpeg ? static_cast<int>(arguments.Number("quality", 3, 75, 0, 100)) : request.quality;
    const QMargins pad = Padding(lua, arguments.Push("pad", jpeg ? 4 : 3));
    lua_settop(lua, 1);
    Run(lua, QStringLiteral("(function (r) { return {left: r.left + scrollX, top: r.top + scrollY,"
                            " right: r.right + scrollX, bottom: r.bottom + scrollY}; })(n.getBoundingClientRect())"));
    lua_getfield(lua, -1, "left");
    lua_getfield(lua, -2, "top");
    lua_getfield(lua, -3, "right");
    lua_getfield(lua, -4, "bottom");
    const auto side = [lua](int index) { return static_cast<int>(lua_tonumber(lua, index)); };
    request.region = QRect(QPoint(side(-4), side(-3)), QPoint(side(-2) - 1, side(-1) - 1)) + pad;
    return SplashPage::PushPicture(lua, self->page, request);
}
