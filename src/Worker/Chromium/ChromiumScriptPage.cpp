#include "Chromium/ChromiumScriptPage.h"

#include <algorithm>
#include <chrono>

#include <QDateTime>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include "Chromium/ChromiumCookies.h"
#include "Network/QPageCookieJar.h"
#include "Page/PageJavaScript.h"

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The page's switches: their state at first, and whether a script may
// change it.
struct SwitchRow {
    const char* name;
    bool on;
    bool settable;
};

const SwitchRow Switches[] = {{"js_enabled", true, true},
                              {"images_enabled", true, true},
                              // Every request has a browser context of its
                              // own, private whatever this says.
                              {"private_mode_enabled", true, true},
                              {"plugins_enabled", false, false},
                              {"webgl_enabled", false, false},
                              {"http2_enabled", true, false},
                              {"indexeddb_enabled", true, false},
                              {"html5_media_enabled", true, false},
                              {"media_source_enabled", true, false},
                              {"response_body_enabled", false, true},
                              {"request_body_enabled", false, false}};

const SwitchRow* Row(const QString& name) {
    const auto found = std::find_if(std::begin(Switches), std::end(Switches),
                                    [&name](const SwitchRow& row) { return name == QLatin1String(row.name); });
    return found == std::end(Switches) ? nullptr : found;
}

// A named key as the DevTools protocol presses it: its DOM key and code
// names and its Windows key code.
struct NamedKey {
    int qt;
    const char* key;
    const char* code;
    int windows;
};

const NamedKey NamedKeys[] = {{Qt::Key_Return, "Enter", "Enter", 13},   {Qt::Key_Enter, "Enter", "NumpadEnter", 13},
                              {Qt::Key_Tab, "Tab", "Tab", 9},           {Qt::Key_Backspace, "Backspace", "Backspace", 8},
                              {Qt::Key_Delete, "Delete", "Delete", 46}, {Qt::Key_Escape, "Escape", "Escape", 27},
                              {Qt::Key_Left, "ArrowLeft", "ArrowLeft", 37}, {Qt::Key_Up, "ArrowUp", "ArrowUp", 38},
                              {Qt::Key_Right, "ArrowRight", "ArrowRight", 39},
                              {Qt::Key_Down, "ArrowDown", "ArrowDown", 40}, {Qt::Key_Home, "Home", "Home", 36},
                              {Qt::Key_End, "End", "End", 35},          {Qt::Key_PageUp, "PageUp", "PageUp", 33},
                              {Qt::Key_PageDown, "PageDown", "PageDown", 34},
                              {Qt::Key_Insert, "Insert", "Insert", 45}, {Qt::Key_Space, " ", "Space", 32}};

} // namespace

ChromiumScriptPage::ChromiumScriptPage(ChromiumPage& page, const ChromiumPage::Load& request,
                                       const Settings& settings, QObject* parent)
    : ScriptPage(parent), page(page), load(request), settings(settings), aside(new QNetworkAccessManager(this)),
      network(page, [this](const std::string& method, const nlohmann::json& params) { return Call(method, params); },
              [this](const QUrl& url) { return SentCookies(url); },
              [this]() { return switches["response_body_enabled"]; }, settings.proxy) {
    aside->setProxy(settings.proxy);
    for (const SwitchRow& row : Switches) {
        switches[row.name] = row.on;
    }
    load.delayMs = 0;
    load.networkLog = true;
    load.continueLog = true;
    page.Watch([this](const std::string& method, const nlohmann::json& params) { OnEvent(method, params); });
}

ChromiumScriptPage::~ChromiumScriptPage() {
    page.Watch(nullptr);
}

void ChromiumScriptPage::OnEvent(const std::string& method, const nlohmann::json& params) {
    network.Take(method, params);
    if (rendering) {
        return;
    }
    const bool main = params.value("frameId", std::string()) == page.MainFrame();
    if (method == "Inspector.targetCrashed") {
        // Nothing of the page can be read any more.
        lost = true;
    } else if (method == "Page.frameNavigated" && !params.value("frame", nlohmann::json::object()).contains("parentId")) {
        QTimer::singleShot(0, this, [this]() { emit UrlChanged(); });
    } else if (method == "Network.requestWillBeSent" && main && params.value("type", std::string()) == "Document") {
        documentRequest = params.value("requestId", std::string());
    } else if (method == "Network.loadingFailed" && !documentRequest.empty()
               && params.value("requestId", std::string()) == documentRequest) {
        const QString failure = NetworkReason(params.value("errorText", std::string()));
        // A render begun meanwhile has news of its own: this one is stale
        // (the failure of a document the render itself asked for, say).
        const int at = renders;
        QTimer::singleShot(0, this, [this, failure, at]() {
            if (at == renders) {
                emit Loaded(false, failure);
            }
        });
    }
}

