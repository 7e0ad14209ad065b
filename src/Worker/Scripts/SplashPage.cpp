#include "Scripts/SplashPage.h"

#include <QDateTime>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringList>
#include <qwebkitglobal.h>
#include <sys/resource.h>

#include "Page/PagePicture.h"
#include "Scripts/LuaCall.h"
#include "Scripts/LuaValues.h"
#include "Scripts/QScriptRunner.h"

const luaL_Reg SplashPage::Methods[] = {{"get_viewport_size", &SplashPage::GetViewportSize},
                                         {"set_viewport_size", &SplashPage::SetViewportSize},
                                         {"set_viewport_full", &SplashPage::SetViewportFull},
                                         {"png", &SplashPage::Png},
                                         {"jpeg", &SplashPage::Jpeg},
                                         {"set_content", &SplashPage::SetContent},
                                         {"autoload", &SplashPage::Autoload},
                                         {"autoload_reset", &SplashPage::AutoloadReset},
                                         {"lock_navigation", &SplashPage::LockNavigation},
                                         {"unlock_navigation", &SplashPage::UnlockNavigation},
                                         {"get_version", &SplashPage::GetVersion},
                                         {"get_perf_stats", &SplashPage::GetPerfStats},
                                         {"mouse_click", &SplashPage::MouseClick},
                                         {"mouse_hover", &SplashPage::MouseHover},
                                         {"mouse_press", &SplashPage::MousePress},
                                         {"mouse_release", &SplashPage::MouseRelease},
                                         {"send_text", &SplashPage::SendText},
                                         {"send_keys", &SplashPage::SendKeys},
                                         {nullptr, nullptr}};

int SplashPage::GetViewportSize(lua_State* lua) {
    const QSize size = QScriptRunner::Self(lua)->page->ViewportSize();
    lua_pushinteger(lua, size.width());
    lua_pushinteger(lua, size.height());
    return 2;
}

int SplashPage::SetViewportSize(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const lua_Number width = luaL_checknumber(lua, 2);
    const lua_Number height = luaL_checknumber(lua, 3);
    const int most = PagePicture::MaxWidth;
    if (!(width >= 1 && width <= most && height >= 1 && height <= most)) {
        return LuaCall::RaiseApiError(
            lua, QStringLiteral("set_viewport_size: each side must be from 1 to %1").arg(most));
    }
    self->page->SetViewportSize(QSize(static_cast<int>(width), static_cast<int>(height)));
    return 0;
}

int SplashPage::SetViewportFull(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const QSize contents = self->page->ContentsSize();
    const QSize size(qBound(1, contents.width(), static_cast<int>(PagePicture::MaxWidth)),
                     qBound(1, contents.height(), static_cast<int>(PagePicture::MaxHeight)));
    self->page->SetViewportSize(size);
    lua_pushinteger(lua, size.width());
    lua_pushinteger(lua, size.height());
    return 2;
}

int SplashPage::Png(lua_State* lua) {
    return Picture(lua, false);
}

int SplashPage::Jpeg(lua_State* lua) {
    return Picture(lua, true);
}

int SplashPage::Picture(lua_State* lua, bool jpeg) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    PagePicture::Request request;
    request.width = static_cast<int>(arguments.Number("width", 1, 0, 1, PagePicture::MaxWidth));
    request.height = static_cast<int>(arguments.Number("height", 2, 0, 1, PagePicture::MaxHeight));
    request.whole = arguments.Flag("render_all", 3, false);
    CheckScaleMethod(lua, arguments, 4);
    request.jpeg = jpeg;
    request.quality = jpeg ? static_cast<int>(arguments.Number("quality", 5, 75, 0, 100)) : request.quality;
    const int region = arguments.Push("region", jpeg ? 6 : 5);
    if (!lua_isnil(lua, region)) {
        luaL_checktype(lua, region, LUA_TTABLE);
        int sides[4] = {0, 0, 0, 0};
        for (int k = 0; k < 4; ++k) {
            lua_rawgeti(lua, region, k + 1);
            sides[k] = static_cast<int>(luaL_checknumber(lua, -1));
            lua_pop(lua, 1);
        }
        request.region = QRect(QPoint(sides[0], sides[1]), QPoint(sides[2] - 1, sides[3] - 1));
    }
    return PushPicture(lua, self->page, request);
}

// Pictures are scaled as raster images whichever method is asked for.
void SplashPage::CheckScaleMethod(lua_State* lua, const LuaCall& arguments, int position) {
    const QString method = arguments.Text("scale_method", position, false);
    if (!method.isEmpty() && method != QLatin1String("raster") && method != QLatin1String("vector")) {
        LuaCall::RaiseApiError(lua, QStringLiteral("scale_method must be 'raster' or 'vector'"));
    }
}

int SplashPage::PushPicture(lua_State* lua, ScriptPage* page, const PagePicture::Request& request) {
    QString error;
    const QByteArray bytes = page->Picture(request, error);
    if (!error.isEmpty()) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("the image could not be encoded: ") + error);
    }
    if (bytes.isEmpty()) {
        lua_pushnil(lua);
        return 1;
    }
    LuaValues::PushBinary(lua, bytes, request.jpeg ? QStringLiteral("image/jpeg") : QStringLiteral("image/png"));
    return 1;
}

// Lays data out as the page's document and waits until it has loaded.
int SplashPage::SetContent(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    const QByteArray data = arguments.Text("data", 1, true).toUtf8();
    QString type = arguments.Text("mime_type", 2, false);
    const QUrl base(arguments.Text("baseurl", 3, false));
    QScriptRunner::Task& task = self->Awaits(lua, QScriptRunner::Awaiting::Load);
    const QString refused =
        self->page->SetContent(data, type.isEmpty() ? QStringLiteral("text/html; charset=utf-8") : type, base);
    if (!refused.isEmpty()) {
        self->Idle(task);
        return LuaCall::RaiseApiError(lua, QStringLiteral("set_content: ") + refused);
    }
    return lua_yield(lua, 0);
}

