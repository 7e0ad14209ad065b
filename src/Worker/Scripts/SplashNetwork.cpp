#include "Scripts/SplashNetwork.h"

#include <cmath>

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkReply>
#include <QPointer>

#include "Network/QNetworkLog.h"
#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"

namespace {

// t[key] for a header table t: the value of the header named key in any
// case, as HTTP names compare.
int HeaderLookup(lua_State* lua) {
    if (lua_type(lua, 2) != LUA_TSTRING) {
        return 0;
    }
    const QString wanted = LuaValues::ToText(lua, 2);
    lua_pushnil(lua);
    while (lua_next(lua, 1) != 0) {
        if (lua_type(lua, -2) == LUA_TSTRING && LuaValues::ToText(lua, -2).compare(wanted, Qt::CaseInsensitive) == 0) {
            return 1;
        }
        lua_pop(lua, 1);
    }
    return 0;
}

// Pushes object as a Lua table whose headers table finds a header by its
// name in any case.
void PushWithHeaders(lua_State* lua, const QJsonObject& object) {
    LuaValues::Push(lua, QJsonValue(object));
    lua_getfield(lua, -1, "headers");
    if (lua_istable(lua, -1)) {
        lua_newtable(lua);
        lua_pushcfunction(lua, &HeaderLookup);
        lua_setfield(lua, -2, "__index");
        lua_setmetatable(lua, -2);
    }
    lua_pop(lua, 1);
}

} // namespace

const luaL_Reg SplashNetwork::Methods[] = {{"set_user_agent", &SplashNetwork::SetUserAgent},
                                            {"set_custom_headers", &SplashNetwork::SetCustomHeaders},
                                            {"get_cookies", &SplashNetwork::GetCookies},
                                            {"clear_cookies", &SplashNetwork::ClearCookies},
                                            {"add_cookie", &SplashNetwork::AddCookie},
                                            {"init_cookies", &SplashNetwork::InitCookies},
                                            {"delete_cookies", &SplashNetwork::DeleteCookies},
                                            {"history", &SplashNetwork::History},
                                            {"har", &SplashNetwork::Har},
                                            {"har_reset", &SplashNetwork::HarReset},
                                            {"http_get", &SplashNetwork::HttpGet},
                                            {"http_post", &SplashNetwork::HttpPost},
                                            {"on_request", &SplashNetwork::OnRequest},
                                            {"on_response_headers", &SplashNetwork::OnResponseHeaders},
                                            {"on_response", &SplashNetwork::OnResponse},
                                            {"on_request_reset", &SplashNetwork::OnRequestReset},
                                            {"on_response_headers_reset", &SplashNetwork::OnResponseHeadersReset},
                                            {"on_response_reset", &SplashNetwork::OnResponseReset},
                                            {nullptr, nullptr}};

int SplashNetwork::SetUserAgent(lua_State* lua) {
    QScriptRunner::Self(lua)->page->SetUserAgent(LuaCall(lua).Text("value", 1, true));
    return 0;
}

int SplashNetwork::SetCustomHeaders(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    luaL_checktype(lua, 2, LUA_TTABLE);
    self->page->SetCustomHeaders(LuaCall::Headers(lua, 2));
    return 0;
}

int SplashNetwork::GetCookies(lua_State* lua) {
    LuaValues::Push(lua, QJsonValue(QScriptRunner::Self(lua)->page->Cookies()));
    return 1;
}

int SplashNetwork::ClearCookies(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    lua_pushinteger(lua, self->page->RemoveCookies(QString(), QUrl()));
    return 1;
}

// Adds the cookie table at index; raises an error for an unusable one.
void SplashNetwork::AddCookieAt(QScriptRunner* self, lua_State* lua, int index) {
    QJsonValue cookie;
    QString error;
    if (!LuaValues::ToJson(lua, index, cookie, error) || !cookie.isObject()
        || !self->page->AddCookie(cookie.toObject(), error)) {
        LuaCall::RaiseApiError(lua, error.isEmpty() ? QStringLiteral("a cookie must be a table") : error);
    }
}

int SplashNetwork::AddCookie(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    static const char* const Fields[] = {"name", "value", "path", "domain", "expires", "httpOnly", "secure"};
    lua_newtable(lua);
    const int cookie = lua_gettop(lua);
    for (int k = 0; k < 7; ++k) {
        arguments.Push(Fields[k], k + 1);
        lua_setfield(lua, cookie, Fields[k]);
    }
    AddCookieAt(self, lua, cookie);
    return 0;
}

