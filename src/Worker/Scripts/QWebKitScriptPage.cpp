#include "Scripts/QWebKitScriptPage.h"

#include <algorithm>

#include <QNetworkRequest>
#include <QWebFrame>
#include <QWebSettings>

#include "Network/QMyNetworkAccessManager.h"
#include "Network/QNetworkLog.h"
#include "Network/QPageCookieJar.h"
#include "Network/QRecordingReply.h"
#include "Page/PageInput.h"
#include "Page/PageJavaScript.h"
#include "Page/QMyWebPage.h"
#include "Scripts/QEventBridge.h"

namespace {

// The page settings the splash object has as switches.
const std::pair<const char*, QWebSettings::WebAttribute> Settings[] = {
    {"images_enabled", QWebSettings::AutoLoadImages},
    {"js_enabled", QWebSettings::JavascriptEnabled},
    {"private_mode_enabled", QWebSettings::PrivateBrowsingEnabled},
    {"plugins_enabled", QWebSettings::PluginsEnabled},
    {"webgl_enabled", QWebSettings::WebGLEnabled}};

// Switches of the page's network manager.
const std::pair<const char*, std::pair<bool (QMyNetworkAccessManager::*)() const,
                                       void (QMyNetworkAccessManager::*)(bool)>> NetworkSwitches[] = {
    {"response_body_enabled", {&QMyNetworkAccessManager::KeepsBodies, &QMyNetworkAccessManager::KeepBodies}},
    {"http2_enabled", {&QMyNetworkAccessManager::AllowsHttp2, &QMyNetworkAccessManager::AllowHttp2}}};

// Switches of what the engine lacks, and why one cannot be on: they read
// false, and setting one true is refused.
const std::pair<const char*, const char*> Lacking[] = {
    {"indexeddb_enabled", "indexeddb_enabled: the WebKit engine has no IndexedDB"},
    {"html5_media_enabled", "html5_media_enabled: the WebKit engine plays no HTML5 media"},
    {"media_source_enabled", "media_source_enabled: the WebKit engine plays no HTML5 media"},
    {"request_body_enabled", "request_body_enabled: request bodies are not kept in the network log, their sizes are"}};

template <class Table>
const auto* Named(const Table& table, const QString& name) {
    const auto found = std::find_if(std::begin(table), std::end(table),
                                    [&name](const auto& row) { return name == QLatin1String(row.first); });
    return found == std::end(table) ? nullptr : &*found;
}

} // namespace

QWebKitScriptPage::QWebKitScriptPage(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                                     QObject* parent)
    : ScriptPage(parent), page(page), network(network), cookies(cookies) {
    connect(page->mainFrame(), &QWebFrame::loadFinished, this, &QWebKitScriptPage::OnLoadFinished);
    connect(page->mainFrame(), &QWebFrame::urlChanged, this, &ScriptPage::UrlChanged);
    connect(page->mainFrame(), &QWebFrame::javaScriptWindowObjectCleared, this, &QWebKitScriptPage::OnWindowCleared);
}

bool QWebKitScriptPage::Gone() const {
    return page == nullptr || network == nullptr || network->Log() == nullptr || cookies == nullptr;
}

void QWebKitScriptPage::Navigate(const Navigation& navigation) {
    QNetworkRequest request(navigation.url);
    for (const auto& header : navigation.headers) {
        request.setRawHeader(header.first, header.second);
    }
    loading = true;
    cookies->Settle(navigation.url);
    network->ForgetMainReply();
    if (!navigation.base.isEmpty()) {
        return page->LoadWithBase(network, request, navigation.base);
    }
    const auto operation = navigation.post ? QNetworkAccessManager::PostOperation : QNetworkAccessManager::GetOperation;
    page->mainFrame()->load(request, operation, navigation.body);
}

QString QWebKitScriptPage::SetContent(const QByteArray& data, const QString& type, const QUrl& base) {
    loading = true;
    network->ForgetMainReply();
    page->mainFrame()->setContent(data, type, base);
    return QString();
}

void QWebKitScriptPage::OnLoadFinished(bool ok) {
    if (loading && network != nullptr && network->Log() != nullptr) {
        network->Log()->MarkLoaded();
    }
    loading = false;
    emit Loaded(ok, Failure(ok));
}

QString QWebKitScriptPage::Failure(bool ok) const {
    if (network == nullptr) {
        return QStringLiteral("render_error");
    }
    const int status = network->Main().statusCode.toInt();
    if (network->Main().replied && status >= 400) {
        return QStringLiteral("http%1").arg(status);
    }
    if (network->Main().errorCode != 0) {
        return QStringLiteral("network%1").arg(network->Main().errorCode);
    }
    return !ok && !network->Main().replied ? QStringLiteral("render_error") : QString();
}

