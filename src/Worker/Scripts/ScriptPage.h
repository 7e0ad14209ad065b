#ifndef ORVO_WORKER_SCRIPTS_SCRIPTPAGE_H
#define ORVO_WORKER_SCRIPTS_SCRIPTPAGE_H

#include <functional>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPair>
#include <QPoint>
#include <QPointF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <lua.hpp>

#include "Network/QMyNetworkAccessManager.h"
#include "Page/PagePicture.h"

// The page a script drives, as each engine gives it: what the Lua layer
// (QScriptRunner and the splash object's method groups) asks of a page,
// and nothing of how an engine does it. A call answers at once, but
// Navigate and SetContent, whose end Loaded tells, never before the call
// has returned.
class ScriptPage : public QObject {
    Q_OBJECT

public:
    struct Navigation {
        QUrl url;
        // The address the document is laid out with; empty: url.
        QUrl base;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool post = false;
        QByteArray body;
    };

    // Runs the Lua function in the registry at reference with the one value
    // push leaves; after runs once it has returned.
    using Callback = std::function<void(int reference, const std::function<void(lua_State*)>& push,
                                        const std::function<void()>& after)>;

    explicit ScriptPage(QObject* parent) : QObject(parent) {}

    // The engine's name, as requests choose it ("webkit", "chromium").
    virtual const char* Engine() const = 0;
    // Whether the page has gone (closed with its request): nothing more
    // may be asked of it.
    virtual bool Gone() const = 0;

    // Starts loading navigation's document.
    virtual void Navigate(const Navigation& navigation) = 0;
    // Lays data of type out as the document, at base; the error text of
    // content the engine cannot lay out so (nothing is loaded then, and
    // Loaded does not follow), empty when it started.
    virtual QString SetContent(const QByteArray& data, const QString& type, const QUrl& base) = 0;
    virtual bool FileUrlsAllowed() const = 0;
    // While locked, the page's own navigations are refused. Setting it
    // gives the error text of an engine that cannot lock (empty when set).
    virtual bool NavigationLocked() const = 0;
    virtual QString SetNavigationLocked(bool locked) = 0;

    virtual QUrl Url() = 0;
    virtual QString Html() = 0;
    // Runs snippet in the page's global scope: {ok: true, value} ({ok:
    // true} alone when it has no value) or, for an exception, {ok: false,
    // name, message, text} (see PageJavaScript).
    virtual QVariantMap Evaluate(const QString& snippet) = 0;

    // The page's switches (js_enabled, images_enabled, ...): whether name
    // is one, its state, and setting it (the error text of a state the
    // engine cannot take; empty when set).
    virtual bool HasSwitch(const QString& name) const = 0;
    virtual bool Switch(const QString& name) = 0;
    virtual QString SetSwitch(const QString& name, bool on) = 0;
    // How long the page waits on a silent sub-resource; 0: for ever.
    virtual int ResourceTimeoutMs() const = 0;
    virtual void SetResourceTimeoutMs(int ms) = 0;
    virtual QPoint ScrollPosition() = 0;
    virtual void SetScrollPosition(const QPoint& position) = 0;

    virtual QSize ViewportSize() = 0;
    virtual void SetViewportSize(const QSize& size) = 0;
    // The size of the document laid out at the viewport's width.
    virtual QSize ContentsSize() = 0;
    // The encoded picture; empty when nothing is left to draw, with error
    // set when it could not be made.
    virtual QByteArray Picture(const PagePicture::Request& request, QString& error) = 0;

    enum class Mouse { Click, Hover, Press, Release };
    virtual void SendMouse(Mouse action, const QPointF& at) = 0;
    // Types input into what has the focus: a key sequence when keys is
    // set, else text as it is; the error text of input that cannot be
    // typed, empty when typed.
    virtual QString Type(const QString& input, bool keys) = 0;

