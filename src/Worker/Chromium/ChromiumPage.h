#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMPAGE_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMPAGE_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Chromium/ChromiumFrames.h"
#include "Chromium/ChromiumNetworkLog.h"
#include "Chromium/DevToolsPipe.h"
#include "Kernel/RequestRules.h"

// One page of the Chromium engine, in a browser context of its own so that
// cookies, storage and cache never pass between pages: loads a URL as a
// request asks, waits until it is ready, and reads what a worker answers
// with. The context goes with the object. The page uses its browser's
// pipe alone while it renders (one page at a time per pipe). A page that
// filters what it loads, or posts its document, pauses each of its
// requests (the DevTools Fetch domain) and lets it go, changed or failed,
// while it loads.
class ChromiumPage {
public:
    // How often a loading page looks for sub-resources gone silent.
    static constexpr int LookMs = 250;

    struct Load {
        std::string url;
        // Headers of the page's document request (a User-Agent among them
        // goes with every request), and its viewport (0: the browser's
        // own).
        std::vector<std::pair<std::string, std::string>> headers;
        int width = 0;
        int height = 0;
        // How long after its load event the page still runs before it is
        // read, and how long it may take in all.
        int delayMs = 0;
        int timeoutMs = 30000;
        // How long the page waits on sub-resources that all receive
        // nothing before it stops loading them; 0: for ever.
        int resourceTimeoutMs = 0;
        // What the page may load (a refused request fails; the main
        // document's refusal is the page's error), and whether images.
        Orvo::Browser::RequestRules rules;
        // Why a request to url, on host, is not sent beyond the rules (its
        // address in a denied network); empty when it may go. Unset: it
        // may.
        std::function<std::string(const std::string& host, const std::string& url)> refuseHost;
        bool images = true;
        bool javascript = true;
        // The main document's method and, for POST, its body.
        std::string method = "GET";
        std::string body;
        // The address the document is laid out with: it is fetched from
        // url, and its relative references resolve against this. Empty:
        // url.
        std::string baseUrl;
        // Cookies put into the page's jar before it loads (CookieParam
        // objects, see ChromiumCookies).
        nlohmann::json cookies = nlohmann::json::array();
        // Whether the page keeps a log of its network activity, and the
        // bodies of its responses in it; whether that log goes on from the
        // page's previous render rather than starting anew.
        bool networkLog = false;
        bool continueLog = false;
        bool responseBodies = false;
        // When set, the main document is not fetched: its request is
        // answered with content, of contentType.
        bool fulfill = false;
        std::string content;
        std::string contentType;
        // Whether the page keeps what its JavaScript logs through console.
        bool console = false;
    };

    // Of what the page's JavaScript logs, at most this many messages,
    // each cut at this many bytes.
    static constexpr std::size_t MaxConsoleMessages = 1000;
    static constexpr std::size_t MaxConsoleBytes = 10000;

    // One response of the main document, a redirect's included.
    struct Response {
        std::string url;
        std::string method;
        int status = 0;
        std::string reason;
        std::vector<std::pair<std::string, std::string>> headers;
    };

    struct Rendered {
        // False when the main document failed without a response (error
        // says why, as the browser names it: "net::ERR_CONNECTION_REFUSED").
        bool ok = false;
        std::string error;
        // The main document's last response: its status (0 without one),
        // its address after redirects, and its Last-Modified header (empty
        // without one).
        int status = 0;
        std::string url;
        std::string lastModified;
        // The document as it is when read, and whether it had loaded then
        // (false when the time ran out first).
        std::string html;
        bool loaded = false;
        // Each response of the main document, in order.
        std::vector<Response> history;
        // Loading was stopped: it waited only on sub-resources silent for
        // the resource timeout.
        bool stoppedLoading = false;
        // The page's renderer process crashed (or was killed): nothing of
        // the page can be read.
        bool crashed = false;
    };

    // Where every request of the page goes: server as the browser takes it
    // ("http://host:port", "socks5://host:port"; empty for none), and the
    // proxy's credentials when it asks for them.
    struct Proxy {
        std::string server;
        std::string user;
        std::string password;
    };

    explicit ChromiumPage(DevToolsPipe& browser, const Proxy& proxy = Proxy());
    ~ChromiumPage();
    ChromiumPage(const ChromiumPage&) = delete;
    ChromiumPage& operator=(const ChromiumPage&) = delete;

    // Loads load's URL; the page may render again, each time as its own
    // load says.
    Rendered Render(const Load& load);

    // The value of expression evaluated in the page (JSON); an exception
    // thrown there is a DevToolsError saying what it was.
    nlohmann::json Evaluate(const std::string& expression);

    // The document's HTML as it is now.
    std::string Html();