bool QWebKitScriptPage::FileUrlsAllowed() const {
    return network->FileUrlsAllowed();
}

bool QWebKitScriptPage::NavigationLocked() const {
    return page->NavigationLocked();
}

QString QWebKitScriptPage::SetNavigationLocked(bool locked) {
    page->SetNavigationLocked(locked);
    return QString();
}

QUrl QWebKitScriptPage::Url() {
    return page->mainFrame()->url();
}

QString QWebKitScriptPage::Html() {
    return page->mainFrame()->toHtml();
}

QVariantMap QWebKitScriptPage::Evaluate(const QString& snippet) {
    return PageJavaScript::Evaluate(page->mainFrame(), snippet);
}

bool QWebKitScriptPage::HasSwitch(const QString& name) const {
    return Named(Settings, name) != nullptr || Named(NetworkSwitches, name) != nullptr
           || Named(Lacking, name) != nullptr;
}

bool QWebKitScriptPage::Switch(const QString& name) {
    if (const auto* setting = Named(Settings, name)) {
        return page->settings()->testAttribute(setting->second);
    }
    if (const auto* switched = Named(NetworkSwitches, name)) {
        return (network->*switched->second.first)();
    }
    return false;
}

QString QWebKitScriptPage::SetSwitch(const QString& name, bool on) {
    if (const auto* setting = Named(Settings, name)) {
        page->settings()->setAttribute(setting->second, on);
        if (setting->second == QWebSettings::PrivateBrowsingEnabled) {
            // Out of private mode the page has its localStorage, kept for
            // the script's pages.
            page->settings()->setAttribute(QWebSettings::LocalStorageEnabled, !on);
        }
    } else if (const auto* switched = Named(NetworkSwitches, name)) {
        (network->*switched->second.second)(on);
    } else if (const auto* lacking = Named(Lacking, name)) {
        return on ? QString::fromLatin1(lacking->second) : QString();
    }
    return QString();
}

int QWebKitScriptPage::ResourceTimeoutMs() const {
    return std::max(0, network->ResourceTimeout());
}

void QWebKitScriptPage::SetResourceTimeoutMs(int ms) {
    network->SetResourceTimeout(ms);
}

QPoint QWebKitScriptPage::ScrollPosition() {
    return page->mainFrame()->scrollPosition();
}

void QWebKitScriptPage::SetScrollPosition(const QPoint& position) {
    page->mainFrame()->setScrollPosition(position);
}

QSize QWebKitScriptPage::ViewportSize() {
    return page->viewportSize();
}

void QWebKitScriptPage::SetViewportSize(const QSize& size) {
    page->setViewportSize(size);
}

QSize QWebKitScriptPage::ContentsSize() {
    return page->mainFrame()->contentsSize();
}

QByteArray QWebKitScriptPage::Picture(const PagePicture::Request& request, QString& error) {
    return PagePicture::Take(page, request, error);
}

void QWebKitScriptPage::SendMouse(Mouse action, const QPointF& at) {
    static const PageInput::Mouse actions[] = {PageInput::Mouse::Click, PageInput::Mouse::Hover,
                                               PageInput::Mouse::Press, PageInput::Mouse::Release};
    PageInput::SendMouse(page, actions[static_cast<int>(action)], at);
}

QString QWebKitScriptPage::Type(const QString& input, bool keys) {
    return keys ? PageInput::SendKeys(page, input) : PageInput::SendText(page, input);
}

QNetworkReply* QWebKitScriptPage::FetchAside(QNetworkRequest request, const QByteArray* body) {
    request.setAttribute(QMyNetworkAccessManager::AsideAttribute, true);
    if (!request.hasRawHeader("User-Agent")) {
        request.setHeader(QNetworkRequest::UserAgentHeader, page->userAgentForUrl(request.url()));
    }
    return body != nullptr ? network->post(request, *body) : network->get(request);
}

void QWebKitScriptPage::SetUserAgent(const QString& agent) {
    page->SetUserAgent(agent);
}

void QWebKitScriptPage::SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers) {
    network->SetCustomHeaders(headers);
}

QJsonObject QWebKitScriptPage::NetworkArchive() {
    return network->Log()->Archive(page->mainFrame()->title());
}

void QWebKitScriptPage::ResetNetworkLog() {
    network->Log()->Reset();
}

