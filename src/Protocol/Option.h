#ifndef ORVO_PROTOCOL_OPTION_H
#define ORVO_PROTOCOL_OPTION_H

#include <limits>
#include <cstddef>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <tuple>

namespace Orvo {
namespace Browser {
namespace Option {

// How orvo-serve reads an option from its argument: the text is the
// option's (checked by the option's form), a number of seconds becomes the
// option's milliseconds, or the service reads it by a rule of its own (the
// argument is named here so that its documentation can be checked).
enum class HttpForm { None, Text, Seconds, Own };

// How people and the other APIs give one option: orvo-render's flags, the
// form its text must have, a number's range, orvo-serve's argument. Built
// with chained setters, so that an option states only what it has.
struct Spec {
    // orvo-render's flag (null: none), the name of its value (null: a
    // switch that sets a bool true) and what it does, for the usage text.
    const char* flag = nullptr;
    const char* metavar = nullptr;
    const char* help = nullptr;
    // A switch that sets a bool false, and a flag whose value names a file
    // holding the text; null for none.
    const char* offFlag = nullptr;
    const char* fileFlag = nullptr;
    // The form a text must have (null: any text, empty always allowed) and
    // what it is, for errors.
    bool (*form)(const std::string&) = nullptr;
    const char* formText = nullptr;
    // A number's range, for the flag that gives it.
    int least = 0;
    int most = std::numeric_limits<int>::max();
    // orvo-serve's argument for the option (null: none) and how it is read.
    const char* http = nullptr;
    HttpForm httpForm = HttpForm::None;
    // Whether the Chromium engine applies the option (the WebKit engine
    // applies every option).
    bool chromium = false;

    constexpr Spec Flag(const char* name, const char* value, const char* line) const {
        Spec s = *this;
        s.flag = name;
        s.metavar = value;
        s.help = line;
        return s;
    }
    constexpr Spec Off(const char* name) const {
        Spec s = *this;
        s.offFlag = name;
        return s;
    }
    constexpr Spec File(const char* name) const {
        Spec s = *this;
        s.fileFlag = name;
        return s;
    }
    constexpr Spec Form(bool (*check)(const std::string&), const char* what) const {
        Spec s = *this;
        s.form = check;
        s.formText = what;
        return s;
    }
    constexpr Spec Range(int from, int to) const {
        Spec s = *this;
        s.least = from;
        s.most = to;
        return s;
    }
    constexpr Spec Chromium() const {
        Spec s = *this;
        s.chromium = true;
        return s;
    }
    constexpr Spec Http(const char* name, HttpForm how) const {
        Spec s = *this;
        s.http = name;
        s.httpForm = how;
        return s;
    }
};

// Whether text is a viewport ("WxH", each side 1 to Viewport::MaxSide), a
// proxy address (see Proxy), or an absolute http or https URL with a host
// and no white space or control bytes; the forms of those options.
bool IsViewport(const std::string& text);
bool IsProxy(const std::string& text);
bool IsWebUrl(const std::string& text);

// Each option is an empty tag type: its value type, its key in option maps,
// its default and its Spec; its place in All is its position in Tuple.
// Everything that reads or writes options is generated from these tags,
// through All or Schema.
struct Snapshot {
    typedef bool Type;
    static constexpr Spec spec = Spec()
        .Flag("--snapshot", nullptr, "take a full-page snapshot (default: on)")
        .Off("--no-snapshot")
        .Chromium();
    static const char* Name() { return "snapshot"; }
    static Type Default() { return true; }
};

struct Coordinate {
    typedef bool Type;
    static constexpr Spec spec = Spec().Flag("--coordinate", nullptr, "annotate element regions").Chromium();
    static const char* Name() { return "coordinate"; }
    static Type Default() { return false; }
};

struct Keep {
    typedef int Type;
    static constexpr Spec spec = Spec().Flag("--keep", "MS", "worker's idle time before it ends")
        .Chromium();
    // A worker lingers an hour at most, whatever a request asks.
    static constexpr int MaxMs = 3600000;
    static const char* Name() { return "keep"; }
    static Type Default() { return 2000; }
};

struct Tiva {
    typedef bool Type;
    static constexpr Spec spec = Spec().Flag("--tiva", nullptr, "compact body serialisation").Chromium();
    static const char* Name() { return "tiva"; }
    static Type Default() { return false; }
};

struct Delay {
    typedef int Type;
    static constexpr Spec spec = Spec()
        .Flag("--delay", "MS", "wait after the page is ready")
        .Http("wait", HttpForm::Seconds)
        .Chromium();
    static const char* Name() { return "delay"; }
    static Type Default() { return 100; }
};

struct Post {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--post", "DATA", "POST this body")
        .File("--post-file")
        .Http("body", HttpForm::Own)
        .Chromium();
    static const char* Name() { return "post"; }
    static Type Default() { return std::string(); }
};

struct Script {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--script", "JS", "run this script before extraction")
        .File("--script-file")
        .Http("js_source", HttpForm::Text)
        .Chromium();
    static const char* Name() { return "script"; }
    static Type Default() { return std::string(); }
};

struct Cookie {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--cookie", "'a=1; b=2'", "cookies for the URL")
        .Http("cookies", HttpForm::Own)
        .Chromium();
    static const char* Name() { return "cookie"; }
    static Type Default() { return std::string(); }
};

// Appends the lower-cased words of text to words, in order, duplicates
// kept; any run of commas and spaces separates words. Returns true.
bool ParseWords(const std::string& text, std::vector<std::string>& words);

// Page features to switch off: words separated by commas and spaces.
struct Disable {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--disable", "LIST", "e.g. images,javascript")
        .Http("images", HttpForm::Own)
        .Chromium();
    static const char* Name() { return "disable"; }
    static Type Default() { return std::string(); }