nlohmann::json ChromiumScriptPage::Call(const std::string& method, const nlohmann::json& params) {
    if (lost) {
        return nlohmann::json();
    }
    try {
        return page.Call(method, params);
    } catch (const DevToolsError& e) {
        // The browser's refusal of one command leaves the page usable.
        lost = e.code == 0;
    }
    return nlohmann::json();
}

long long ChromiumScriptPage::RemainingMs() const {
    return std::max(0LL, settings.deadlineMs - NowMs());
}

void ChromiumScriptPage::TakePending() {
    try {
        if (!lost) {
            page.TakePending();
        }
    } catch (const DevToolsError&) {
        lost = true;
    }
}

void ChromiumScriptPage::Navigate(const Navigation& navigation) {
    ChromiumPage::Load next = Next(navigation.url.toString(QUrl::FullyEncoded).toStdString());
    next.baseUrl = navigation.base.isEmpty() ? std::string() : navigation.base.toString().toStdString();
    for (const auto& header : navigation.headers) {
        next.headers.emplace_back(header.first.toStdString(), header.second.toStdString());
    }
    next.method = navigation.post ? "POST" : "GET";
    next.body = navigation.body.toStdString();
    Render(next);
}

ChromiumPage::Load ChromiumScriptPage::Next(const std::string& url) {
    ChromiumPage::Load next = load;
    next.url = url;
    next.headers.insert(next.headers.end(), customHeaders.begin(), customHeaders.end());
    next.timeoutMs = static_cast<int>(RemainingMs());
    next.images = switches["images_enabled"];
    next.javascript = switches["js_enabled"];
    next.responseBodies = switches["response_body_enabled"];
    // The request's cookies are the first page's; later pages have the
    // context's jar. Cookies waiting for a host are the page's.
    load.cookies = nlohmann::json::array();
    for (nlohmann::json cookie : awaitingHost) {
        cookie["url"] = next.url;
        next.cookies.push_back(cookie);
    }
    awaitingHost = nlohmann::json::array();
    return next;
}

void ChromiumScriptPage::Render(const ChromiumPage::Load& next) {
    const QUrl before = Url();
    bool ok = false;
    QString failure = QStringLiteral("render_error");
    ++renders;
    rendering = true;
    try {
        const ChromiumPage::Rendered rendered = page.Render(next);
        lost = rendered.crashed;
        Keep(rendered.history);
        ok = rendered.error.empty() && !rendered.crashed;
        failure = !rendered.error.empty() ? NetworkReason(rendered.error)
                  : rendered.status >= 400 ? QStringLiteral("http%1").arg(rendered.status)
                                           : QString();
    } catch (const DevToolsError&) {
        lost = true;
    }
    rendering = false;
    const bool moved = Url() != before;
    QTimer::singleShot(0, this, [this, ok, failure, moved]() {
        if (moved) {
            emit UrlChanged();
        }
        emit Loaded(ok, failure);
    });
}

void ChromiumScriptPage::Keep(const std::vector<ChromiumPage::Response>& responses) {
    history = QJsonArray();
    for (const ChromiumPage::Response& response : responses) {
        QJsonArray headers;
        for (const auto& header : response.headers) {
            headers.append(QJsonObject{{"name", QString::fromStdString(header.first)},
                                       {"value", QString::fromStdString(header.second)}});
        }
        history.append(HistoryEntry(QString::fromStdString(response.method), QString::fromStdString(response.url),
                                    response.status, QString::fromStdString(response.reason), headers));
    }
}

