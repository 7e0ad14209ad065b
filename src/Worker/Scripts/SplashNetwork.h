#ifndef ORVO_WORKER_SCRIPTS_SPLASHNETWORK_H
#define ORVO_WORKER_SCRIPTS_SPLASHNETWORK_H

#include <functional>

#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <lua.hpp>

#include "Scripts/QScriptRunner.h"
#include "Scripts/ScriptPage.h"

class QNetworkReply;

// The splash object's methods about the network: the user agent and
// headers, cookies, history and HAR, fetches aside from the page
// (http_get, http_post), and the request and response callbacks. Each
// takes the object's QScriptRunner from its upvalue.
class SplashNetwork {
public:
    static const luaL_Reg Methods[];

    // What the page's hooks call: the script's on_request callback for a
    // request, its response callbacks for a response (see
    // ScriptPage::NetworkHooks).
    static void OnPageRequest(QScriptRunner* self, const QJsonObject& described, QNetworkRequest& request,
                              ScriptPage::RequestDecision& decision);
    static void OnResponseHeadersCame(QScriptRunner* self, const QJsonObject& described,
                                      const std::function<void()>& abort);
    static void OnResponseFinished(QScriptRunner* self, const QJsonObject& described, const QByteArray* body,
                                   const QString& type);

private:
    static int SetUserAgent(lua_State* lua);
    static int SetCustomHeaders(lua_State* lua);
    static int GetCookies(lua_State* lua);
    static int ClearCookies(lua_State* lua);
    static int AddCookie(lua_State* lua);
    static int InitCookies(lua_State* lua);
    static int DeleteCookies(lua_State* lua);
    // Adds the cookie table at index; raises an error for an unusable one.
    static void AddCookieAt(QScriptRunner* self, lua_State* lua, int index);
    static int History(lua_State* lua);
    static int Har(lua_State* lua);
    static int HarReset(lua_State* lua);
    static int HttpGet(lua_State* lua);
    static int HttpPost(lua_State* lua);
    static int Fetch(lua_State* lua, bool post);
    static void PushResponse(lua_State* lua, QNetworkReply* reply, const QString& method);
    static int OnRequest(lua_State* lua);
    static int OnResponseHeaders(lua_State* lua);
    static int OnResponse(lua_State* lua);
    static int OnRequestReset(lua_State* lua);
    static int OnResponseHeadersReset(lua_State* lua);
    static int OnResponseReset(lua_State* lua);
    // Keeps the function argument of a callback setter in reference.
    static int SetCallback(lua_State* lua, int QScriptRunner::*reference);
    static int ResetCallback(lua_State* lua, int QScriptRunner::*reference);
    // Gives the page a hook for each callback set, and none for the others.
    static void Hook(QScriptRunner* self);
};

#endif
