#include "Chromium/ChromiumPage.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/beast/core/detail/base64.hpp>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The value of header name (any case) among headers, or empty.
std::string Header(const nlohmann::json& headers, const std::string& name) {
    const auto same = [&name](const std::string& other) {
        return std::equal(name.begin(), name.end(), other.begin(), other.end(),
                          [](char a, char b) { return std::tolower(a) == std::tolower(b); });
    };
    for (const auto& item : headers.items()) {
        if (same(item.key()) && item.value().is_string()) {
            return item.value().get<std::string>();
        }
    }
    return std::string();
}

// The host of an absolute URL, without its user, port or IPv6 brackets.
std::string HostOf(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        return std::string();
    }
    std::string authority = url.substr(scheme + 3, url.find_first_of("/?#", scheme + 3) - (scheme + 3));
    authority = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    if (!authority.empty() && authority[0] == '[') {
        return authority.substr(1, authority.find(']') - 1);
    }
    return authority.substr(0, authority.find(':'));
}

std::string Base64(const std::string& bytes) {
    std::string text(boost::beast::detail::base64::encoded_size(bytes.size()), '\0');
    text.resize(boost::beast::detail::base64::encode(&text[0], bytes.data(), bytes.size()));
    return text;
}

std::string FromBase64(const std::string& text) {
    std::string bytes(boost::beast::detail::base64::decoded_size(text.size()), '\0');
    bytes.resize(boost::beast::detail::base64::decode(&bytes[0], text.data(), text.size()).first);
    return bytes;
}

// A paused request's body as it would go: what go posts, else what the
// page's request holds.
std::string BodyOf(const nlohmann::json& request, const nlohmann::json& go) {
    if (go.contains("postData")) {
        return FromBase64(go.value("postData", std::string()));
    }
    if (!request.contains("postDataEntries")) {
        return request.value("postData", std::string());
    }
    std::string body;
    for (const nlohmann::json& entry : request["postDataEntries"]) {
        body += FromBase64(entry.value("bytes", std::string()));
    }
    return body;
}

// Headers as the Fetch domain lists them ([{name, value}]) as one object.
nlohmann::json HeaderObject(const nlohmann::json& list) {
    nlohmann::json headers = nlohmann::json::object();
    for (const nlohmann::json& header : list) {
        headers[header.value("name", std::string())] = header.value("value", std::string());
    }
    return headers;
}

// The event that carries the answer to a request a hook sent.
const char* const AnsweredEvent = "Orvo.requestAnswered";

} // namespace

ChromiumPage::ChromiumPage(DevToolsPipe& browser, const Proxy& proxy)
    : browser(browser), proxy(proxy), frames(browser, session, target) {
    nlohmann::json settings = nlohmann::json::object();
    if (!proxy.server.empty()) {
        // Loopback goes through the proxy too: nothing of the page goes
        // around it.
        settings = {{"proxyServer", proxy.server}, {"proxyBypassList", "<-loopback>"}};
    }
    context = browser.Call("Target.createBrowserContext", settings).at("browserContextId");
    target =
        browser.Call("Target.createTarget", {{"url", "about:blank"}, {"browserContextId", context}}).at("targetId");
    session = browser.Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}).at("sessionId");
    browser.Intercept([this](const nlohmann::json& event) { return Intercepted(event); });
    Call("Page.enable");
    Call("Network.enable");
    // Tells of a crashed renderer.
    Call("Inspector.enable");
    // No scrollbars: the page is laid out, and pictured, at the viewport's
    // whole width.
    Call("Emulation.setScrollbarsHidden", {{"hidden", true}});
}

ChromiumPage::~ChromiumPage() {
    browser.Intercept(nullptr);
    try {
        browser.Call("Target.disposeBrowserContext", {{"browserContextId", context}});
    } catch (const DevToolsError&) {
        // The browser ended: its contexts went with it.
    }
}

nlohmann::json ChromiumPage::Call(const std::string& method, const nlohmann::json& params) {
    return browser.Call(method, params, session);
}

nlohmann::json ChromiumPage::Evaluate(const std::string& expression) {
    const nlohmann::json evaluated = Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}});
    if (evaluated.contains("exceptionDetails")) {
        const nlohmann::json& details = evaluated["exceptionDetails"];
        const nlohmann::json exception = details.value("exception", nlohmann::json::object());
        throw DevToolsError("JavaScript: " + exception.value("description", details.value("text", std::string())));
    }
    return evaluated.at("result").value("value", nlohmann::json());
}