QString ChromiumScriptPage::NetworkReason(const std::string& error) {
    if (error.rfind("net::", 0) != 0) {
        // This worker refused the request before it went out: the WebKit
        // worker sends such a request to a scheme Qt has no handler for.
        return QStringLiteral("network%1").arg(QNetworkReply::ProtocolUnknownError);
    }
    static const std::pair<const char*, int> Codes[] = {{"ERR_CONNECTION_REFUSED", 1},
                                                         {"ERR_CONNECTION_CLOSED", 2},
                                                         {"ERR_CONNECTION_RESET", 2},
                                                         {"ERR_EMPTY_RESPONSE", 2},
                                                         {"ERR_NAME_NOT_RESOLVED", 3},
                                                         {"ERR_NAME_RESOLUTION_FAILED", 3},
                                                         {"ERR_ADDRESS_UNREACHABLE", 3},
                                                         {"ERR_TIMED_OUT", 4},
                                                         {"ERR_CONNECTION_TIMED_OUT", 4},
                                                         {"ERR_ABORTED", 5},
                                                         {"ERR_BLOCKED_BY_CLIENT", 5},
                                                         {"ERR_BLOCKED_BY_RESPONSE", 5},
                                                         {"ERR_SSL_", 6},
                                                         {"ERR_CERT_", 6},
                                                         {"ERR_PROXY_CONNECTION_FAILED", 101},
                                                         {"ERR_TUNNEL_CONNECTION_FAILED", 101}};
    for (const auto& code : Codes) {
        if (error.find(code.first) != std::string::npos) {
            return QStringLiteral("network%1").arg(code.second);
        }
    }
    return QStringLiteral("network99");
}

// Content with a base URL is that address's answer: the page goes there
// and its document's request is answered with data. Without one, HTML is
// written into a blank document.
QString ChromiumScriptPage::SetContent(const QByteArray& data, const QString& type, const QUrl& base) {
    if (!base.isEmpty()) {
        ChromiumPage::Load next = Next(base.toString(QUrl::FullyEncoded).toStdString());
        next.content = data.toStdString();
        next.contentType = type.toStdString();
        next.fulfill = true;
        Render(next);
        return QString();
    }
    if (!type.startsWith(QLatin1String("text/html"))) {
        // The browser lays out a data URL of the type as it would the
        // same response; the page then has no address, as on WebKit.
        const QByteArray address = "data:" + type.toUtf8().replace(' ', "") + ";base64," + data.toBase64();
        if (address.size() > MaxDataUrlBytes) {
            return QStringLiteral("content of another type than HTML over %1 bytes needs a baseurl on the "
                                  "chromium engine")
                .arg(MaxDataUrlBytes / 4 * 3);
        }
        Render(Next(address.toStdString()));
        return QString();
    }
    // A new blank document first: it runs the autoloaded scripts, whose
    // globals the written content keeps.
    rendering = true;
    try {
        page.Render(Next("about:blank"));
    } catch (const DevToolsError&) {
        lost = true;
    }
    rendering = false;
    const nlohmann::json tree = Call("Page.getFrameTree");
    const std::string frame = tree.is_object() ? tree["frameTree"]["frame"].value("id", std::string()) : std::string();
    Call("Page.setDocumentContent", {{"frameId", frame}, {"html", data.toStdString()}});
    const bool ok = !lost;
    QTimer::singleShot(0, this, [this, ok]() { emit Loaded(ok, ok ? QString() : QStringLiteral("render_error")); });
    return QString();
}

QString ChromiumScriptPage::SetNavigationLocked(bool lock) {
    if (lock != locked && !lost) {
        try {
            page.HoldNavigations(lock);
            locked = lock;
        } catch (const DevToolsError&) {
            lost = true;
        }
    }
    return QString();
}

nlohmann::json ChromiumScriptPage::Value(const std::string& expression) {
    const nlohmann::json evaluated = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    return evaluated.is_object() ? evaluated.value("result", nlohmann::json::object()).value("value", nlohmann::json())
                                 : nlohmann::json();
}

// A data URL is content set without a base: no address.
QUrl ChromiumScriptPage::Url() {
    const nlohmann::json url = Value("location.href");
    const QUrl address = url.is_string() ? QUrl(QString::fromStdString(url.get<std::string>())) : QUrl();
    return address.scheme() == QLatin1String("data") ? QUrl() : address;
}

QString ChromiumScriptPage::Html() {
    const nlohmann::json html = Value("document.documentElement ? document.documentElement.outerHTML : ''");
    return html.is_string() ? QString::fromStdString(html.get<std::string>()) : QString();
}