    // Sends request aside from the page, whose document stays: a POST of
    // *body, or a GET when body is null; with the page's cookies, user
    // agent, headers and proxy, and its filters. The reply is the caller's;
    // its finished signal tells its end.
    virtual QNetworkReply* FetchAside(QNetworkRequest request, const QByteArray* body) = 0;

    // The User-Agent of the page's requests from now on, and headers added
    // to each of them (a header that could split a request fails the
    // page's next load, as a request's own would).
    virtual void SetUserAgent(const QString& agent) = 0;
    virtual void SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers) = 0;

    // The page's network activity since the script began, or since the
    // log was last reset, as an HTTP Archive (HAR 1.2), with the bodies of
    // responses when response_body_enabled was on.
    virtual QJsonObject NetworkArchive() = 0;
    virtual void ResetNetworkLog() = 0;

    // Each response of the main document since the latest navigation, a
    // redirect's included: {"request": {"method", "url"}, "response":
    // {"url", "status", "statusText", "headers": [{"name", "value"}]}}.
    virtual QJsonArray History() = 0;
    // An entry of History.
    static QJsonObject HistoryEntry(const QString& method, const QString& url, int status, const QString& reason,
                                    const QJsonArray& headers);

    // The page's cookies, each {"name", "value", "domain", "path",
    // "expires" (ISO 8601 UTC, or null for a session cookie), "httpOnly",
    // "secure"}.
    virtual QJsonArray Cookies() = 0;
    // Adds a cookie of those fields (a "domain" given as a URL is its
    // host; none is the page's host, or the next page's while the page has
    // none); false, with why, for one without a name or with an unusable
    // field.
    virtual bool AddCookie(const QJsonObject& cookie, QString& error) = 0;
    // Removes the cookies named name (any when empty) that would be sent
    // to url (any when empty); returns how many went.
    virtual int RemoveCookies(const QString& name, const QUrl& url) = 0;

    // JavaScript run in each new document before its own, from now on;
    // ResetAutoloads forgets all.
    virtual void AddAutoload(const QString& source) = 0;
    virtual void ResetAutoloads() = 0;
    // What a script's callbacks see of the page's network, on the worker's
    // thread as it happens. Only the hooks set cost the page anything.
    using RequestDecision = QMyNetworkAccessManager::RequestDecision;
    struct NetworkHooks {
        // A request of the page's before it goes out, described as
        // RequestDescription says: the hook may change request's URL and
        // headers, and decides what becomes of it.
        std::function<void(const QJsonObject& described, QNetworkRequest& request, RequestDecision& decision)>
            request;
        // A response whose headers came: {url, status, headers = {name =
        // value}, info (HAR), request (described)}; abort drops it.
        std::function<void(const QJsonObject& described, const std::function<void()>& abort)> headers;
        // A response that ended, described as for headers and with "ok";
        // body is its body when the request's hook asked to keep it (or
        // response_body_enabled is on), else null.
        std::function<void(const QJsonObject& described, const QByteArray* body, const QString& type)> finished;
    };
    virtual void SetNetworkHooks(const NetworkHooks& hooks) = 0;
    // A request as the hooks describe it: {url, method, headers = {name =
    // value}, info (the request in HAR's shape, with cookies)}.
    static QJsonObject RequestDescription(const QString& method, const QUrl& url,
                                          const QList<QPair<QByteArray, QByteArray>>& headers,
                                          const QList<QNetworkCookie>& cookies);
    // A JavaScript expression of the event listener that calls the Lua
    // function at index of lua's stack through callback (the same function,
    // the same listener); empty when the engine has no such listeners.
    virtual QString Listener(lua_State* lua, int index, const Callback& callback) = 0;

signals:
    // The document that Navigate or SetContent started has loaded: ok when
    // the engine loaded it, failure the script's reason when it failed
    // ("http404", "network3", "render_error"; empty when it did not).
    void Loaded(bool ok, const QString& failure);
    // The document's address changed.
    void UrlChanged();
};

#endif