std::string ChromiumPage::Html() {
    return Evaluate("document.documentElement ? document.documentElement.outerHTML : ''").get<std::string>();
}

std::string ChromiumPage::SnapshotBase64(int maxHeight) {
    const nlohmann::json metrics = Call("Page.getLayoutMetrics");
    const nlohmann::json& content = metrics.at("cssContentSize");
    const nlohmann::json& viewport = metrics.at("cssLayoutViewport");
    const double width = std::max(1.0, viewport.value("clientWidth", 1.0));
    const double height = std::max(1.0, std::min<double>(content.value("height", 1.0), maxHeight));
    const nlohmann::json clip{{"x", 0}, {"y", 0}, {"width", width}, {"height", height}, {"scale", 1}};
    // The picture is decoded at once: its PNG is made fast, not small.
    return Call("Page.captureScreenshot",
                {{"format", "png"}, {"captureBeyondViewport", true}, {"clip", clip}, {"optimizeForSpeed", true}})
        .value("data", std::string());
}

ChromiumPage::Rendered ChromiumPage::Render(const Load& load) {
    Rendered rendered;
    rendering = true;
    try {
        RenderInto(load, rendered);
    } catch (const DevToolsError&) {
        rendering = false;
        pausedLoad = nullptr;
        throw;
    }
    rendering = false;
    if (rendered.crashed) {
        pausedLoad = nullptr;
    } else {
        PauseBetweenRenders(load);
    }
    return rendered;
}

void ChromiumPage::RenderInto(const Load& load, Rendered& rendered) {
    const long long deadline = NowMs() + load.timeoutMs;
    for (const auto& header : load.headers) {
        if (!Orvo::Browser::RequestRules::SafeHeader(header.first, header.second)) {
            // Such a header is never sent: the page fails, as on WebKit.
            rendered.url = load.url;
            rendered.error = Orvo::Browser::RequestRules::HeaderRefusal(header.first);
            return;
        }
    }
    documentSent = false;
    documentMethod = "GET";
    rawHeaders.clear();
    inFlight.clear();
    if (!load.continueLog || !log) {
        log.reset(load.networkLog || load.responseBodies ? new ChromiumNetworkLog() : nullptr);
    }
    logBodies = load.responseBodies;
    keepsConsole = load.console;
    console = nlohmann::json::array();
    Prepare(load);
    PauseRequests(load, rendered);
    rendered.url = load.url;
    const nlohmann::json navigation =
        Call("Page.navigate", {{"url", load.baseUrl.empty() ? load.url : load.baseUrl}});
    if (rendered.error.empty()) {
        rendered.error = navigation.value("errorText", std::string());
    }
    if (!rendered.error.empty()) {
        return;
    }
    const std::string loaderId = navigation.value("loaderId", std::string());
    AwaitLoad(loaderId, deadline, load.resourceTimeoutMs, rendered);
    if (rendered.crashed) {
        return;
    }
    if (rendered.loaded) {
        RunFor(static_cast<int>(std::min<long long>(load.delayMs, std::max(0LL, deadline - NowMs()))), loaderId,
               rendered);
    }
    TakeRawHeaders(rendered);
    // A document refused for its content type has no page to read.
    rendered.ok = rendered.error.empty();
    if (rendered.ok) {
        rendered.html = Html();
    }
}

void ChromiumPage::Prepare(const Load& load) {
    if (load.width > 0 && load.height > 0) {
        Call("Emulation.setDeviceMetricsOverride",
             {{"width", load.width}, {"height", load.height}, {"deviceScaleFactor", 1}, {"mobile", false}});
    }
    for (const auto& header : load.headers) {
        if (boost::algorithm::iequals(header.first, "User-Agent")) {
            Call("Network.setUserAgentOverride", {{"userAgent", header.second}});
        }
    }
    if (!load.javascript) {
        Call("Emulation.setScriptExecutionDisabled", {{"value", true}});
    }
    if (load.console) {
        Call("Runtime.enable");
    }
    if (!load.cookies.empty()) {
        browser.Call("Storage.setCookies", {{"cookies", load.cookies}, {"browserContextId", context}});
    }
}

