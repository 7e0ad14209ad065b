#ifndef ORVO_WORKER_SCRIPTS_QSCRIPTEVENTS_H
#define ORVO_WORKER_SCRIPTS_QSCRIPTEVENTS_H

#include <functional>
#include <vector>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>
#include <lua.hpp>

class QEventBridge;
class QWebFrame;

// The Lua functions a script attaches to the page's nodes as event
// listeners (element:addEventListener(type, f), element.onclick = f). Each
// function is numbered on its first use and has one JavaScript listener in
// the page, which calls back through this object at once, while the event
// is being dispatched: the Lua function runs with a table of the event's
// plain properties (numbers, strings, booleans) and the methods
// preventDefault, stopPropagation and stopImmediatePropagation, which the
// JavaScript listener applies to the event once the function has returned.
//
// A QEventBridge is published in the frame's window when a listener is
// made; each call carries a token that only the listeners know, so the
// page's own scripts reach the script's functions only as any listener is
// reached: through events on the nodes they listen to.
class QScriptEvents : public QObject {
public:
    // Runs the Lua function in the registry at reference with the one value
    // push leaves; after runs once it has returned.
    using Run = std::function<void(int reference, const std::function<void(lua_State*)>& push,
                                   const std::function<void()>& after)>;

    QScriptEvents(QWebFrame* frame, Run run, QObject* parent);

    // A JavaScript expression of the listener for the Lua function at index
    // (the same function, the same listener).
    QString Listener(lua_State* lua, int index);

private:
    // Called by a listener: {"prevent", "stop", "stopNow"} as the Lua
    // function asked; nothing for a wrong token or number.
    QVariantMap Fire(const QString& token, int listener, const QVariantMap& event);

    QPointer<QWebFrame> frame;
    QPointer<QEventBridge> bridge;
    Run run;
    const QString token;
    // Registry references of the functions, by number.
    std::vector<int> functions;
};

#endif
