#include "Chromium/ChromiumScriptHooks.h"

#include <algorithm>

#include "Network/QNetworkLog.h"

namespace {

// The headers of a DevTools Headers object, each a name and a value.
QList<QPair<QByteArray, QByteArray>> HeaderPairs(const nlohmann::json& headers) {
    QList<QPair<QByteArray, QByteArray>> pairs;
    for (const auto& header : headers.items()) {
        pairs.append({QByteArray::fromStdString(header.key()),
                      QByteArray::fromStdString(header.value().is_string() ? header.value().get<std::string>()
                                                                           : std::string())});
    }
    return pairs;
}

} // namespace

ChromiumScriptHooks::ChromiumScriptHooks(ChromiumPage& page, Call call, Cookies sentCookies,
                                         std::function<bool()> bodiesKept, const QNetworkProxy& proxy)
    : page(page), call(std::move(call)), sentCookies(std::move(sentCookies)), bodiesKept(std::move(bodiesKept)),
      proxy(proxy) {}

ChromiumScriptHooks::~ChromiumScriptHooks() {
    // Nothing it fetches is answered once the page is unhooked.
    routes.reset();
    try {
        page.Hook(nullptr, nullptr);
    } catch (const DevToolsError&) {
        // The browser ended: nothing of the page pauses any more.
    }
}

void ChromiumScriptHooks::Set(const ScriptPage::NetworkHooks& given) {
    hooks = given;
    ChromiumPage::RequestHook request;
    if (hooks.request) {
        request = [this](const std::string& id, ChromiumPage::Outgoing& shown) { ShowRequest(id, shown); };
    }
    ChromiumPage::ResponseHook response;
    if (hooks.headers) {
        response = [this](const std::string& id, ChromiumPage::Incoming& shown) { ShowResponse(id, shown); };
    }
    page.Hook(request, response);
}

void ChromiumScriptHooks::Take(const std::string& method, const nlohmann::json& params) {
    if (hooks.request || hooks.headers || hooks.finished) {
        FollowResponse(method, params);
    }
}

void ChromiumScriptHooks::ShowRequest(const std::string& id, ChromiumPage::Outgoing& shown) {
    QNetworkRequest request(QUrl(QString::fromStdString(shown.url)));
    for (const auto& header : shown.headers) {
        request.setRawHeader(QByteArray::fromStdString(header.first), QByteArray::fromStdString(header.second));
    }
    const QUrl asked = request.url();
    const QList<QPair<QByteArray, QByteArray>> headers = QNetworkLog::RequestHeaders(request);
    const QString method = QString::fromStdString(shown.method);
    const QList<QNetworkCookie> cookies = sentCookies(asked);
    ScriptPage::RequestDecision decision;
    // The script may set its hooks anew while this one runs.
    const ScriptPage::NetworkHooks running = hooks;
    running.request(ScriptPage::RequestDescription(method, asked, headers, cookies), request, decision);
    // Its response answers the request as the hook left it.
    requests[id] = ScriptPage::RequestDescription(method, request.url(), QNetworkLog::RequestHeaders(request), cookies);
    shown.abort = decision.abort;
    if (request.url() != asked) {
        shown.url = request.url().toString(QUrl::FullyEncoded).toStdString();
    }
    if (QNetworkLog::RequestHeaders(request) != headers) {
        shown.headers.clear();
        for (const auto& header : QNetworkLog::RequestHeaders(request)) {
            shown.headers.emplace_back(header.first.toStdString(), header.second.toStdString());
        }
    }
    if (decision.keepBody) {
        keptBodies.insert(id);
    }
    Route(decision, shown);
}

// A request routed its own way without a proxy of its own goes through
// the page's; one without a time-out of its own has the page's resource
// time-out, which the page applies to every request.
void ChromiumScriptHooks::Route(const ScriptPage::RequestDecision& decision, ChromiumPage::Outgoing& shown) {
    const bool proxied = decision.proxy.type() != QNetworkProxy::DefaultProxy;
    if (!proxied && decision.timeoutMs < 0) {
        return;
    }
    ChromiumRoutedRequests::Route route;
    route.proxy = proxied ? decision.proxy : proxy;
    route.timeoutMs = std::max(0, decision.timeoutMs);
    shown.send = [this, route](const ChromiumPage::Outgoing& request) {
        QByteArray cookies;
        for (const QNetworkCookie& cookie : sentCookies(QUrl(QString::fromStdString(request.url)))) {
            cookies += (cookies.isEmpty() ? "" : "; ") + cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
        }
        if (!routes) {
            routes.reset(new ChromiumRoutedRequests(page));
        }
        routes->Send(request, cookies, route);
    };
}