int SplashNetwork::InitCookies(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    luaL_checktype(lua, 2, LUA_TTABLE);
    self->page->RemoveCookies(QString(), QUrl());
    for (int k = 1;; ++k) {
        lua_rawgeti(lua, 2, k);
        if (lua_isnil(lua, -1)) {
            return 0;
        }
        AddCookieAt(self, lua, lua_gettop(lua));
        lua_pop(lua, 1);
    }
}

int SplashNetwork::DeleteCookies(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    const QString name = arguments.Text("name", 1, false);
    const QUrl url(arguments.Text("url", 2, false));
    // Neither a name nor a URL deletes nothing (clear_cookies deletes all).
    lua_pushinteger(lua, name.isEmpty() && url.isEmpty() ? 0 : self->page->RemoveCookies(name, url));
    return 1;
}

int SplashNetwork::History(lua_State* lua) {
    LuaValues::Push(lua, QJsonValue(QScriptRunner::Self(lua)->page->History()));
    return 1;
}

int SplashNetwork::Har(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const bool reset = LuaCall(lua).Flag("reset", 1, false);
    LuaValues::Push(lua, QJsonValue(self->page->NetworkArchive()));
    if (reset) {
        self->page->ResetNetworkLog();
    }
    return 1;
}

int SplashNetwork::HarReset(lua_State* lua) {
    QScriptRunner::Self(lua)->page->ResetNetworkLog();
    return 0;
}

int SplashNetwork::HttpGet(lua_State* lua) {
    return Fetch(lua, false);
}

int SplashNetwork::HttpPost(lua_State* lua) {
    return Fetch(lua, true);
}

// Fetches a URL aside from the page (its cookies and proxy, not its
// document) and waits for the whole response.
int SplashNetwork::Fetch(lua_State* lua, bool post) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    const QString address = arguments.Text("url", 1, true);
    const QUrl url(address);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        // Answered as a request that failed, never sent.
        const QString method = post ? QStringLiteral("POST") : QStringLiteral("GET");
        PushWithHeaders(lua, QJsonObject{{"url", address},
                                         {"ok", false},
                                         {"error", QStringLiteral("the URL must be an absolute http or https URL")},
                                         {"headers", QJsonObject()},
                                         {"request", QJsonObject{{"url", address}, {"method", method}}}});
        LuaValues::PushBinary(lua, QByteArray(), QStringLiteral("application/octet-stream"));
        lua_setfield(lua, -2, "body");
        return 1;
    }
    QNetworkRequest request(url);
    for (const auto& header : LuaCall::Headers(lua, arguments.Push("headers", 3))) {
        request.setRawHeader(header.first, header.second);
    }
    const bool follow = arguments.Flag("follow_redirects", 2, true);
    const QByteArray body = post ? arguments.Text("body", 4, false).toUtf8() : QByteArray();
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         follow ? QNetworkRequest::NoLessSafeRedirectPolicy : QNetworkRequest::ManualRedirectPolicy);
    if (post && !request.header(QNetworkRequest::ContentTypeHeader).isValid()) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    }
    const quint64 id = self->Awaits(lua, QScriptRunner::Awaiting::Fetch).id;
    QNetworkReply* reply = self->page->FetchAside(request, post ? &body : nullptr);
    const QString method = post ? QStringLiteral("POST") : QStringLiteral("GET");
    QObject::connect(reply, &QNetworkReply::finished, self, [self, reply, method, id]() {
        QScriptRunner::Task* task = self->Find(id);
        if (task == nullptr || task->awaiting != QScriptRunner::Awaiting::Fetch) {
            reply->deleteLater();
            return;
        }
        // The reply is read when the script resumes, and let go then.
        const QPointer<QNetworkReply> kept(reply);
        self->ResumeLater(*task, [kept, method](lua_State* inner) {
            if (kept == nullptr) {
                lua_pushnil(inner);
                return 1;
            }
            PushResponse(inner, kept, method);
            kept->deleteLater();
            return 1;
        });
    });
    return lua_yield(lua, 0);
}

