#include "Chromium/ChromiumScriptPage.h"

#include <algorithm>
#include <chrono>

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

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
                              {"response_body_enabled", false, false},
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

ChromiumScriptPage::ChromiumScriptPage(ChromiumPage& page, const ChromiumPage::Load& request, long long deadlineMs,
                                       int javaScriptLimitMs, bool fileUrls, QObject* parent)
    : ScriptPage(parent), page(page), load(request), deadlineMs(deadlineMs), javaScriptLimitMs(javaScriptLimitMs),
      fileUrls(fileUrls) {
    for (const SwitchRow& row : Switches) {
        switches[row.name] = row.on;
    }
    load.delayMs = 0;
    page.Watch([this](const std::string& method, const nlohmann::json& params) { OnEvent(method, params); });
}

ChromiumScriptPage::~ChromiumScriptPage() {
    page.Watch(nullptr);
}

void ChromiumScriptPage::OnEvent(const std::string& method, const nlohmann::json& params) {
    if (rendering) {
        return;
    }
    const bool main = params.value("frameId", std::string()) == page.MainFrame();
    if (method == "Page.frameNavigated" && !params.value("frame", nlohmann::json::object()).contains("parentId")) {
        QTimer::singleShot(0, this, [this]() { emit UrlChanged(); });
    } else if (method == "Network.requestWillBeSent" && main && params.value("type", std::string()) == "Document") {
        documentRequest = params.value("requestId", std::string());
    } else if (method == "Network.loadingFailed" && !documentRequest.empty()
               && params.value("requestId", std::string()) == documentRequest) {
        const QString failure = NetworkReason(params.value("errorText", std::string()));
        QTimer::singleShot(0, this, [this, failure]() { emit Loaded(false, failure); });
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
    return std::max(0LL, deadlineMs - NowMs());
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
    ChromiumPage::Load next = load;
    next.url = navigation.url.toString(QUrl::FullyEncoded).toStdString();
    next.baseUrl = navigation.base.isEmpty() ? std::string() : navigation.base.toString().toStdString();
    for (const auto& header : navigation.headers) {
        next.headers.emplace_back(header.first.toStdString(), header.second.toStdString());
    }
    next.method = navigation.post ? "POST" : "GET";
    next.body = navigation.body.toStdString();
    next.timeoutMs = static_cast<int>(RemainingMs());
    next.images = switches["images_enabled"];
    next.javascript = switches["js_enabled"];
    // The request's cookies are the first page's; later pages have the
    // context's jar.
    load.cookies = nlohmann::json::array();
    const QUrl before = Url();
    bool ok = false;
    QString failure = QStringLiteral("render_error");
    rendering = true;
    try {
        const ChromiumPage::Rendered rendered = page.Render(next);
        lost = rendered.crashed;
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

QString ChromiumScriptPage::NetworkReason(const std::string& error) {
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

// Content is laid out in the page's document as it is: the engine has no
// base URL for it.
QString ChromiumScriptPage::SetContent(const QByteArray& data, const QString& type, const QUrl& base) {
    if (!base.isEmpty()) {
        return QStringLiteral("a base URL is not available on the chromium engine yet");
    }
    if (!type.startsWith(QLatin1String("text/html"))) {
        return QStringLiteral("only text/html is laid out on the chromium engine yet");
    }
    const nlohmann::json tree = Call("Page.getFrameTree");
    const std::string frame = tree.is_object() ? tree["frameTree"]["frame"].value("id", std::string()) : std::string();
    Call("Page.setDocumentContent", {{"frameId", frame}, {"html", data.toStdString()}});
    const bool ok = !lost;
    QTimer::singleShot(0, this, [this, ok]() { emit Loaded(ok, ok ? QString() : QStringLiteral("render_error")); });
    return QString();
}

QString ChromiumScriptPage::SetNavigationLocked(bool locked) {
    return locked ? QStringLiteral("lock_navigation is not available on the chromium engine yet") : QString();
}

nlohmann::json ChromiumScriptPage::Value(const std::string& expression) {
    const nlohmann::json evaluated = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    return evaluated.is_object() ? evaluated.value("result", nlohmann::json::object()).value("value", nlohmann::json())
                                 : nlohmann::json();
}

QUrl ChromiumScriptPage::Url() {
    const nlohmann::json url = Value("location.href");
    return url.is_string() ? QUrl(QString::fromStdString(url.get<std::string>())) : QUrl();
}

QString ChromiumScriptPage::Html() {
    const nlohmann::json html = Value("document.documentElement ? document.documentElement.outerHTML : ''");
    return html.is_string() ? QString::fromStdString(html.get<std::string>()) : QString();
}

// The snippet runs as on WebKit, guarded, and at most until the request's
// deadline.
QVariantMap ChromiumScriptPage::Evaluate(const QString& snippet) {
    const nlohmann::json evaluated =
        Call("Runtime.evaluate", {{"expression", PageJavaScript::Guarded(snippet).toStdString()},
                                  {"returnByValue", true},
                                  {"timeout", std::max(1LL, std::min<long long>(RemainingMs(), javaScriptLimitMs))}});
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
    return PagePicture::Encode(QImage::fromData(QByteArray::fromBase64(QByteArray::fromStdString(data)), "PNG"),
                               request, error);
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
