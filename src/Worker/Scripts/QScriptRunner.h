#ifndef ORVO_WORKER_SCRIPTS_QSCRIPTRUNNER_H
#define ORVO_WORKER_SCRIPTS_QSCRIPTRUNNER_H

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <QStringList>
#include <QVariantMap>
#include <lua.hpp>

#include "Scripts/LuaState.h"
#include "Scripts/ScriptPage.h"

// Runs one Lua script against one page of either engine (a ScriptPage):
// main(splash, args) in a coroutine of a fresh sandboxed LuaState. A call
// that waits (go, wait, http_get, ...) starts what it waits for and
// yields; the runner resumes the coroutine from the event loop when it
// comes, so that the worker's other pages go on meanwhile.
// Callbacks of call_later and functions of with_timeout run in coroutines
// of their own, which may wait too. The splash object's methods are the
// runner's own (loading, waiting, JavaScript, the result) and the groups
// given with AddMethods (SplashScript gives those of SplashPage,
// SplashNetwork, SplashElements, SplashJavaScript and SplashTimers).
//
// Finished is emitted once: with a detail {"status", "contentType",
// "headers": [[name, value], ...]} and the result's bytes as the body
// (base64, with "encoding": "base64" in the detail, when they hold a NUL:
// the record's body ends at its first), or with {"error": {"type":
// "ScriptError", "info": {"type", "message", "error", "source",
// "line_number"}}} and no body when the script failed, or {"error":
// {"type": "GlobalTimeoutError"}} when the deadline came first (Abandon).
// The script's result: a string is sent as it is (text/plain), a binary
// object as its bytes with its type, anything else as JSON; set_result_*
// change the status, type and headers.
//
// States only move forward: Idle -> Running (and back between Waiting
// and Running while every coroutine waits) -> Done.
class QScriptRunner : public QObject {
    Q_OBJECT

    // The splash object's methods in those classes reach the page, the
    // awaited event and the callbacks here.
    friend class SplashElements;
    friend class SplashJavaScript;
    friend class SplashNetwork;
    friend class SplashPage;
    friend class SplashTimers;

public:
    enum class State { Idle, Running, Waiting, Done };

    // Drives page, which it owns from now on.
    QScriptRunner(ScriptPage* page, QObject* parent);
    ~QScriptRunner() override;

    // Adds a group of the splash object's methods, each called with this
    // runner as its upvalue; before Start.
    void AddMethods(const luaL_Reg* group);

    // Runs source's main with arguments (a JSON object's text, or empty).
    void Start(const QByteArray& source, const QByteArray& arguments, const LuaState::Budget& budget);

    // The request's deadline passed: answers it as timed out.
    void Abandon();
    // Stops for good without answering: the request was answered already.
    void Stop();

    State GetState() const { return state; }

signals:
    void Finished(const QByteArray& detail, const QByteArray& body);

private:
    // What a yielded coroutine waits for.
    enum class Awaiting { Nothing, Load, Timer, Resume, Fetch, Function };

    // One coroutine of the script (main's, a call_later callback's or a
    // with_timeout function's) and what it waits for while yielded. ended
    // runs once when it has returned (true, its values on its stack) or
    // raised (false, the error on top).
    struct Task {
        quint64 id = 0;
        lua_State* thread = nullptr;
        int reference = LUA_NOREF;
        // The task whose with_timeout runs this one, or 0.
        quint64 parent = 0;
        Awaiting awaiting = Awaiting::Nothing;
        bool cancelOnRedirect = false;
        bool cancelOnError = false;
        // wait's time, wait_for_resume's and with_timeout's timeout.
        QTimer waitTimer;
        // wait_for_resume: the page's window property its main sets,
        // looked at every few milliseconds until set or waitTimer fires.
        QTimer resumePoll;
        QString resumeToken;
        std::function<void(Task&, bool)> ended;
    };

    // A callback call_later has not started yet, and its timer object
    // (references in the registry).
    struct Later {
        int callback = LUA_NOREF;
        int object = LUA_NOREF;
    };

    // A new task to run the function at index of from's stack (left
    // there) when the caller resumes it.
    Task& NewTask(lua_State* from, int index, std::function<void(Task&, bool)> ended);
    Task* Find(quint64 id);
    Task* TaskOf(lua_State* thread);
    // lua's task, now waiting for what; raises an error when lua is not a
    // task's coroutine (a callback of on_request, ...), which cannot wait.
    Task& Awaits(lua_State* lua, Awaiting what);
    // The tasks the task's with_timeout runs.
    std::vector<quint64> ChildrenOf(quint64 id) const;
    // Forgets the task and those its with_timeout runs, never to resume.
    void Drop(quint64 id);
    void Resume(quint64 id, int values);
    // Resumes task from the event loop with the values push leaves, never
    // from inside a call of the script.
    template <class Push>
    void ResumeLater(Task& task, Push push) {
        Idle(task);
        const quint64 id = task.id;
        QTimer::singleShot(0, this, [this, id, push]() {
            Task* waiting = Find(id);
            if (state != State::Done && waiting != nullptr) {
                Resume(id, push(waiting->thread));
            }
        });
    }
    void Idle(Task& task);
    void OnLoaded(bool ok, const QString& failure);
    void OnUrlChanged();
    void OnWaitTimer(quint64 id);
    void OnResumePoll(quint64 id);
    void Succeed(lua_State* main);
    void Fail(const QString& kind, const QString& message);
    // Fails with the error value on top of where's stack, of kind unless
    // it is an error object of its own.
    void FailWithError(lua_State* where, const QString& kind);
    void Finish(const QJsonObject& detail, const QByteArray& body);
    void PushSplash(lua_State* thread);
    void PushArguments(lua_State* thread, const QByteArray& arguments);

    static QScriptRunner* Self(lua_State* lua);
    static int Go(lua_State* lua);
    static int Wait(lua_State* lua);
    static int Html(lua_State* lua);
    static int Url(lua_State* lua);
    static int SetResultStatusCode(lua_State* lua);
    static int SetResultContentType(lua_State* lua);
    static int SetResultHeader(lua_State* lua);
    static int GetAttribute(lua_State* lua);
    static int SetAttribute(lua_State* lua);
    static int WaitForResume(lua_State* lua);
    // Runs the callback in reference with the one value push leaves, in a
    // coroutine of its own that may not wait; its error fails the script.
    // after runs once the callback has returned, while what push made is
    // still held.
    void RunCallback(int reference, const std::function<void(lua_State*)>& push,
                     const std::function<void()>& after = {});

    ScriptPage* const page;
    std::unique_ptr<LuaState> lua;
    std::vector<const luaL_Reg*> groups;
    State state = State::Idle;
    // The coroutines, main's first; a task's pointer stays valid while it
    // is in the map.
    std::map<quint64, std::unique_ptr<Task>> tasks;
    quint64 lastTask = 0;
    std::map<int, Later> laters;
    int lastLater = 0;
    int resumeCount = 0;
    // The callbacks of on_request, on_response_headers and on_response.
    int onRequest = LUA_NOREF;
    int onResponseHeaders = LUA_NOREF;
    int onResponse = LUA_NOREF;
    QString source;
    int resultStatus = 200;
    QString resultType;
    QList<QPair<QString, QString>> resultHeaders;
};

#endif