// The snippet runs as on WebKit, guarded, and at most until the request's
// deadline.
QVariantMap ChromiumScriptPage::Evaluate(const QString& snippet) {
    nlohmann::json evaluated;
    try {
        if (!lost) {
            evaluated = page.Call(
                "Runtime.evaluate",
                {{"expression", PageJavaScript::Guarded(snippet).toStdString()},
                 {"returnByValue", true},
                 {"timeout", std::max(1LL, std::min<long long>(RemainingMs(), settings.javaScriptLimitMs))}});
        }
    } catch (const DevToolsError& e) {
        lost = e.code == 0;
        // The browser stops the snippet at its timeout with an error of
        // that name; it may refuse to return a value too (one nested too
        // deep).
        if (!lost && std::string(e.what()).find("Execution was terminated") == std::string::npos) {
            return PageJavaScript::Interrupted(QStringLiteral("the browser could not return the value: %1")
                                                   .arg(QString::fromUtf8(e.what())));
        }
    }
    const nlohmann::json value = evaluated.is_object()
                                     ? evaluated.value("result", nlohmann::json::object()).value("value", nlohmann::json())
                                     : nlohmann::json();
    if (value.is_object()) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(value.dump(-1, ' ', false,
                                                                            nlohmann::json::error_handler_t::replace)))
            .object()
            .toVariantMap();
    }
    return PageJavaScript::Interrupted(lost ? QStringLiteral("the browser stopped answering")
                                            : PageJavaScript::PastTheLimit());
}

bool ChromiumScriptPage::HasSwitch(const QString& name) const {
    return Row(name) != nullptr;
}

bool ChromiumScriptPage::Switch(const QString& name) {
    return switches[name.toStdString()];
}

QString ChromiumScriptPage::SetSwitch(const QString& name, bool on) {
    const SwitchRow* row = Row(name);
    if (!row->settable && on != row->on) {
        return QStringLiteral("%1: the chromium engine cannot turn it %2").arg(name, on ? "on" : "off");
    }
    switches[row->name] = on;
    if (name == QLatin1String("js_enabled")) {
        Call("Emulation.setScriptExecutionDisabled", {{"value", !on}});
    }
    return QString();
}

QPoint ChromiumScriptPage::ScrollPosition() {
    const nlohmann::json at = Value("[scrollX, scrollY]");
    return at.is_array() && at.size() == 2 && at[0].is_number() && at[1].is_number()
               ? QPoint(at[0].get<int>(), at[1].get<int>())
               : QPoint();
}

void ChromiumScriptPage::SetScrollPosition(const QPoint& position) {
    Value("scrollTo(" + std::to_string(position.x()) + ", " + std::to_string(position.y()) + ")");
}

void ChromiumScriptPage::SetViewportSize(const QSize& size) {
    load.width = size.width();
    load.height = size.height();
    Call("Emulation.setDeviceMetricsOverride",
         {{"width", load.width}, {"height", load.height}, {"deviceScaleFactor", 1}, {"mobile", false}});
}

QSize ChromiumScriptPage::ContentsSize() {
    const nlohmann::json metrics = Call("Page.getLayoutMetrics");
    if (!metrics.is_object()) {
        return QSize();
    }
    const nlohmann::json content = metrics.value("cssContentSize", nlohmann::json::object());
    return QSize(static_cast<int>(content.value("width", 0.0)), static_cast<int>(content.value("height", 0.0)));
}

// The viewport, or the whole page up to the picture's caps, captured by
// the browser; cut, scaled and encoded as on WebKit.
QByteArray ChromiumScriptPage::Picture(const PagePicture::Request& request, QString& error) {
    QSize size = ViewportSize();
    if (request.whole) {
        const QSize contents = ContentsSize();
        size = QSize(std::max(size.width(), contents.width()), std::max(1, contents.height()))
                   .boundedTo(QSize(PagePicture::MaxWidth, PagePicture::MaxHeight));
    }
    const nlohmann::json clip{{"x", 0}, {"y", 0}, {"width", size.width()}, {"height", size.height()}, {"scale", 1}};
    const nlohmann::json shot =
        Call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", request.whole}, {"clip", clip}});
    const std::string data = shot.is_object() ? shot.value("data", std::string()) : std::string();
    if (data.empty()) {
        error = QStringLiteral("the browser gave no picture");
        return QByteArray();
    }
    const QByteArray png = QByteArray::fromBase64(QByteArray::fromStdString(data));
    if (!request.jpeg && request.region.isNull() && request.width == 0 && request.height == 0) {
        // The browser's own PNG is the picture asked for.
        return png;
    }
    return PagePicture::Encode(QImage::fromData(png, "PNG"), request, error);
}