    static bool Parse(const std::string& text, std::vector<std::string>& words) { return ParseWords(text, words); }
};

// How long a sub-resource (anything but the main document) may receive
// nothing before it is aborted, so that the page can complete without it.
struct ResourceTimeout {
    typedef int Type;
    static constexpr Spec spec = Spec()
        .Flag("--resource-timeout", "MS", "abort a sub-resource silent this long; 0 never")
        .Http("resource_timeout", HttpForm::Seconds)
        .Chromium();
    static const char* Name() { return "resourceTimeout"; }
    static Type Default() { return 15000; }
};

// How long after its load starts a page is answered with what it has.
struct Timeout {
    typedef int Type;
    static constexpr Spec spec = Spec()
        .Flag("--page-timeout", "MS", "answer the page with what it has after this")
        .Http("timeout", HttpForm::Own)
        .Chromium();
    static const char* Name() { return "timeout"; }
    static Type Default() { return 300000; }
};

// The tallest snapshot, in pixels; a longer page is cut there.
struct MaxHeight {
    typedef int Type;
    static constexpr Spec spec = Spec()
        .Flag("--max-height", "PX", "cut the snapshot at this height")
        .Range(1, std::numeric_limits<int>::max())
        .Chromium();
    static const char* Name() { return "maxHeight"; }
    static constexpr Type Default() { return 65535; }
};

// The page's viewport as "WxH" (say "1024x768"), each side from 1 to
// MaxSide pixels; empty, or a text that does not parse, keeps the screen's
// size. Layout and what a viewport-sized snapshot shows follow it.
struct Viewport {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--viewport", "WxH", "the page's viewport (default: the screen's size)")
        .Form(IsViewport, "WIDTHxHEIGHT, each from 1 to 16384")
        .Http("viewport", HttpForm::Own)
        .Chromium();
    static constexpr int MaxSide = 16384;
    static const char* Name() { return "viewport"; }
    static Type Default() { return std::string(); }