QJsonArray QWebKitScriptPage::History() {
    QJsonArray entries;
    for (const MainResponse::Response& response : network->Main().history) {
        QJsonArray headers;
        for (const QNetworkReply::RawHeaderPair& header : response.headers) {
            headers.append(QJsonObject{{"name", QString::fromLatin1(header.first)},
                                       {"value", QString::fromUtf8(header.second)}});
        }
        entries.append(HistoryEntry(response.method, response.url, response.status.toInt(), response.reason, headers));
    }
    return entries;
}

QJsonArray QWebKitScriptPage::Cookies() {
    return cookies->ToJson();
}

bool QWebKitScriptPage::AddCookie(const QJsonObject& cookie, QString& error) {
    return cookies->Add(cookie, page->mainFrame()->url(), error);
}

int QWebKitScriptPage::RemoveCookies(const QString& name, const QUrl& url) {
    return cookies->Remove(name, url);
}

void QWebKitScriptPage::AddAutoload(const QString& source) {
    autoloads.append(source);
}

void QWebKitScriptPage::ResetAutoloads() {
    autoloads.clear();
}

void QWebKitScriptPage::OnWindowCleared() {
    for (const QString& source : autoloads) {
        page->mainFrame()->evaluateJavaScript(source);
    }
}

QString QWebKitScriptPage::Listener(lua_State* lua, int index, const Callback& callback) {
    if (!listeners) {
        listeners.reset(new ScriptListeners(callback));
    }
    if (bridge == nullptr) {
        bridge = new QEventBridge(
            [this](const QString& token, int listener, const QVariantMap& event) {
                return listeners->Fire(token, listener, event);
            },
            this);
    }
    // Published again for each listener: a new document has lost it.
    page->mainFrame()->addToJavaScriptWindowObject(QStringLiteral("__orvoEvents"), bridge);
    return listeners->Listener(lua, index, QStringLiteral("window.__orvoEvents"),
                               QStringLiteral("bridge.fire(token, number, plain)"));
}

void QWebKitScriptPage::SetNetworkHooks(const NetworkHooks& given) {
    hooks = given;
    if (network == nullptr) {
        return;
    }
    if (!hooks.request) {
        network->SetRequestHook(nullptr);
    } else {
        network->SetRequestHook([this](QNetworkRequest& request, QNetworkAccessManager::Operation operation,
                                       RequestDecision& decision) {
            const QList<QNetworkCookie> sent =
                cookies != nullptr ? cookies->cookiesForUrl(request.url()) : QList<QNetworkCookie>();
            // The script may set its hooks anew while this one runs.
            const NetworkHooks running = hooks;
            running.request(RequestDescription(QNetworkLog::MethodName(operation, request), request.url(),
                                             QNetworkLog::RequestHeaders(request), sent),
                          request, decision);
        });
    }
    if (!hooks.headers && !hooks.finished) {
        network->SetReplyHook(nullptr);
    } else {
        network->SetReplyHook([this](QNetworkReply* reply, QNetworkAccessManager::Operation operation,
                                     const QUrl& asked) { WatchReply(reply, operation, asked); });
    }
}

void QWebKitScriptPage::WatchReply(QNetworkReply* reply, QNetworkAccessManager::Operation operation,
                                   const QUrl& asked) {
    const QJsonObject request =
        RequestDescription(QNetworkLog::MethodName(operation, reply->request()), asked,
                           QNetworkLog::RequestHeaders(reply->request()),
                           cookies != nullptr ? cookies->cookiesForUrl(asked) : QList<QNetworkCookie>());
    const QPointer<QNetworkReply> guarded(reply);
    const auto describe = [guarded, request]() {
        QJsonObject named;
        for (const QNetworkReply::RawHeaderPair& header : guarded->rawHeaderPairs()) {
            named.insert(QString::fromLatin1(header.first), QString::fromUtf8(header.second));
        }
        QJsonObject response{{"url", guarded->url().toString()},
                             {"headers", named},
                             {"info", QNetworkLog::HarResponseOf(guarded)},
                             {"request", request}};
        const QVariant status = guarded->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            response.insert("status", status.toInt());
        }
        return response;
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, guarded, describe]() {
        if (hooks.headers && guarded != nullptr
            && guarded->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            NetworkHooks(hooks).headers(describe(), [guarded]() {
                if (guarded != nullptr) {
                    guarded->abort();
                }
            });
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, guarded, describe]() {
        if (!hooks.finished || guarded == nullptr) {
            return;
        }
        QJsonObject response = describe();
        response.insert("ok", guarded->error() == QNetworkReply::NoError && response.value("status").toInt() < 400);
        const QRecordingReply* recording = qobject_cast<const QRecordingReply*>(guarded.data());
        NetworkHooks(hooks).finished(response, recording != nullptr ? &recording->Body() : nullptr,
                       guarded->header(QNetworkRequest::ContentTypeHeader).toString());
    });
}