void ChromiumScriptPage::SendMouse(Mouse action, const QPointF& at) {
    nlohmann::json event{{"x", at.x()}, {"y", at.y()}, {"type", "mouseMoved"}};
    Call("Input.dispatchMouseEvent", event);
    event["button"] = "left";
    event["clickCount"] = 1;
    if (action == Mouse::Click || action == Mouse::Press) {
        event["type"] = "mousePressed";
        Call("Input.dispatchMouseEvent", event);
    }
    if (action == Mouse::Click || action == Mouse::Release) {
        event["type"] = "mouseReleased";
        Call("Input.dispatchMouseEvent", event);
    }
}

QString ChromiumScriptPage::Type(const QString& input, bool keys) {
    QVector<KeySequence::Key> pressed;
    const QString why = keys ? KeySequence::OfSequence(input, pressed) : KeySequence::OfText(input, pressed);
    for (const KeySequence::Key& key : why.isEmpty() ? pressed : QVector<KeySequence::Key>()) {
        Press(key);
    }
    return why;
}

int ChromiumScriptPage::Modifiers(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::AltModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0)
           | (modifiers & Qt::MetaModifier ? 4 : 0) | (modifiers & Qt::ShiftModifier ? 8 : 0);
}

// A key that types text goes down with it; any other as a raw key, its
// DOM names those of a named key, a letter's or a digit's.
void ChromiumScriptPage::Press(const KeySequence::Key& key) {
    nlohmann::json event{{"modifiers", Modifiers(key.modifiers)}};
    const auto named = std::find_if(std::begin(NamedKeys), std::end(NamedKeys),
                                    [&key](const NamedKey& row) { return row.qt == key.code; });
    if (named != std::end(NamedKeys)) {
        event.update({{"key", named->key}, {"code", named->code}, {"windowsVirtualKeyCode", named->windows}});
    } else if (key.code >= Qt::Key_A && key.code <= Qt::Key_Z) {
        const char letter = static_cast<char>(key.code);
        event.update({{"key", std::string(1, key.modifiers & Qt::ShiftModifier ? letter : letter - 'A' + 'a')},
                      {"code", std::string("Key") + letter},
                      {"windowsVirtualKeyCode", key.code}});
    } else if (key.code >= Qt::Key_0 && key.code <= Qt::Key_9) {
        event.update({{"key", std::string(1, static_cast<char>(key.code))},
                      {"code", std::string("Digit") + static_cast<char>(key.code)},
                      {"windowsVirtualKeyCode", key.code}});
    } else if (key.code >= Qt::Key_F1 && key.code <= Qt::Key_F12) {
        const std::string name = "F" + std::to_string(key.code - Qt::Key_F1 + 1);
        event.update({{"key", name}, {"code", name}, {"windowsVirtualKeyCode", 112 + key.code - Qt::Key_F1}});
    } else {
        event["key"] = key.text.toStdString();
    }
    const bool types = !key.text.isEmpty() && key.text != QLatin1String("\b") && key.text != QLatin1String("\t");
    if (types) {
        event["text"] = key.text.toStdString();
        event["unmodifiedText"] = key.text.toStdString();
    }
    event["type"] = types ? "keyDown" : "rawKeyDown";
    Call("Input.dispatchKeyEvent", event);
    event.erase("text");
    event.erase("unmodifiedText");
    event["type"] = "keyUp";
    Call("Input.dispatchKeyEvent", event);
}