void ChromiumPage::PauseRequests(const Load& load, Rendered& rendered) {
    const nlohmann::json patterns = Patterns(load);
    if (patterns.empty()) {
        return StopPausing();
    }
    pausedLoad = &load;
    pausedRendered = &rendered;
    Call("Fetch.enable", {{"patterns", patterns}, {"handleAuthRequests", !proxy.user.empty()}});
    pausing = true;
}

nlohmann::json ChromiumPage::Patterns(const Load& load) const {
    nlohmann::json patterns = nlohmann::json::array();
    const bool every = PausesEveryRequest(load);
    if (every || PausesDocument(load) || held) {
        nlohmann::json requests{{"urlPattern", "*"}, {"requestStage", "Request"}};
        if (!every) {
            requests["resourceType"] = "Document";
        }
        patterns.push_back(requests);
    }
    if (load.rules.FiltersTypes() || responseHook) {
        patterns.push_back({{"urlPattern", "*"}, {"requestStage", "Response"}});
    }
    return patterns;
}

void ChromiumPage::StopPausing() {
    pausedLoad = nullptr;
    if (pausing) {
        pausing = false;
        Call("Fetch.disable");
    }
}

// A page that runs on after its render (a script's) pauses nothing that
// no one would let go: only what its hooks and held navigations need,
// its requests then let go by the latest load's rules.
void ChromiumPage::PauseBetweenRenders(const Load& load) {
    if (!requestHook && !responseHook && !held) {
        return StopPausing();
    }
    if (&load != &latest) {
        latest = load;
    }
    pausedLoad = &latest;
    pausedRendered = &unread;
    Call("Fetch.enable", {{"patterns", Patterns(latest)}, {"handleAuthRequests", !proxy.user.empty()}});
    pausing = true;
}

void ChromiumPage::OnPause(PauseHook hook) {
    const bool was = static_cast<bool>(pauseHook);
    pauseHook = std::move(hook);
    if (pauseHook && !was) {
        Call("Debugger.enable");
    } else if (!pauseHook && was) {
        Call("Debugger.disable");
    }
}

void ChromiumPage::Hook(RequestHook request, ResponseHook response) {
    requestHook = std::move(request);
    responseHook = std::move(response);
    if (!rendering) {
        PauseBetweenRenders(latest);
    }
}

bool ChromiumPage::PausesEveryRequest(const Load& load) const {
    return load.rules.FiltersHosts() || load.rules.FiltersTypes() || !load.images || !proxy.user.empty()
           || load.refuseHost || requestHook;
}

bool ChromiumPage::PausesDocument(const Load& load) {
    return load.method == "POST" || !load.baseUrl.empty() || !load.headers.empty() || load.fulfill;
}

nlohmann::json ChromiumPage::DocumentHeaders(const nlohmann::json& request, const Load& load) {
    nlohmann::json given = request.value("headers", nlohmann::json::object());
    for (const auto& header : load.headers) {
        if (!boost::algorithm::iequals(header.first, "User-Agent")) {
            for (const auto& item : given.items()) {
                if (boost::algorithm::iequals(item.key(), header.first)) {
                    given.erase(item.key());
                    break;
                }
            }
            given[header.first] = header.second;
        }
    }
    if (load.method == "POST" && Header(given, "Content-Type").empty()) {
        given["Content-Type"] = "application/x-www-form-urlencoded";
    }
    nlohmann::json headers = nlohmann::json::array();
    for (const auto& header : given.items()) {
        headers.push_back({{"name", header.key()}, {"value", header.value()}});
    }
    return headers;
}

void ChromiumPage::Authenticate(const nlohmann::json& params) {
    const nlohmann::json challenge = params.value("authChallenge", nlohmann::json::object());
    nlohmann::json response{{"response", "Default"}};
    if (challenge.value("source", std::string()) == "Proxy") {
        response = {{"response", "ProvideCredentials"}, {"username", proxy.user}, {"password", proxy.password}};
    }
    Call("Fetch.continueWithAuth",
         {{"requestId", params.value("requestId", std::string())}, {"authChallengeResponse", response}});
}

