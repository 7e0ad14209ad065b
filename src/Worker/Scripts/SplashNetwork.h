#ifndef ORVO_WORKER_SCRIPTS_SPLASHNETWORK_H
#define ORVO_WORKER_SCRIPTS_SPLASHNETWORK_H

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <lua.hpp>

#include "Network/QMyNetworkAccessManager.h"
#include "Scripts/QScriptRunner.h"

class QNetworkReply;
class QPageCookieJar;
class QWebKitScriptPage;

// The splash object's methods about the network: the user agent and
// headers, cookies, history and HAR, fetches aside from the page
// (http_get, http_post), and the request and response callbacks. Each
// takes the object's QScriptRunner from its upvalue.
class SplashNetwork {
public:
    static const luaL_Reg Methods[];

    // What the network manager's hooks call: the script's on_request
    // callback for request, and its response callbacks for reply; cookies
    // is the page's jar.
    static void OnPageRequest(QScriptRunner* self, QPageCookieJar* cookies, QNetworkRequest& request,
                              QNetworkAccessManager::Operation operation,
                              QMyNetworkAccessManager::RequestDecision& decision);
    static void OnPageReply(QScriptRunner* self, QPageCookieJar* cookies, QNetworkReply* reply,
                            QNetworkAccessManager::Operation operation, const QUrl& asked);

private:
    // The runner's page, which these methods need to be a WebKit one;
    // raises an error naming the engine for any other.
    static QWebKitScriptPage& Web(lua_State* lua, QScriptRunner* self);
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
};

#endif
