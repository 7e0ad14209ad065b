#ifndef ORVO_TOOLS_SERVE_RENDERARGUMENTS_H
#define ORVO_TOOLS_SERVE_RENDERARGUMENTS_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Protocol/Option.h"
#include "Protocol/Request.h"

namespace Orvo {
namespace Serve {

// What a render endpoint returns.
enum class Endpoint { Html, Png, Jpeg, Json, Har, Execute, Run };

// The endpoint of a path without its leading '/' ("render.json"); false
// for any other name.
bool EndpointOf(const std::string& name, Endpoint& endpoint);

// The page engine a request renders on.
// The page engine a request asks for: auto renders on WebKit first and
// again on Chromium when the page needed what WebKit lacks.
enum class Engine { WebKit, Chromium, Auto };

// "webkit", "chromium" or "auto", as the engine argument and answers name
// them.
const char* EngineName(Engine engine);

// Whether the endpoint runs a script rather than rendering a URL.
inline bool IsScript(Endpoint endpoint) {
    return endpoint == Endpoint::Execute || endpoint == Endpoint::Run;
}

// The arguments of one render request, checked, with their defaults. They
// arrive as texts (a query string, or a JSON object whose values are turned
// into texts; headers and cookies may be JSON arrays or objects there);
// Parse throws BadArgument naming the first argument that is missing or
// unusable, or that the API has and this service does not support.
// Arguments the API does not have are ignored.
struct RenderArguments {
    // The arguments as they arrived: texts, and in typed the values of a
    // JSON body that are not strings, as they came (the texts hold the text
    // form of those that are numbers or booleans).
    struct Texts : std::map<std::string, std::string> {
        using std::map<std::string, std::string>::map;
        std::map<std::string, nlohmann::json> typed;

        // Gives name value: a string as its text; a number in decimal and a
        // boolean as 1 or 0, also as texts; an array or object only typed.
        void Set(const std::string& name, const nlohmann::json& value);
        // Removes name.
        void Remove(const std::string& name);
        // name's value when it came as a JSON array or object, else null.
        const nlohmann::json* Structure(const std::string& name) const;
        // Every argument as a JSON object: typed values as they came, the
        // others as strings.
        nlohmann::json ToJson() const;
    };
    typedef std::vector<std::pair<std::string, std::string>> Headers;

    // 4096 x 4096, and 1024 x 65536: the default viewport's width at the
    // tallest snapshot.
    static constexpr long long DefaultMaxViewportArea = 16777216;
    static constexpr long long DefaultMaxSnapshotPixels = 67108864;
    // Limits the service sets on every request.
    struct Limits {
        int maxTimeoutSeconds = 90;
        bool allowFileUrls = false;
        // The largest viewport, in pixels (width times height).
        long long maxViewportArea = DefaultMaxViewportArea;
        // The largest whole-page snapshot, in pixels: a page laid out at its
        // viewport's width is cut at the height that makes this many.
        long long maxSnapshotPixels = DefaultMaxSnapshotPixels;
    };

    static constexpr int MaxWaitSeconds = 10;
    // How deep a JSON body's arrays and objects may nest.
    static constexpr std::size_t MaxJsonDepth = 100;
    static constexpr int DefaultTimeoutSeconds = 30;
    static constexpr int DefaultQuality = 75;

    std::string url;
    Engine engine = Engine::WebKit;
    // The worker's options that arguments give straight (the schema's Text
    // and Seconds forms), when given and not empty.
    Browser::Request::Options direct;
    int timeoutMs = DefaultTimeoutSeconds * 1000;
    bool images = true;
    bool post = false;
    std::string body;
    std::string cookies;
    // Set-Cookie lines of a cookies list.
    std::string setCookies;
    // For the page's main request; a POST without a Content-Type among
    // them gets application/x-www-form-urlencoded.
    Headers headers;
    int viewportWidth = 1024;
    int viewportHeight = 768;
    int quality = DefaultQuality;
    bool renderAll = false;
    // The tallest whole-page snapshot.
    int maxSnapshotHeight = Browser::Option::MaxHeight::Default();
    int width = 0;               // 0: as rendered
    bool html = false;
    bool png = false;
    bool jpeg = false;
    bool history = false;
    // render.json: the page's network activity as HAR 1.2 under "har".
    bool har = false;
    // Response bodies in the HAR's entries and in history's.
    bool responseBodies = false;
    // A script's source (with its main function) and every argument of
    // the request, for splash.args.
    std::string luaSource;
    nlohmann::json scriptArguments;
    // cookies=1, or cookies as a list: render.json lists the page's cookies
    // after rendering.
    bool cookiesOut = false;
    // render.json: js_source's value (script=1) and the page's console
    // messages (console=1).
    bool scriptResult = false;
    bool console = false;
    // render.json: the page's child frames (iframes=1).
    bool iframes = false;

    static RenderArguments Parse(const Texts& texts, const Limits& limits);

    // The arguments of a script endpoint: lua_source (for Run the body of
    // main), timeout, proxy and allowed_domains; all of them become the
    // script's arguments. filters is refused.
    static RenderArguments ParseScript(const Texts& texts, const Limits& limits, Endpoint endpoint);

    // The texts of a query string (the part after '?'), percent-decoded,
    // '+' read as a space; a name given twice keeps its first value.
    static Texts FromQuery(const std::string& query);

    // The texts of a JSON object, each value given with Texts::Set. Throws
    // BadArgument (argument "body") when text is not a JSON object or nests
    // deeper than MaxJsonDepth, or naming the argument whose value is null.
    static Texts FromJson(const std::string& text);

    // Whether the endpoint needs the page's snapshot.
    bool NeedsSnapshot(Endpoint endpoint) const;

    // The worker's options for this request, but its timeout: the render
    // pool sets that from the time the request has left when it sends it.
    Browser::Request::Options ToOptions(Endpoint endpoint) const;

    // Throws BadArgument (engine) when the request's engine does not run
    // endpoint: a script runs on the engine it names, never on auto.
    void CheckEngine(Endpoint endpoint) const;

private:
    Browser::Request::Options ScriptOptions() const;
};

} // namespace Serve
} // namespace Orvo

#endif