bool ChromiumPage::Intercepted(const nlohmann::json& event) {
    if (event.value("sessionId", std::string()) != session) {
        return false;
    }
    const std::string method = event.value("method", std::string());
    if (method == AnsweredEvent) {
        Answered(event.value("params", nlohmann::json::object()));
        return true;
    }
    if (method == "Target.attachedToTarget" || method == "Target.detachedFromTarget") {
        return frames.Take(method, event.value("params", nlohmann::json::object()));
    }
    if (method == "Debugger.paused" && pauseHook) {
        const PauseHook hook = pauseHook;
        hook(event.value("params", nlohmann::json::object()));
        return true;
    }
    return pausedLoad != nullptr && Paused(event, *pausedLoad, *pausedRendered);
}

bool ChromiumPage::Paused(const nlohmann::json& event, const Load& load, Rendered& rendered) {
    const std::string method = event.value("method", std::string());
    const bool paused = method == "Fetch.requestPaused";
    if ((!paused && method != "Fetch.authRequired") || event.value("sessionId", std::string()) != session) {
        return false;
    }
    const nlohmann::json& params = event["params"];
    const bool main = params.value("resourceType", std::string()) == "Document"
                      && params.value("frameId", std::string()) == target;
    try {
        if (!paused) {
            Authenticate(params);
        } else if (params.contains("responseStatusCode") || params.contains("responseErrorReason")) {
            LetResponseGo(params, main, load, rendered);
        } else {
            LetRequestGo(params, main, load, rendered);
        }
    } catch (const DevToolsError&) {
        // A request that went away meanwhile has nothing to let go.
        if (!browser.Running()) {
            throw;
        }
    }
    return true;
}

// The page's first request is its document's: it is sent to the request's
// URL when the page is laid out at a base URL (the page does not see it),
// and posted for a POST. The request hook sees each request as it would
// go, and the rules see it as the hook left it.
void ChromiumPage::LetRequestGo(const nlohmann::json& params, bool main, const Load& load, Rendered& rendered) {
    const std::string id = params.value("requestId", std::string());
    const nlohmann::json request = params.value("request", nlohmann::json::object());
    const bool first = main && !documentSent;
    if (first && load.fulfill) {
        documentSent = true;
        const nlohmann::json type{{"name", "Content-Type"}, {"value", load.contentType}};
        Call("Fetch.fulfillRequest", {{"requestId", id},
                                      {"responseCode", 200},
                                      {"responseHeaders", nlohmann::json::array({type})},
                                      {"body", Base64(load.content)}});
        return;
    }
    if (main && held && !rendering) {
        return Fail(id, "Aborted");
    }
    nlohmann::json go{{"requestId", id}};
    std::string method = request.value("method", std::string("GET"));
    if (first) {
        documentSent = true;
        if (!load.baseUrl.empty()) {
            go["url"] = load.url;
        }
        if (load.method == "POST") {
            method = "POST";
            go["method"] = method;
            go["postData"] = Base64(load.body);
        }
        if (load.method == "POST" || !load.headers.empty()) {
            go["headers"] = DocumentHeaders(request, load);
        }
    }
    Outgoing shown;
    if (requestHook && !ShowRequest(params, method, go, shown)) {
        return Fail(id, "Aborted");
    }
    const std::string url = go.value("url", request.value("url", std::string()));
    const std::string refusal = Refusal(params, go, HostOf(url), load);
    if (!refusal.empty()) {
        if (main && rendered.error.empty()) {
            rendered.error = refusal;
        }
        return Fail(id, "BlockedByClient");
    }
    if (first && log) {
        log->Sent(params.value("networkId", id), load.method, url, static_cast<long long>(load.body.size()));
    }
    if (!shown.send) {
        Call("Fetch.continueRequest", go);
        return;
    }
    shown.pauseId = id;
    shown.body = BodyOf(request, go);
    sentByHooks[id] = Sent{params.value("networkId", id), url, main};
    shown.send(shown);
}

