#ifndef ORVO_WORKER_SCRIPTS_SCRIPTLISTENERS_H
#define ORVO_WORKER_SCRIPTS_SCRIPTLISTENERS_H

#include <functional>
#include <vector>

#include <QString>
#include <QVariantMap>
#include <lua.hpp>

// The Lua functions a script attaches to the page's nodes as event
// listeners (element:addEventListener(type, f), element.onclick = f), on
// either engine. Each function is numbered on its first use and has one
// JavaScript listener in each document, which hands the event to Fire at
// once, while it is being dispatched, through the engine's own call-out:
// the Lua function runs with a table of the event's plain properties
// (numbers, strings, booleans) and the methods preventDefault,
// stopPropagation and stopImmediatePropagation, which the JavaScript
// listener applies to the event once the function has returned.
//
// Each call carries a token that only the listeners know, so the page's
// own scripts reach the script's functions only as any listener is
// reached: through events on the nodes they listen to.
class ScriptListeners {
public:
    // Runs the Lua function in the registry at reference with the one value
    // push leaves; after runs once it has returned.
    using Run = std::function<void(int reference, const std::function<void(lua_State*)>& push,
                                   const std::function<void()>& after)>;

    explicit ScriptListeners(Run run);

    // A JavaScript expression of the listener for the Lua function at index
    // (the same function, the same listener). callOut is the engine's
    // JavaScript expression that hands the event to Fire and gives its
    // answer; it may use token, number, plain (the event's plain
    // properties) and bridge, the value of the expression bridge when the
    // listener was made.
    QString Listener(lua_State* lua, int index, const QString& bridge, const QString& callOut);

    // What a listener's call-out hands over: {"prevent", "stop",
    // "stopNow"} as the Lua function asked; nothing for a wrong token or
    // number.
    QVariantMap Fire(const QString& token, int listener, const QVariantMap& event);

private:
    Run run;
    const QString token;
    // Registry references of the functions, by number.
    std::vector<int> functions;
};

#endif