// A fetch's response: {url, status, ok, headers = {name = value}, body (a
// binary object), request = {url, method}, and error when it failed}.
void SplashNetwork::PushResponse(lua_State* lua, QNetworkReply* reply, const QString& method) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    QJsonObject headers;
    for (const QNetworkReply::RawHeaderPair& header : reply->rawHeaderPairs()) {
        headers.insert(QString::fromLatin1(header.first), QString::fromUtf8(header.second));
    }
    QJsonObject response{{"url", reply->url().toString()},
                         {"ok", reply->error() == QNetworkReply::NoError && status.toInt() < 400},
                         {"headers", headers},
                         {"info", QNetworkLog::HarResponseOf(reply)},
                         {"request", ScriptPage::RequestDescription(method, reply->request().url(),
                                                                    QNetworkLog::RequestHeaders(reply->request()), {})}};
    if (status.isValid()) {
        response.insert("status", status.toInt());
    }
    if (reply->error() != QNetworkReply::NoError) {
        response.insert("error", reply->errorString());
    }
    PushWithHeaders(lua, response);
    const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    LuaValues::PushBinary(lua, reply->readAll(), type.isEmpty() ? QStringLiteral("application/octet-stream") : type);
    lua_setfield(lua, -2, "body");
}

namespace {

// What a request or response object of a callback reaches, while the
// callback runs: a full userdata of Lua's, emptied once it returns, so that
// an object kept past its callback does nothing.
struct CallbackSlot {
    QNetworkRequest* request;
    ScriptPage::RequestDecision* decision;
    const std::function<void()>* abort;
};

CallbackSlot* Slot(lua_State* lua) {
    CallbackSlot* slot = static_cast<CallbackSlot*>(lua_touserdata(lua, lua_upvalueindex(1)));
    if (slot->request == nullptr && slot->abort == nullptr) {
        LuaCall::RaiseApiError(lua, QStringLiteral("the request's callback has returned: it can be changed no more"));
    }
    return slot;
}

// Methods of a request object; self is the object (request:abort()).
int RequestAbort(lua_State* lua) {
    Slot(lua)->decision->abort = true;
    return 0;
}

int RequestSetUrl(lua_State* lua) {
    CallbackSlot* slot = Slot(lua);
    const QUrl url(LuaValues::ToText(lua, 2));
    if (!url.isValid() || url.isRelative()) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("set_url: the URL must be absolute"));
    }
    slot->request->setUrl(url);
    return 0;
}

int RequestSetHeader(lua_State* lua) {
    CallbackSlot* slot = Slot(lua);
    slot->request->setRawHeader(LuaValues::ToText(lua, 2).toUtf8(), LuaValues::ToText(lua, 3).toUtf8());
    return 0;
}

int RequestSetTimeout(lua_State* lua) {
    CallbackSlot* slot = Slot(lua);
    const lua_Number seconds = luaL_checknumber(lua, 2);
    if (!(seconds >= 0 && seconds <= 3600)) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("set_timeout: from 0 to 3600 seconds (0: none)"));
    }
    slot->decision->timeoutMs = static_cast<int>(seconds * 1000);
    return 0;
}

int RequestEnableResponseBody(lua_State* lua) {
    Slot(lua)->decision->keepBody = true;
    return 0;
}

// request:set_proxy{host, port, username, password, type = "HTTP" or "SOCKS5"}.
int RequestSetProxy(lua_State* lua) {
    CallbackSlot* slot = Slot(lua);
    const LuaCall arguments(lua);
    const QString host = arguments.Text("host", 1, true);
    const double port = arguments.Number("port", 2, -1, 1, 65535);
    const QString type = arguments.Text("type", 5, false).toUpper();
    if (host.isEmpty() || port != std::floor(port)
        || !(type.isEmpty() || type == QLatin1String("HTTP") || type == QLatin1String("SOCKS5"))) {
        return LuaCall::RaiseApiError(
            lua, QStringLiteral("set_proxy: give a host, a whole port from 1 to 65535 and a type HTTP or SOCKS5"));
    }
    slot->decision->proxy =
        QNetworkProxy(type == QLatin1String("SOCKS5") ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy, host,
                      static_cast<quint16>(port), arguments.Text("username", 3, false),
                      arguments.Text("password", 4, false));
    return 0;
}

int ResponseAbort(lua_State* lua) {
    (*Slot(lua)->abort)();
    return 0;
}

// Sets methods into the table on top of the stack, bound to a new slot
// holding contents; returns the slot.
CallbackSlot* BindMethods(lua_State* lua, const CallbackSlot& contents, const luaL_Reg* methods) {
    CallbackSlot* slot = static_cast<CallbackSlot*>(lua_newuserdata(lua, sizeof(CallbackSlot)));
    *slot = contents;
    luaL_setfuncs(lua, methods, 1);
    return slot;
}

const CallbackSlot Emptied{nullptr, nullptr, nullptr};

} // namespace