bool ChromiumPage::ShowRequest(const nlohmann::json& params, const std::string& method, nlohmann::json& go,
                               Outgoing& shown) {
    const nlohmann::json request = params.value("request", nlohmann::json::object());
    shown.url = go.value("url", request.value("url", std::string()));
    shown.method = method;
    if (go.contains("headers")) {
        for (const nlohmann::json& header : go["headers"]) {
            shown.headers.emplace_back(header.value("name", std::string()), header.value("value", std::string()));
        }
    } else {
        const nlohmann::json headers = request.value("headers", nlohmann::json::object());
        for (const auto& header : headers.items()) {
            shown.headers.emplace_back(header.key(), header.value().is_string() ? header.value().get<std::string>()
                                                                                : std::string());
        }
    }
    const Outgoing before = shown;
    // A hook may set the hooks anew while it runs.
    const RequestHook hook = requestHook;
    hook(params.value("networkId", params.value("requestId", std::string())), shown);
    if (shown.abort) {
        return false;
    }
    if (shown.url != before.url) {
        go["url"] = shown.url;
    }
    if (shown.headers != before.headers) {
        go["headers"] = nlohmann::json::array();
        for (const auto& header : shown.headers) {
            go["headers"].push_back({{"name", header.first}, {"value", header.second}});
        }
    }
    return true;
}

std::string ChromiumPage::Refusal(const nlohmann::json& params, const nlohmann::json& go, const std::string& host,
                                  const Load& load) {
    if (!load.rules.AllowsHost(host)) {
        return Orvo::Browser::RequestRules::HostRefusal(host);
    }
    if (load.refuseHost) {
        const std::string refusal = load.refuseHost(
            host, go.value("url", params.value("request", nlohmann::json::object()).value("url", std::string())));
        if (!refusal.empty()) {
            return refusal;
        }
    }
    if (!load.images && params.value("resourceType", std::string()) == "Image") {
        return "images are off";
    }
    for (const nlohmann::json& header : go.value("headers", nlohmann::json::array())) {
        const std::string name = header.value("name", std::string());
        if (!Orvo::Browser::RequestRules::SafeHeader(name, header.value("value", std::string()))) {
            return Orvo::Browser::RequestRules::HeaderRefusal(name);
        }
    }
    return std::string();
}

// A redirect's response is let go whatever its type: its body is not what
// the page loads.
void ChromiumPage::LetResponseGo(const nlohmann::json& params, bool main, const Load& load, Rendered& rendered) {
    const std::string id = params.value("requestId", std::string());
    const std::string url = params.value("request", nlohmann::json::object()).value("url", std::string());
    const nlohmann::json headers = HeaderObject(params.value("responseHeaders", nlohmann::json::array()));
    if (Admit(id, params.value("networkId", id), url, params.value("responseStatusCode", 0),
              params.value("responseStatusText", std::string()), headers, main, load, rendered)) {
        Call("Fetch.continueRequest", {{"requestId", id}});
    }
}

bool ChromiumPage::Admit(const std::string& id, const std::string& networkId, const std::string& url, int status,
                         const std::string& reason, const nlohmann::json& headers, bool main, const Load& load,
                         Rendered& rendered) {
    if (responseHook && status > 0) {
        Incoming shown;
        shown.url = url;
        shown.status = status;
        shown.reason = reason;
        shown.headers = Lines(headers);
        const ResponseHook hook = responseHook;
        hook(networkId, shown);
        if (shown.abort) {
            Fail(id, "Aborted");
            return false;
        }
    }
    const std::string type = Header(headers, "Content-Type");
    if ((status < 300 || status >= 400) && !load.rules.AllowsType(type)) {
        if (main && rendered.error.empty()) {
            rendered.error = Orvo::Browser::RequestRules::TypeRefusal(type);
        }
        Fail(id, "BlockedByResponse");
        return false;
    }
    return true;
}

void ChromiumPage::PostAnswer(const std::string& pauseId, nlohmann::json answer) {
    answer["requestId"] = pauseId;
    browser.Post({{"method", AnsweredEvent}, {"sessionId", session}, {"params", std::move(answer)}});
}

// Between renders, the latest render's rules go on.
void ChromiumPage::Answered(const nlohmann::json& params) {
    const std::string id = params.value("requestId", std::string());
    const auto found = sentByHooks.find(id);
    if (found == sentByHooks.end()) {
        return;
    }
    const Sent sent = found->second;
    sentByHooks.erase(found);
    try {
        if (params.contains("errorReason")) {
            return Fail(id, params.value("errorReason", "Failed").c_str());
        }
        const nlohmann::json headers = HeaderObject(params.value("responseHeaders", nlohmann::json::array()));
        if (Admit(id, sent.networkId, sent.url, params.value("responseCode", 0),
                  params.value("responsePhrase", std::string()), headers, sent.main,
                  pausedLoad != nullptr ? *pausedLoad : latest, pausedRendered != nullptr ? *pausedRendered : unread)) {
            Call("Fetch.fulfillRequest", params);
        }
    } catch (const DevToolsError&) {
        // A request that went away meanwhile has nothing to answer.
        if (!browser.Running()) {
            throw;
        }
    }
}