    // The page's child frames, in the form of the WebKit worker's
    // description: each {"url", "title", "name", "geometry": [x, y,
    // width, height], "html", "frames"}. A frame of another site, which
    // the browser runs in a process of its own, is read through a session
    // attached to it, and listed after its parent's other children.
    nlohmann::json Frames();

    // The text of each message the page's JavaScript logged through
    // console since its latest Render began, when the load asked.
    nlohmann::json Console();

    // The cookies of the page's context, as the browser gives them
    // (Network.Cookie objects).
    nlohmann::json Cookies();

    // Puts cookies (CookieParam objects) into the page's context, and
    // removes every cookie of it.
    void SetCookies(const nlohmann::json& cookies);
    void ClearCookies();

    // While held, the navigations the page itself starts in its main frame
    // fail before they go out, and the page stays; its frames' go on.
    // Between renders only.
    void HoldNavigations(bool held);

    // A request of the page's before it goes out, as a hook sees it: the
    // hook may change its URL and headers, or drop it. A hook that sets
    // send fetches the request itself: once the load's rules let the
    // request go, the page calls send with it as it would go, instead of
    // letting the browser send it, and send's answer comes back through
    // PostAnswer with pauseId.
    struct Outgoing {
        std::string url;
        std::string method;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        bool abort = false;
        std::string pauseId;
        std::function<void(const Outgoing& request)> send;
    };
    // Answers request pauseId, which a request hook chose to send, from any
    // thread: answer is a response ({responseCode, responsePhrase,
    // responseHeaders [{name, value}], body in base64}) or a failure
    // ({errorReason}, as the Fetch domain names it). The response is shown
    // to the response hook and the load's rules as the browser's are.
    void PostAnswer(const std::string& pauseId, nlohmann::json answer);
    // A response whose headers came, as a hook sees it: the hook may drop
    // it.
    struct Incoming {
        std::string url;
        int status = 0;
        std::string reason;
        std::vector<std::pair<std::string, std::string>> headers;
        bool abort = false;
    };
    // Each hook is given the request's id in the Network domain's events.
    typedef std::function<void(const std::string& requestId, Outgoing& request)> RequestHook;
    typedef std::function<void(const std::string& requestId, Incoming& response)> ResponseHook;
    // Shows each request of the page to request before it goes out, and
    // each response to response once its headers came, while the page
    // renders and between renders, the load's rules applied after them; an
    // empty hook pauses nothing. The hooks may call the page.
    void Hook(RequestHook request, ResponseHook response);

    // Shows each pause of the page's JavaScript (a Debugger.paused event's
    // params) to hook, which must let it go on; the Debugger domain is on
    // while a hook is set.
    typedef std::function<void(const nlohmann::json& params)> PauseHook;
    void OnPause(PauseHook hook);

    // Starts the network log anew, when the page keeps one.
    void ResetNetworkLog();

    // The network log of the page's latest Render, as an HTTP Archive
    // (see ChromiumNetworkLog), with the bodies of its responses when the
    // load asked for them; null when it asked for no log.
    nlohmann::json NetworkArchive();

    // The whole page laid out at the viewport's width, cut at maxHeight
    // pixels, as PNG in base64.
    std::string SnapshotBase64(int maxHeight);

    // Sends a command to the page's own target and returns its answer's
    // result; throws DevToolsError as DevToolsPipe::Call does.
    nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object());

    // Takes the page's events that came since they were last read, so
    // that its log and console go on between calls (a page left running
    // keeps sending them).
    void TakePending();

    // Each event of the page is shown to watcher as it is taken, while the
    // page renders too; an empty function ends it.
    typedef std::function<void(const std::string& method, const nlohmann::json& params)> Watcher;
    void Watch(Watcher given) { watcher = std::move(given); }

    // The page's main frame.
    const std::string& MainFrame() const { return target; }