// Refused as the WebKit page refuses them: a host the filters do not
// allow, or a header that could split the request, sends it to an address
// nobody answers.
QNetworkReply* ChromiumScriptPage::FetchAside(QNetworkRequest request, const QByteArray* body) {
    const QUrl url = request.url();
    for (const auto& header : customHeaders) {
        if (!request.hasRawHeader(QByteArray::fromStdString(header.first))) {
            request.setRawHeader(QByteArray::fromStdString(header.first), QByteArray::fromStdString(header.second));
        }
    }
    for (const QByteArray& name : request.rawHeaderList()) {
        if (!Orvo::Browser::RequestRules::SafeHeader(name.toStdString(), request.rawHeader(name).toStdString())) {
            request.setUrl(QUrl(QStringLiteral("refused-header:")));
        }
    }
    if (!load.rules.AllowsHost(url.host().toStdString())) {
        request.setUrl(QUrl(QStringLiteral("refused-domain:")));
    } else if (load.refuseHost && !load.refuseHost(url.host().toStdString(), url.toString().toStdString()).empty()) {
        request.setUrl(QUrl(QStringLiteral("refused-network:")));
    }
    if (!request.hasRawHeader("User-Agent")) {
        const nlohmann::json agent = Value("navigator.userAgent");
        request.setRawHeader("User-Agent", agent.is_string() ? QByteArray::fromStdString(agent.get<std::string>())
                                                             : QByteArray());
    }
    // The browser's jar is the page's, not Qt's own.
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QByteArray cookies;
    for (const QNetworkCookie& cookie : SentCookies(url)) {
        cookies += (cookies.isEmpty() ? "" : "; ") + cookie.toRawForm(QNetworkCookie::NameAndValueOnly);
    }
    if (!cookies.isEmpty() && !request.hasRawHeader("Cookie")) {
        request.setRawHeader("Cookie", cookies);
    }
    QNetworkReply* reply = body != nullptr ? aside->post(request, *body) : aside->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply]() { KeepCookies(reply); });
    return reply;
}

QList<QNetworkCookie> ChromiumScriptPage::SentCookies(const QUrl& url) {
    const nlohmann::json found = Call("Network.getCookies", {{"urls", nlohmann::json::array({url.toString().toStdString()})}});
    QList<QNetworkCookie> sent;
    for (const nlohmann::json& cookie : found.is_object() ? found.value("cookies", nlohmann::json::array())
                                                          : nlohmann::json::array()) {
        sent.append(QNetworkCookie(QByteArray::fromStdString(cookie.value("name", std::string())),
                                   QByteArray::fromStdString(cookie.value("value", std::string()))));
    }
    return sent;
}

void ChromiumScriptPage::KeepCookies(QNetworkReply* reply) {
    const nlohmann::json cookies = ChromiumCookies::OfSetCookieLines(reply->rawHeader("Set-Cookie").toStdString(),
                                                                     reply->url().toString().toStdString());
    if (cookies.empty() || lost) {
        return;
    }
    try {
        page.SetCookies(cookies);
    } catch (const DevToolsError& e) {
        lost = e.code == 0;
    }
}

// The agent is the load's User-Agent header, which each render sets
// again.
void ChromiumScriptPage::SetUserAgent(const QString& agent) {
    const auto same = [](const std::pair<std::string, std::string>& header) {
        return QString::fromStdString(header.first).compare(QLatin1String("User-Agent"), Qt::CaseInsensitive) == 0;
    };
    load.headers.erase(std::remove_if(load.headers.begin(), load.headers.end(), same), load.headers.end());
    load.headers.emplace_back("User-Agent", agent.toStdString());
    Call("Network.setUserAgentOverride", {{"userAgent", agent.toStdString()}});
}

// The browser adds the headers to every request; the document's load
// checks them as it checks its own.
void ChromiumScriptPage::SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers) {
    customHeaders.clear();
    nlohmann::json extra = nlohmann::json::object();
    bool safe = true;
    for (const auto& header : headers) {
        customHeaders.emplace_back(header.first.toStdString(), header.second.toStdString());
        extra[header.first.toStdString()] = header.second.toStdString();
        safe = safe && Orvo::Browser::RequestRules::SafeHeader(customHeaders.back().first, customHeaders.back().second);
    }
    if (safe) {
        Call("Network.setExtraHTTPHeaders", {{"headers", extra}});
    }
}

QJsonObject ChromiumScriptPage::NetworkArchive() {
    try {
        const nlohmann::json archive = lost ? nlohmann::json() : page.NetworkArchive();
        return QJsonDocument::fromJson(QByteArray::fromStdString(
                                           archive.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)))
            .object();
    } catch (const DevToolsError&) {
        lost = true;
    }
    return QJsonObject();
}