void ChromiumPage::Fail(const std::string& requestId, const char* reason) {
    Call("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", reason}});
}

// Waits for the load event, looking every LookMs whether the page waits
// only on sub-resources that have been silent for the resource timeout:
// loading then stops, as the WebKit engine aborts them, and the page is
// complete.
void ChromiumPage::AwaitLoad(const std::string& loaderId, long long deadlineMs, int resourceTimeoutMs,
                             Rendered& rendered) {
    nlohmann::json event;
    while (!rendered.loaded && !rendered.crashed && NowMs() < deadlineMs) {
        const long long wait = std::min<long long>(LookMs, deadlineMs - NowMs());
        if (browser.NextEvent(event, static_cast<int>(std::max(0LL, wait)))) {
            rendered.loaded = Take(event, loaderId, rendered);
            Track(event, loaderId);
        }
        if (!rendered.loaded && resourceTimeoutMs > 0 && OnlySilent(resourceTimeoutMs)) {
            // Stopping completes the document without a load event.
            Call("Page.stopLoading");
            rendered.loaded = true;
            rendered.stoppedLoading = true;
        }
    }
}

// A sub-resource's request is in flight from its request until it
// finished or failed; any news of it counts as activity.
void ChromiumPage::Track(const nlohmann::json& event, const std::string& loaderId) {
    if (event.value("sessionId", std::string()) != session) {
        return;
    }
    const std::string method = event.value("method", std::string());
    const nlohmann::json& params = event.contains("params") ? event["params"] : nlohmann::json::object();
    const std::string id = params.value("requestId", std::string());
    if (id.empty() || id == loaderId) {
        return;
    }
    if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
        inFlight.erase(id);
    } else if (method == "Network.requestWillBeSent" || method == "Network.responseReceived"
               || method == "Network.dataReceived") {
        inFlight[id] = NowMs();
    }
}

bool ChromiumPage::OnlySilent(int resourceTimeoutMs) const {
    const long long now = NowMs();
    const auto silent = [now, resourceTimeoutMs](const std::pair<const std::string, long long>& request) {
        return now - request.second >= resourceTimeoutMs;
    };
    return !inFlight.empty() && std::all_of(inFlight.begin(), inFlight.end(), silent);
}

void ChromiumPage::RunFor(int ms, const std::string& loaderId, Rendered& rendered) {
    const long long end = NowMs() + ms;
    nlohmann::json event;
    while (!rendered.crashed && browser.NextEvent(event, static_cast<int>(std::max(0LL, end - NowMs())))) {
        Take(event, loaderId, rendered);
    }
}

bool ChromiumPage::Take(const nlohmann::json& event, const std::string& loaderId, Rendered& rendered) {
    if (event.value("sessionId", std::string()) != session) {
        return false;
    }
    const std::string method = event.value("method", std::string());
    const nlohmann::json& params = event.contains("params") ? event["params"] : nlohmann::json::object();
    Observe(method, params);
    const bool document =
        params.value("type", std::string()) == "Document" && params.value("loaderId", std::string()) == loaderId;
    if (method == "Network.requestWillBeSent" && document) {
        // A redirect's response comes with the request it leads to.
        if (params.contains("redirectResponse")) {
            Keep(params["redirectResponse"], documentMethod, rendered);
        }
        documentMethod = params.value("request", nlohmann::json::object()).value("method", std::string("GET"));
    } else if (method == "Network.responseReceived" && document) {
        Keep(params.at("response"), documentMethod, rendered);
    } else if (method == "Network.responseReceivedExtraInfo" && params.value("requestId", std::string()) == loaderId) {
        rawHeaders.push_back(params.value("headers", nlohmann::json::object()));
    } else if (method == "Inspector.targetCrashed") {
        rendered.crashed = true;
    }
    return method == "Page.loadEventFired";
}

void ChromiumPage::Keep(const nlohmann::json& response, const std::string& method, Rendered& rendered) {
    Response kept;
    kept.url = response.value("url", rendered.url);
    kept.method = method;
    kept.status = response.value("status", 0);
    kept.reason = response.value("statusText", std::string());
    const nlohmann::json headers = response.value("headers", nlohmann::json::object());
    kept.headers = Lines(headers);
    rendered.status = kept.status;
    rendered.url = kept.url;
    rendered.lastModified = Header(headers, "Last-Modified");
    rendered.history.push_back(std::move(kept));
}