// JavaScript for every document from now on: source itself, or fetched
// from url (aside from the page; the call waits for it and returns nil
// and why when the fetch fails).
int SplashPage::Autoload(lua_State* lua) {
    QScriptRunner* self = QScriptRunner::Self(lua);
    const LuaCall arguments(lua);
    QString source = arguments.Text("source", 1, false);
    QUrl url(arguments.Text("url", 2, false));
    // The first argument is the source or, when it is one http or https
    // URL (as JavaScript, a label and a comment), where to fetch it.
    static const QRegularExpression address(QStringLiteral("^https?://\\S+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (url.isEmpty() && address.match(source).hasMatch()) {
        url = QUrl(source);
        source.clear();
    }
    if (source.isEmpty() == url.isEmpty()) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("autoload: give source or url"));
    }
    if (!source.isEmpty()) {
        self->page->AddAutoload(source);
        lua_pushboolean(lua, 1);
        return 1;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    const quint64 id = self->Awaits(lua, QScriptRunner::Awaiting::Fetch).id;
    QNetworkReply* reply = self->page->FetchAside(request, nullptr);
    QObject::connect(reply, &QNetworkReply::finished, self, [self, reply, id]() {
        reply->deleteLater();
        QScriptRunner::Task* task = self->Find(id);
        if (task == nullptr || task->awaiting != QScriptRunner::Awaiting::Fetch) {
            return;
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::NoError || status >= 400) {
            const QString why = reply->errorString();
            return self->ResumeLater(*task, [why](lua_State* inner) {
                lua_pushnil(inner);
                LuaValues::Push(inner, QJsonValue(why));
                return 2;
            });
        }
        self->page->AddAutoload(QString::fromUtf8(reply->readAll()));
        self->ResumeLater(*task, [](lua_State* inner) {
            lua_pushboolean(inner, 1);
            return 1;
        });
    });
    return lua_yield(lua, 0);
}

int SplashPage::AutoloadReset(lua_State* lua) {
    QScriptRunner::Self(lua)->page->ResetAutoloads();
    return 0;
}

int SplashPage::LockNavigation(lua_State* lua) {
    return LockNavigationTo(lua, true);
}

int SplashPage::UnlockNavigation(lua_State* lua) {
    return LockNavigationTo(lua, false);
}

int SplashPage::LockNavigationTo(lua_State* lua, bool locked) {
    const QString refused = QScriptRunner::Self(lua)->page->SetNavigationLocked(locked);
    return refused.isEmpty() ? 0 : LuaCall::RaiseApiError(lua, refused);
}

int SplashPage::GetVersion(lua_State* lua) {
    QScriptRunner::Self(lua);
    LuaValues::Push(lua, QJsonValue(QJsonObject{{"splash", QStringLiteral("%1.%2").arg(ApiMajor).arg(ApiMinor)},
                                                {"major", ApiMajor},
                                                {"minor", ApiMinor},
                                                {"orvo", ORVO_VERSION},
                                                {"qt", QString::fromLatin1(qVersion())},
                                                {"webkit", qWebKitVersion()},
                                                {"lua", LUA_RELEASE}}));
    return 1;
}

int SplashPage::GetPerfStats(lua_State* lua) {
    QScriptRunner::Self(lua);
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
                       + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    // The kernel counts the peak in KiB; the reference gives it in bytes.
    LuaValues::Push(lua, QJsonValue(QJsonObject{{"maxrss", static_cast<double>(usage.ru_maxrss) * 1024},
                                                {"cputime", cpu},
                                                {"walltime", QDateTime::currentMSecsSinceEpoch() / 1000.0}}));
    return 1;
}

namespace {

int SendMouse(lua_State* lua, ScriptPage* page, ScriptPage::Mouse what) {
    const LuaCall arguments(lua);
    const double x = arguments.Number("x", 1, -1, 0, 1e6);
    const double y = arguments.Number("y", 2, -1, 0, 1e6);
    if (x < 0 || y < 0) {
        return LuaCall::RaiseApiError(lua, QStringLiteral("the mouse needs x and y"));
    }
    page->SendMouse(what, QPointF(x, y));
    return 0;
}

} // namespace

int SplashPage::MouseClick(lua_State* lua) {
    return SendMouse(lua, QScriptRunner::Self(lua)->page, ScriptPage::Mouse::Click);
}

int SplashPage::MouseHover(lua_State* lua) {
    return SendMouse(lua, QScriptRunner::Self(lua)->page, ScriptPage::Mouse::Hover);
}

int SplashPage::MousePress(lua_State* lua) {
    return SendMouse(lua, QScriptRunner::Self(lua)->page, ScriptPage::Mouse::Press);
}

int SplashPage::MouseRelease(lua_State* lua) {
    return SendMouse(lua, QScriptRunner::Self(lua)->page, ScriptPage::Mouse::Release);
}

int SplashPage::SendText(lua_State* lua) {
    Type(lua, QScriptRunner::Self(lua)->page, LuaCall(lua).Text("text", 1, true), false);
    return 0;
}

int SplashPage::SendKeys(lua_State* lua) {
    Type(lua, QScriptRunner::Self(lua)->page, LuaCall(lua).Text("keys", 1, true), true);
    return 0;
}

void SplashPage::Type(lua_State* lua, ScriptPage* page, const QString& input, bool keys) {
    const QString why = page->Type(input, keys);
    if (!why.isEmpty()) {
        LuaCall::RaiseApiError(lua, QLatin1String(keys ? "send_keys: " : "send_text: ") + why);
    }
}