void ChromiumScriptPage::ResetNetworkLog() {
    try {
        page.ResetNetworkLog();
    } catch (const DevToolsError&) {
        lost = true;
    }
}

QJsonArray ChromiumScriptPage::Cookies() {
    QJsonArray cookies;
    try {
        for (const nlohmann::json& cookie : lost ? nlohmann::json::array() : page.Cookies()) {
            cookies.append(CookieOf(cookie));
        }
    } catch (const DevToolsError&) {
        lost = true;
    }
    return cookies;
}

QJsonObject ChromiumScriptPage::CookieOf(const nlohmann::json& cookie) {
    const double expires = cookie.value("expires", -1.0);
    const bool session = cookie.value("session", expires < 0);
    return QJsonObject{
        {"name", QString::fromStdString(cookie.value("name", std::string()))},
        {"value", QString::fromStdString(cookie.value("value", std::string()))},
        {"domain", QString::fromStdString(cookie.value("domain", std::string()))},
        {"path", QString::fromStdString(cookie.value("path", std::string("/")))},
        {"expires", session ? QJsonValue()
                            : QJsonValue(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(expires), Qt::UTC)
                                             .toString(Qt::ISODate))},
        {"httpOnly", cookie.value("httpOnly", false)},
        {"secure", cookie.value("secure", false)}};
}

// A host-only cookie (its domain without a leading dot) goes back by its
// address, so that it stays host-only.
nlohmann::json ChromiumScriptPage::ParamOf(const nlohmann::json& cookie) {
    nlohmann::json param{{"name", cookie.value("name", std::string())},
                         {"value", cookie.value("value", std::string())},
                         {"path", cookie.value("path", std::string("/"))},
                         {"secure", cookie.value("secure", false)},
                         {"httpOnly", cookie.value("httpOnly", false)}};
    const std::string domain = cookie.value("domain", std::string());
    if (!domain.empty() && domain[0] == '.') {
        param["domain"] = domain;
    } else {
        param["url"] = std::string(param["secure"].get<bool>() ? "https://" : "http://") + domain
                       + param["path"].get<std::string>();
    }
    if (!cookie.value("session", true) && cookie.value("expires", -1.0) >= 0) {
        param["expires"] = cookie["expires"];
    }
    return param;
}

bool ChromiumScriptPage::AddCookie(const QJsonObject& fields, QString& error) {
    const QString name = fields.value("name").toString();
    if (name.isEmpty() || !fields.value("value").isString()) {
        error = QStringLiteral("a cookie needs a name and a text value");
        return false;
    }
    nlohmann::json param{{"name", name.toStdString()},
                         {"value", fields.value("value").toString().toStdString()},
                         {"path", fields.value("path").toString(QStringLiteral("/")).toStdString()},
                         {"httpOnly", fields.value("httpOnly").toBool()},
                         {"secure", fields.value("secure").toBool()}};
    QDateTime expiry;
    if (!QPageCookieJar::ExpiryOf(fields, expiry, error)) {
        return false;
    }
    if (expiry.isValid()) {
        param["expires"] = static_cast<double>(expiry.toSecsSinceEpoch());
    }
    const QString domain = QPageCookieJar::DomainOf(fields.value("domain").toString(Url().host()));
    if (domain.isEmpty()) {
        awaitingHost.push_back(param);
        return true;
    }
    param["domain"] = domain.toStdString();
    try {
        page.SetCookies(nlohmann::json::array({param}));
    } catch (const DevToolsError& e) {
        // The browser refuses a cookie it cannot keep.
        error = QString::fromStdString(e.what());
        lost = e.code == 0;
        return false;
    }
    return true;
}