// Headers given more than once come as one, their values on lines.
std::vector<std::pair<std::string, std::string>> ChromiumPage::Lines(const nlohmann::json& headers) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (const auto& header : headers.items()) {
        std::istringstream values(header.value().is_string() ? header.value().get<std::string>() : std::string());
        for (std::string value; std::getline(values, value);) {
            lines.emplace_back(header.key(), value);
        }
    }
    return lines;
}

// The browser leaves Set-Cookie out of a response's headers and gives the
// headers as they came in a separate event, one for each response of the
// document's request (whose id is its loader's), in order.
void ChromiumPage::TakeRawHeaders(Rendered& rendered) const {
    for (std::size_t k = 0; k < rendered.history.size() && k < rawHeaders.size(); ++k) {
        rendered.history[k].headers = Lines(rawHeaders[k]);
    }
}

void ChromiumPage::TakePending() {
    nlohmann::json event;
    while (browser.NextEvent(event, 0)) {
        if (event.value("sessionId", std::string()) != session) {
            continue;
        }
        Observe(event.value("method", std::string()),
                event.contains("params") ? event["params"] : nlohmann::json::object());
    }
}

void ChromiumPage::Observe(const std::string& method, const nlohmann::json& params) {
    if (watcher) {
        watcher(method, params);
    }
    if (log) {
        log->Take(method, params);
    }
    if (keepsConsole && method == "Runtime.consoleAPICalled") {
        KeepConsole(params);
    }
}

// The message's arguments as the console shows them, separated by
// spaces: a string as it is, another value as JSON, an object by its
// description. A cut never splits a UTF-8 character.
void ChromiumPage::KeepConsole(const nlohmann::json& params) {
    if (console.size() >= MaxConsoleMessages) {
        return;
    }
    std::string text;
    for (const nlohmann::json& argument : params.value("args", nlohmann::json::array())) {
        text += text.empty() ? "" : " ";
        if (argument.contains("value")) {
            const nlohmann::json& value = argument["value"];
            text += value.is_string() ? value.get<std::string>()
                                      : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        } else {
            text += argument.value("unserializableValue", argument.value("description", std::string()));
        }
    }
    if (text.size() > MaxConsoleBytes) {
        std::size_t end = MaxConsoleBytes;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        text.resize(end);
    }
    console.push_back(text);
}

nlohmann::json ChromiumPage::Frames() {
    return frames.Describe();
}

nlohmann::json ChromiumPage::Console() {
    TakePending();
    return console;
}

// A body the browser no longer has (or never had) is left out.
nlohmann::json ChromiumPage::NetworkArchive() {
    if (!log) {
        return nlohmann::json();
    }
    TakePending();
    std::map<std::string, std::string> bodies;
    for (const std::string& id : logBodies ? log->Finished() : std::vector<std::string>()) {
        try {
            const nlohmann::json body = Call("Network.getResponseBody", {{"requestId", id}});
            const std::string text = body.value("body", std::string());
            bodies[id] = body.value("base64Encoded", false) ? text : Base64(text);
        } catch (const DevToolsError&) {
            if (!browser.Running()) {
                throw;
            }
        }
    }
    const nlohmann::json title = Evaluate("document.title");
    return log->Archive(title.is_string() ? title.get<std::string>() : std::string(), bodies);
}

void ChromiumPage::SetCookies(const nlohmann::json& cookies) {
    browser.Call("Storage.setCookies", {{"cookies", cookies}, {"browserContextId", context}});
}

void ChromiumPage::ClearCookies() {
    browser.Call("Storage.clearCookies", {{"browserContextId", context}});
}

void ChromiumPage::HoldNavigations(bool hold) {
    held = hold;
    PauseBetweenRenders(latest);
}

void ChromiumPage::ResetNetworkLog() {
    if (log) {
        TakePending();
        log.reset(new ChromiumNetworkLog());
    }
}

nlohmann::json ChromiumPage::Cookies() {
    return browser.Call("Storage.getCookies", {{"browserContextId", context}})
        .value("cookies", nlohmann::json::array());
}