void ChromiumScriptHooks::ShowResponse(const std::string& id, ChromiumPage::Incoming& shown) {
    QList<QPair<QByteArray, QByteArray>> headers;
    for (const auto& header : shown.headers) {
        headers.append({QByteArray::fromStdString(header.first), QByteArray::fromStdString(header.second)});
    }
    const ScriptPage::NetworkHooks running = hooks;
    running.headers(Described(id, shown.url, shown.status, shown.reason, headers), [&shown]() { shown.abort = true; });
}

QJsonObject ChromiumScriptHooks::Described(const std::string& id, const std::string& url, int status,
                                          const std::string& reason,
                                          const QList<QPair<QByteArray, QByteArray>>& headers) {
    QJsonObject named;
    QByteArray type;
    qint64 length = 0;
    for (const auto& header : headers) {
        named.insert(QString::fromLatin1(header.first), QString::fromUtf8(header.second));
        if (header.first.compare("Content-Type", Qt::CaseInsensitive) == 0) {
            type = header.second;
        } else if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            length = header.second.toLongLong();
        }
    }
    const QUrl address(QString::fromStdString(url));
    const auto request = requests.find(id);
    QJsonObject described{
        {"url", address.toString()},
        {"headers", named},
        {"info", QNetworkLog::HarResponse(address, status, QString::fromStdString(reason), headers, {},
                                          QJsonObject{{"size", length}, {"mimeType", QString::fromUtf8(type)}},
                                          QString())},
        {"request", request != requests.end() ? request->second : QJsonObject{{"url", address.toString()}}}};
    if (status > 0) {
        described.insert("status", status);
    }
    return described;
}

// A redirect ends its request's response and opens the next, as the
// WebKit engine's replies do.
void ChromiumScriptHooks::FollowResponse(const std::string& method, const nlohmann::json& params) {
    const std::string id = params.value("requestId", std::string());
    if (method == "Network.requestWillBeSent") {
        if (params.contains("redirectResponse")) {
            Finish(id, params["redirectResponse"], true);
        }
        const nlohmann::json request = params.value("request", nlohmann::json::object());
        if (requests.count(id) == 0 || params.contains("redirectResponse")) {
            requests[id] = ScriptPage::RequestDescription(QString::fromStdString(request.value("method", std::string("GET"))),
                                              QUrl(QString::fromStdString(request.value("url", std::string()))),
                                              HeaderPairs(request.value("headers", nlohmann::json::object())), {});
        }
    } else if (method == "Network.responseReceived") {
        responses[id] = params.value("response", nlohmann::json::object());
    } else if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
        const auto response = responses.find(id);
        Finish(id, response != responses.end() ? response->second : nlohmann::json::object(),
               method == "Network.loadingFinished");
        requests.erase(id);
        responses.erase(id);
        keptBodies.erase(id);
    }
}

void ChromiumScriptHooks::Finish(const std::string& id, const nlohmann::json& response, bool ok) {
    if (!hooks.finished) {
        return;
    }
    const auto request = requests.find(id);
    const std::string asked =
        request != requests.end() ? request->second.value("url").toString().toStdString() : std::string();
    const QList<QPair<QByteArray, QByteArray>> headers =
        HeaderPairs(response.value("headers", nlohmann::json::object()));
    const int status = response.value("status", 0);
    QJsonObject described = Described(id, response.value("url", asked), status,
                                      response.value("statusText", std::string()), headers);
    described.insert("ok", ok && status > 0 && status < 400);
    const QString type = described.value("info").toObject().value("content").toObject().value("mimeType").toString();
    if (!ok || (keptBodies.count(id) == 0 && !bodiesKept()) || status < 200 || status >= 300) {
        return ScriptPage::NetworkHooks(hooks).finished(described, nullptr, type);
    }
    const nlohmann::json body = call("Network.getResponseBody", {{"requestId", id}});
    const QByteArray text = QByteArray::fromStdString(body.value("body", std::string()));
    const QByteArray bytes = body.value("base64Encoded", false) ? QByteArray::fromBase64(text) : text;
    ScriptPage::NetworkHooks(hooks).finished(described, &bytes, type);
}