int ChromiumScriptPage::RemoveCookies(const QString& name, const QUrl& url) {
    int removed = 0;
    const auto named = [&name](const nlohmann::json& cookie) {
        return name.isEmpty() || cookie.value("name", std::string()) == name.toStdString();
    };
    if (url.isEmpty()) {
        const std::size_t before = awaitingHost.size();
        awaitingHost.erase(std::remove_if(awaitingHost.begin(), awaitingHost.end(), named), awaitingHost.end());
        removed += static_cast<int>(before - awaitingHost.size());
    }
    try {
        nlohmann::json kept = nlohmann::json::array();
        const nlohmann::json all = lost ? nlohmann::json::array() : page.Cookies();
        for (const nlohmann::json& cookie : all) {
            if (named(cookie) && (url.isEmpty() || SentTo(cookie, url))) {
                ++removed;
            } else {
                kept.push_back(ParamOf(cookie));
            }
        }
        if (kept.size() < all.size()) {
            page.ClearCookies();
            if (!kept.empty()) {
                page.SetCookies(kept);
            }
        }
    } catch (const DevToolsError&) {
        lost = true;
    }
    return removed;
}

bool ChromiumScriptPage::SentTo(const nlohmann::json& cookie, const QUrl& url) {
    const QString domain = QString::fromStdString(cookie.value("domain", std::string()));
    const QString host = url.host();
    const bool hostMatches = domain.startsWith(QLatin1Char('.'))
                                 ? host == domain.mid(1) || host.endsWith(domain)
                                 : host.compare(domain, Qt::CaseInsensitive) == 0;
    const QString path = QString::fromStdString(cookie.value("path", std::string("/")));
    const QString asked = url.path().isEmpty() ? QStringLiteral("/") : url.path();
    return hostMatches && asked.startsWith(path)
           && (!cookie.value("secure", false) || url.scheme() == QLatin1String("https"));
}

void ChromiumScriptPage::AddAutoload(const QString& source) {
    const nlohmann::json added = Call("Page.addScriptToEvaluateOnNewDocument", {{"source", source.toStdString()}});
    if (added.is_object()) {
        autoloads.push_back(added.value("identifier", std::string()));
    }
}

void ChromiumScriptPage::ResetAutoloads() {
    for (const std::string& identifier : autoloads) {
        Call("Page.removeScriptToEvaluateOnNewDocument", {{"identifier", identifier}});
    }
    autoloads.clear();
}

void ChromiumScriptPage::SetNetworkHooks(const NetworkHooks& given) {
    try {
        network.Set(given);
    } catch (const DevToolsError& e) {
        lost = e.code == 0;
    }
}

// A listener calls out by pausing in the debugger with what it hands over
// in a variable of its frame, where the answer goes too: the event waits
// for the Lua function, as on WebKit.
QString ChromiumScriptPage::Listener(lua_State* lua, int index, const Callback& callback) {
    if (!listeners) {
        listeners.reset(new ScriptListeners(callback));
        try {
            page.OnPause([this](const nlohmann::json& params) { OnPause(params); });
        } catch (const DevToolsError& e) {
            lost = e.code == 0;
        }
    }
    return listeners->Listener(lua, index, QStringLiteral("null"),
                               QStringLiteral("(function () { var __orvoFired = {token: token, number: number, "
                                              "event: plain, asked: null}; debugger; return __orvoFired.asked; })()"));
}

void ChromiumScriptPage::OnPause(const nlohmann::json& params) {
    const nlohmann::json frames = params.value("callFrames", nlohmann::json::array());
    const std::string frame = frames.empty() ? std::string() : frames[0].value("callFrameId", std::string());
    const nlohmann::json fired =
        frame.empty() ? nlohmann::json()
                      : Call("Debugger.evaluateOnCallFrame",
                             {{"callFrameId", frame},
                              {"expression", "typeof __orvoFired === 'object' ? __orvoFired : null"},
                              {"returnByValue", true}});
    const nlohmann::json handed =
        fired.is_object() ? fired.value("result", nlohmann::json::object()).value("value", nlohmann::json())
                          : nlohmann::json();
    if (handed.is_object() && listeners) {
        const QVariantMap event =
            QJsonDocument::fromJson(QByteArray::fromStdString(handed.value("event", nlohmann::json::object()).dump()))
                .object()
                .toVariantMap();
        const QVariantMap asked = listeners->Fire(QString::fromStdString(handed.value("token", std::string())),
                                                  handed.value("number", -1), event);
        const QByteArray answer = QJsonDocument(QJsonObject::fromVariantMap(asked)).toJson(QJsonDocument::Compact);
        Call("Debugger.evaluateOnCallFrame",
             {{"callFrameId", frame}, {"expression", "__orvoFired.asked = " + answer.toStdString()}});
    }
    Call("Debugger.resume");
}