    // Reads "WxH" (decimal digits only) into width and height; returns
    // false, leaving both alone, for any other text or a side out of range.
    static bool Parse(const std::string& text, int& width, int& height);
};

// HTTP headers for the page's main request, one "Name: Value" per line
// (lines end in "\n"); a User-Agent among them is the page's user agent for
// every request it makes.
struct Headers {
    typedef std::string Type;
    static constexpr Spec spec = Spec().Http("headers", HttpForm::Own)
        .Chromium();
    static const char* Name() { return "headers"; }
    static Type Default() { return std::string(); }

    // Appends the name and value of each line of text to headers, in order;
    // a line without ':' is skipped, white space around the value dropped.
    static void Parse(const std::string& text, std::vector<std::pair<std::string, std::string>>& headers);
};

// Cookies put into the page's cookie jar before it loads, one Set-Cookie
// header value per line ("name=value; Domain=...; Path=/; Secure"); a
// cookie without a domain is the page's host's.
struct SetCookies {
    typedef std::string Type;
    static constexpr Spec spec = Spec().Http("cookies", HttpForm::Own).Chromium();
    static const char* Name() { return "setCookies"; }
    static Type Default() { return std::string(); }
};

// "POST" posts the page's request with the post option's body, also an
// empty one; anything else leaves the choice to post (a body that is not
// empty is posted).
struct HttpMethod {
    typedef std::string Type;
    static constexpr Spec spec = Spec().Http("http_method", HttpForm::Own).Chromium();
    static const char* Name() { return "httpMethod"; }
    static Type Default() { return std::string(); }
};

// The body becomes a JSON object describing the page: "html" (the body it
// would have been, empty after a failed navigation), "ok" (false for a
// failed navigation), "url" (where the page ended, after redirects),
// "status" and "reason" of the main document's last response (null without
// one), "error" (why the main document failed, or null), "cookies" (the
// page's cookie jar after rendering, each as {"name", "value", "domain",
// "path", "expires" (ISO 8601, or null), "httpOnly", "secure"}), and
// "history":
// each response of the main document, redirects
// included, as {"url", "method", "status", "reason", "headers": [[name,
// value], ...]}. Detail and snapshot are as without it.
struct PageInfo {
    typedef bool Type;
    static constexpr Spec spec = Spec().Chromium();
    static const char* Name() { return "pageInfo"; }
    static Type Default() { return false; }
};

// The proxy every request of the page goes through:
// "[http://|socks5://][user:password@]host[:port]", port 1080 when none is
// given; empty for none.
struct Proxy {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--proxy", "ADDRESS", "[http://|socks5://][user:password@]host[:port] for every request")
        .Form(IsProxy, "[http://|socks5://][user:password@]host[:port]")
        .Http("proxy", HttpForm::Text)
        .Chromium();
    static constexpr int DefaultPort = 1080;
    static const char* Name() { return "proxy"; }
    static Type Default() { return std::string(); }

    struct Address {
        bool socks = false;
        std::string user;
        std::string password;
        std::string host;
        int port = DefaultPort;
    };

    // Reads text into address; false, leaving it alone, for a text of
    // another form (an unknown scheme, no host, a port outside 1 to 65535).
    static bool Parse(const std::string& text, Address& address);
};

// The hosts a page may load anything from, as words: a host is allowed when
// it is one of them or a subdomain of one. Empty allows every host.
struct AllowedDomains {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--allowed-domains", "HOSTS", "load nothing from other hosts")
        .Http("allowed_domains", HttpForm::Text)
        .Chromium();
    static const char* Name() { return "allowedDomains"; }
    static Type Default() { return std::string(); }
};

// Content types, as words of fnmatch patterns ("text/*"): a response of
// the page whose type matches none is aborted. Empty allows every type.
struct AllowedContentTypes {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--allowed-content-types", "TYPES", "abort responses of other types, e.g. text/*")
        .Http("allowed_content_types", HttpForm::Text)
        .Chromium();
    static const char* Name() { return "allowedContentTypes"; }
    static Type Default() { return std::string(); }
};

// Content types, as AllowedContentTypes: a response whose type matches one
// is aborted.
struct ForbiddenContentTypes {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--forbidden-content-types", "TYPES", "abort responses of these types")
        .Http("forbidden_content_types", HttpForm::Text)
        .Chromium();
    static const char* Name() { return "forbiddenContentTypes"; }
    static Type Default() { return std::string(); }
};

// The address the page is laid out with: the document is fetched from the
// request's URL (redirects followed) and its relative references resolve
// against this one. Empty: the request's URL.
struct BaseUrl {
    typedef std::string Type;
    static constexpr Spec spec = Spec()
        .Flag("--base-url", "URL", "lay the page out at this address")
        .Form(IsWebUrl, "an absolute http or https URL")
        .Http("baseurl", HttpForm::Text)
        .Chromium();
    static const char* Name() { return "baseUrl"; }
    static Type Default() { return std::string(); }
};

// With pageInfo, the description gains "har": the page's network activity
// as an HTTP Archive 1.2, {"log": {"version", "creator", "pages": [the
// page, with its title and load time], "entries"}}: every request the page
// made, in order (request, response, content size and type, timings;
// "_error" says why one failed or that it had not finished when the page
// was answered).
struct NetworkLog {
    typedef bool Type;
    static constexpr Spec spec = Spec().Http("har", HttpForm::Own).Chromium();
    static const char* Name() { return "networkLog"; }
    static Type Default() { return false; }
};

// Implies networkLog: each entry of a response that finished carries its
// whole body, base64-encoded in its content's "text".
struct ResponseBodies {
    typedef bool Type;
    static constexpr Spec spec = Spec().Http("response_body", HttpForm::Own).Chromium();
    static const char* Name() { return "responseBodies"; }
    static Type Default() { return false; }
};

// With pageInfo, the description gains "script": the value of the script
// option's last statement, as JSON (null for none, or when it threw).
struct ScriptResult {
    typedef bool Type;
    static constexpr Spec spec = Spec().Http("script", HttpForm::Own).Chromium();
    static const char* Name() { return "scriptResult"; }
    static Type Default() { return false; }
};

// With pageInfo, the description gains "console": the text of each
// message the page's JavaScript (the script option's too) logged through
// console, in order; MaxMessages at most, each cut at MaxBytes.
struct ConsoleLog {
    typedef bool Type;
    static constexpr Spec spec = Spec().Http("console", HttpForm::Own).Chromium();
    static constexpr int MaxMessages = 1000;
    static constexpr int MaxBytes = 10000;
    static const char* Name() { return "consoleLog"; }
    static Type Default() { return false; }
};

// With pageInfo, the description gains "frames": the page's child frames,
// each {"url", "title", "name", "geometry": [x, y, width, height] (its
// place in its parent frame), "html", "frames": its own}, in document
// order.
struct FrameTree {
    typedef bool Type;
    static constexpr Spec spec = Spec().Http("iframes", HttpForm::Own).Chromium();
    static const char* Name() { return "frames"; }
    static Type Default() { return false; }
};

// With pageInfo, the description gains "lacks": what the page needed that
// the WebKit engine lacks, each once, as a short text: "script error: "
// and the engine's message, for a script of the page that failed to parse
// or threw; "module script" for a module script or an import map; "CSS
// grid" and "CSS gap" for those in its style sheets (inline, in style
// attributes and linked); empty for none. orvo-serve's engine=auto
// renders such a page again on Chromium.
struct EngineGaps {
    typedef bool Type;
    static constexpr Spec spec = Spec();
    static const char* Name() { return "engineGaps"; }
    static Type Default() { return false; }
};

// A Lua script with a function main(splash, args): the request runs it
// with a page of its own instead of loading its URL. The answer's detail
// is then a JSON object, {"status", "contentType", "headers": [[name,
// value], ...]} for the script's result, whose bytes are the body (in
// base64 with "encoding": "base64" when they hold a NUL byte), or
// {"error": {...}} when the script failed or ran out of time.
struct LuaSource {
    typedef std::string Type;
    static constexpr Spec spec = Spec().Chromium();
    static const char* Name() { return "luaSource"; }
    static Type Default() { return std::string(); }
};

// The script's arguments as a JSON object (splash.args); empty for none.
struct LuaArguments {
    typedef std::string Type;
    static constexpr Spec spec = Spec().Chromium();
    static const char* Name() { return "luaArguments"; }
    static Type Default() { return std::string(); }
};

// The options in tuple order, for code that is generated from the one list.
template <class... Xs>
struct List {
    // The values of one request's options, one element per option.
    typedef std::tuple<typename Xs::Type...> Values;

    // X's position in the list.
    template <class X>
    static constexpr std::size_t IndexOf() {
        constexpr bool matches[] = {std::is_same<X, Xs>::value...};
        for (std::size_t k = 0; k < sizeof...(Xs); ++k) {
            if (matches[k]) {
                return k;
            }
        }
        return sizeof...(Xs);
    }

    // Applies f(tag, element) to each option in order.
    template <class F>
    static void ForEach(Values& options, F& f) {
        (f(Xs(), std::get<IndexOf<Xs>()>(options)), ...);
    }

    // Calls f(tag) for each option in order until one returns false; returns
    // whether every call returned true (no option took the call).
    template <class F>
    static bool TryEach(F& f) {
        return (f(Xs()) && ...);
    }
};

// The options in the fixed order in which they are tried and visited
// everywhere: the nine of the protocol, then the limits a client may add
// (a client that sends none gets their defaults).
typedef List<Snapshot, Coordinate, Keep, Tiva, Delay, Post, Script, Cookie, Disable, ResourceTimeout, Timeout,
             MaxHeight, Viewport, Headers, SetCookies, HttpMethod, PageInfo, Proxy, AllowedDomains,
             AllowedContentTypes, ForbiddenContentTypes, BaseUrl, NetworkLog, ResponseBodies, ScriptResult, ConsoleLog,
             FrameTree, EngineGaps, LuaSource, LuaArguments>
    All;

// The values of one request's options, in All's order.
typedef All::Values Tuple;

// The element of options that belongs to option X.
template <class X>
const typename X::Type& Get(const Tuple& options) {
    return std::get<All::IndexOf<X>()>(options);
}
template <class X>
typename X::Type& Get(Tuple& options) {
    return std::get<All::IndexOf<X>()>(options);
}

// Visits the options in tuple order, applying f to each tag together
// with its element.
template <class F>
void ForEach(Tuple& options, F f) {
    All::ForEach(options, f);
}

// One option as code that is not generated from the tags sees it: orvo-render's
// flags, orvo-serve's arguments, the worker's checks and the tests of the
// documentation walk these rows.
struct Row {
    enum class Kind { Bool, Int, Text };

    const char* key;
    Kind kind;
    // The default in the option map's text form: 1 or 0, decimal, the text.
    std::string defaultText;
    Spec spec;

    // Whether text converts to the option's type (booleans are 0 or 1,
    // integers plain decimal within 32 bits).
    bool Converts(const std::string& text) const;
};

// Every option's row, in tuple order.
const std::vector<Row>& Schema();

// The row of the option keyed key, or null when no option has that key.
const Row* Find(const std::string& key);

// The entries of an option map that a reader leaves aside, in key order and
// separated by ", ": `KEY (no such option)`, `KEY="VALUE" (not 0 or 1)`
// and `KEY="VALUE" (not a whole number)`; empty when every entry is used.
// A value is shown up to its first 40 bytes, control bytes as '?'.
std::string Ignored(const std::map<std::string, std::string>& options);

} // namespace Option
} // namespace Browser
} // namespace Orvo

#endif