int SplashNetwork::SetCallback(lua_State* lua, int QScriptRunner::*reference) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    luaL_checktype(lua, 2, LUA_TFUNCTION);
    luaL_unref(lua, LUA_REGISTRYINDEX, self->*reference);
    lua_pushvalue(lua, 2);
    self->*reference = luaL_ref(lua, LUA_REGISTRYINDEX);
    Hook(self);
    return 0;
}

int SplashNetwork::ResetCallback(lua_State* lua, int QScriptRunner::*reference) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    luaL_unref(lua, LUA_REGISTRYINDEX, self->*reference);
    self->*reference = LUA_NOREF;
    Hook(self);
    return 0;
}

int SplashNetwork::OnRequest(lua_State* lua) {
    return SetCallback(lua, &QScriptRunner::onRequest);
}

int SplashNetwork::OnResponseHeaders(lua_State* lua) {
    return SetCallback(lua, &QScriptRunner::onResponseHeaders);
}

int SplashNetwork::OnResponse(lua_State* lua) {
    return SetCallback(lua, &QScriptRunner::onResponse);
}

int SplashNetwork::OnRequestReset(lua_State* lua) {
    return ResetCallback(lua, &QScriptRunner::onRequest);
}

int SplashNetwork::OnResponseHeadersReset(lua_State* lua) {
    return ResetCallback(lua, &QScriptRunner::onResponseHeaders);
}

int SplashNetwork::OnResponseReset(lua_State* lua) {
    return ResetCallback(lua, &QScriptRunner::onResponse);
}

// Gives the page a hook for each callback the script has set, and none
// for the others.
void SplashNetwork::Hook(QScriptRunner* self) {
    const QPointer<QScriptRunner> runner(self);
    ScriptPage::NetworkHooks hooks;
    if (self->onRequest != LUA_NOREF) {
        hooks.request = [runner](const QJsonObject& described, QNetworkRequest& request,
                                 ScriptPage::RequestDecision& decision) {
            if (runner != nullptr) {
                OnPageRequest(runner, described, request, decision);
            }
        };
    }
    if (self->onResponseHeaders != LUA_NOREF) {
        hooks.headers = [runner](const QJsonObject& described, const std::function<void()>& abort) {
            if (runner != nullptr) {
                OnResponseHeadersCame(runner, described, abort);
            }
        };
    }
    if (self->onResponse != LUA_NOREF) {
        hooks.finished = [runner](const QJsonObject& described, const QByteArray* body, const QString& type) {
            if (runner != nullptr) {
                OnResponseFinished(runner, described, body, type);
            }
        };
    }
    self->page->SetNetworkHooks(hooks);
}

void SplashNetwork::OnPageRequest(QScriptRunner* self, const QJsonObject& described, QNetworkRequest& request,
                                  ScriptPage::RequestDecision& decision) {
    static const luaL_Reg methods[] = {{"abort", RequestAbort},
                                       {"set_url", RequestSetUrl},
                                       {"set_header", RequestSetHeader},
                                       {"set_timeout", RequestSetTimeout},
                                       {"set_proxy", RequestSetProxy},
                                       {"enable_response_body", RequestEnableResponseBody},
                                       {nullptr, nullptr}};
    CallbackSlot* slot = nullptr;
    const CallbackSlot contents{&request, &decision, nullptr};
    self->RunCallback(self->onRequest, [&](lua_State* callback) {
        PushWithHeaders(callback, described);
        slot = BindMethods(callback, contents, methods);
    }, [&slot]() { *slot = Emptied; });
}

void SplashNetwork::OnResponseHeadersCame(QScriptRunner* self, const QJsonObject& described,
                                          const std::function<void()>& abort) {
    static const luaL_Reg methods[] = {{"abort", ResponseAbort}, {nullptr, nullptr}};
    CallbackSlot* slot = nullptr;
    self->RunCallback(self->onResponseHeaders, [&](lua_State* callback) {
        PushWithHeaders(callback, described);
        slot = BindMethods(callback, CallbackSlot{nullptr, nullptr, &abort}, methods);
    }, [&slot]() { *slot = Emptied; });
}

void SplashNetwork::OnResponseFinished(QScriptRunner* self, const QJsonObject& described, const QByteArray* body,
                                       const QString& type) {
    self->RunCallback(self->onResponse, [&](lua_State* callback) {
        PushWithHeaders(callback, described);
        if (body != nullptr) {
            LuaValues::PushBinary(callback, *body, type);
            lua_setfield(callback, -2, "body");
        }
    });
}