private:
    // Render's steps, into rendered.
    void RenderInto(const Load& load, Rendered& rendered);
    // Takes the page's events until its load event or deadlineMs.
    void AwaitLoad(const std::string& loaderId, long long deadlineMs, int resourceTimeoutMs, Rendered& rendered);
    // Keeps when each sub-resource in flight last had news.
    void Track(const nlohmann::json& event, const std::string& loaderId);
    // Whether requests are in flight, each silent for resourceTimeoutMs.
    bool OnlySilent(int resourceTimeoutMs) const;
    // Takes the page's events for ms, keeping their news in rendered.
    void RunFor(int ms, const std::string& loaderId, Rendered& rendered);
    // Keeps what event says of the main document in rendered; true for its
    // load event.
    bool Take(const nlohmann::json& event, const std::string& loaderId, Rendered& rendered);

    // Keeps response, which answered a request made with method, in
    // rendered as the main document's latest.
    static void Keep(const nlohmann::json& response, const std::string& method, Rendered& rendered);
    static std::vector<std::pair<std::string, std::string>> Lines(const nlohmann::json& headers);
    void TakeRawHeaders(Rendered& rendered) const;
    // Sets what load asks of the page before it navigates.
    void Prepare(const Load& load);
    // Pauses the page's requests as load needs: every request to filter
    // them, only documents to change the document's request.
    void PauseRequests(const Load& load, Rendered& rendered);
    void StopPausing();
    // After a render: goes on pausing the requests that held navigations
    // and the hooks need, with the rules of load; stops pausing otherwise.
    void PauseBetweenRenders(const Load& load);
    // The Fetch domain's patterns for what load, the hooks and held
    // navigations need paused; empty for nothing.
    nlohmann::json Patterns(const Load& load) const;
    // Shows a request to the request hook, and changes go (the
    // Fetch.continueRequest it will be let go with) as it says, into shown;
    // false when the hook dropped it.
    bool ShowRequest(const nlohmann::json& params, const std::string& method, nlohmann::json& go,
                     Outgoing& shown);
    // The request's refusal by load's rules, or by its headers; empty when
    // it may go.
    static std::string Refusal(const nlohmann::json& params, const nlohmann::json& go, const std::string& host,
                               const Load& load);
    bool PausesEveryRequest(const Load& load) const;
    static bool PausesDocument(const Load& load);
    // The document request's headers, as Fetch.continueRequest takes them:
    // those the browser gave it, load's (but the User-Agent, already
    // set) and, for a POST without one, a form's content type.
    static nlohmann::json DocumentHeaders(const nlohmann::json& request, const Load& load);
    // Answers a Fetch.authRequired event: the proxy's credentials for the
    // proxy, the browser's own way for a server.
    void Authenticate(const nlohmann::json& params);
    // Takes the events of the page that must be answered as they come: a
    // paused request, or a pause of its JavaScript; false for the others.
    bool Intercepted(const nlohmann::json& event);
    // Lets a paused request (a Fetch.requestPaused event of this page) go
    // as load says; false for any other event.
    bool Paused(const nlohmann::json& event, const Load& load, Rendered& rendered);
    void LetRequestGo(const nlohmann::json& params, bool main, const Load& load, Rendered& rendered);
    void LetResponseGo(const nlohmann::json& params, bool main, const Load& load, Rendered& rendered);
    // Shows the response to request id (whose request is url) to the
    // response hook and the load's rules: false when either dropped it,
    // and the request failed.
    bool Admit(const std::string& id, const std::string& networkId, const std::string& url, int status,
               const std::string& reason, const nlohmann::json& headers, bool main, const Load& load,
               Rendered& rendered);
    // Answers a request that a hook sent, with the answer it posted.
    void Answered(const nlohmann::json& params);
    void Fail(const std::string& requestId, const char* reason);

    DevToolsPipe& browser;
    std::string context;
    // The page's target, whose id its main frame's is.
    std::string target;
    std::string session;
    // The main document's first request has been let go (a POST's
    // redirects are GETs; a base URL's rewrite is for that one).
    bool documentSent = false;
    const Proxy proxy;
    // Requests are paused (the Fetch domain is on).
    bool pausing = false;
    // The method of the main document's latest request.
    std::string documentMethod = "GET";
    // The headers of each response of the document's request as they
    // came, Set-Cookie included.
    std::vector<nlohmann::json> rawHeaders;
    // The sub-resources in flight, and when each last had news (ms).
    std::map<std::string, long long> inFlight;
    // The page's network log while a load asks for one, and whether with
    // bodies.
    std::unique_ptr<ChromiumNetworkLog> log;
    bool logBodies = false;
    // What the page's JavaScript logged, while a load asks for it.
    bool keepsConsole = false;
    nlohmann::json console = nlohmann::json::array();
    Watcher watcher;
    RequestHook requestHook;
    ResponseHook responseHook;
    // Navigations are held; the page renders.
    bool held = false;
    bool rendering = false;
    // The load whose rules let paused requests go, and what they say of the
    // page; null while nothing is paused.
    const Load* pausedLoad = nullptr;
    Rendered* pausedRendered = nullptr;
    PauseHook pauseHook;
    // The requests that a hook sends, until they are answered: for each
    // pause id, its network id and URL and whether it is the main
    // document's.
    struct Sent {
        std::string networkId;
        std::string url;
        bool main;
    };
    std::map<std::string, Sent> sentByHooks;
    // The page's child frames, those of other sites among them.
    ChromiumFrames frames;
    // Between renders: the latest render's load, whose rules go on, and
    // what the requests let go then say of the page, which nobody reads.
    Load latest;
    Rendered unread;

    // Gives one of the page's events to its log and console.
    void Observe(const std::string& method, const nlohmann::json& params);
    // Keeps a console message event's text.
    void KeepConsole(const nlohmann::json& params);
};

#endif
