#ifndef ORVO_PROTOCOL_OPTION_H
#define ORVO_PROTOCOL_OPTION_H

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <tuple>

namespace Orvo {
namespace Browser {
namespace Option {

// The values of one request's options, in the fixed order in which options
// are tried and visited everywhere: the nine of the protocol, then the
// limits a client may add (a client that sends none gets their defaults).
typedef std::tuple<bool, bool, int, bool, int, std::string, std::string, std::string, std::string, int, int, int,
                   std::string, std::string, std::string, std::string, bool, std::string, std::string, std::string,
                   std::string, std::string, bool, bool, std::string, std::string>
    Tuple;

// Each option is an empty tag type: its value type, its key in option maps,
// its default and its position in Tuple.
struct Snapshot {
    typedef bool Type;
    static constexpr int Index = 0;
    static const char* Name() { return "snapshot"; }
    static Type Default() { return true; }
};

struct Coordinate {
    typedef bool Type;
    static constexpr int Index = 1;
    static const char* Name() { return "coordinate"; }
    static Type Default() { return false; }
};

struct Keep {
    typedef int Type;
    static constexpr int Index = 2;
    static const char* Name() { return "keep"; }
    static Type Default() { return 2000; }
};

struct Tiva {
    typedef bool Type;
    static constexpr int Index = 3;
    static const char* Name() { return "tiva"; }
    static Type Default() { return false; }
};

struct Delay {
    typedef int Type;
    static constexpr int Index = 4;
    static const char* Name() { return "delay"; }
    static Type Default() { return 100; }
};

struct Post {
    typedef std::string Type;
    static constexpr int Index = 5;
    static const char* Name() { return "post"; }
    static Type Default() { return std::string(); }
};

struct Script {
    typedef std::string Type;
    static constexpr int Index = 6;
    static const char* Name() { return "script"; }
    static Type Default() { return std::string(); }
};

struct Cookie {
    typedef std::string Type;
    static constexpr int Index = 7;
    static const char* Name() { return "cookie"; }
    static Type Default() { return std::string(); }
};

// Appends the lower-cased words of text to words, in order, duplicates
// kept; any run of commas and spaces separates words. Returns true.
bool ParseWords(const std::string& text, std::vector<std::string>& words);

// Page features to switch off: words separated by commas and spaces.
struct Disable {
    typedef std::string Type;
    static constexpr int Index = 8;
    static const char* Name() { return "disable"; }
    static Type Default() { return std::string(); }

    static bool Parse(const std::string& text, std::vector<std::string>& words) { return ParseWords(text, words); }
};

// How long a sub-resource (anything but the main document) may receive
// nothing before it is aborted, so that the page can complete without it.
struct ResourceTimeout {
    typedef int Type;
    static constexpr int Index = 9;
    static const char* Name() { return "resourceTimeout"; }
    static Type Default() { return 15000; }
};

// How long after its load starts a page is answered with what it has.
struct Timeout {
    typedef int Type;
    static constexpr int Index = 10;
    static const char* Name() { return "timeout"; }
    static Type Default() { return 300000; }
};

// The tallest snapshot, in pixels; a longer page is cut there.
struct MaxHeight {
    typedef int Type;
    static constexpr int Index = 11;
    static const char* Name() { return "maxHeight"; }
    static Type Default() { return 65535; }
};

// The page's viewport as "WxH" (say "1024x768"), each side from 1 to
// MaxSide pixels; empty, or a text that does not parse, keeps the screen's
// size. Layout and what a viewport-sized snapshot shows follow it.
struct Viewport {
    typedef std::string Type;
    static constexpr int Index = 12;
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
    static constexpr int Index = 13;
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
    static constexpr int Index = 14;
    static const char* Name() { return "setCookies"; }
    static Type Default() { return std::string(); }
};

// "POST" posts the page's request with the post option's body, also an
// empty one; anything else leaves the choice to post (a body that is not
// empty is posted).
struct HttpMethod {
    typedef std::string Type;
    static constexpr int Index = 15;
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
    static constexpr int Index = 16;
    static const char* Name() { return "pageInfo"; }
    static Type Default() { return false; }
};

// The proxy every request of the page goes through:
// "[http://|socks5://][user:password@]host[:port]", port 1080 when none is
// given; empty for none.
struct Proxy {
    typedef std::string Type;
    static constexpr int Index = 17;
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
    static constexpr int Index = 18;
    static const char* Name() { return "allowedDomains"; }
    static Type Default() { return std::string(); }
};

// Content types, as words of fnmatch patterns ("text/*"): a response of
// the page whose type matches none is aborted. Empty allows every type.
struct AllowedContentTypes {
    typedef std::string Type;
    static constexpr int Index = 19;
    static const char* Name() { return "allowedContentTypes"; }
    static Type Default() { return std::string(); }
};

// Content types, as AllowedContentTypes: a response whose type matches one
// is aborted.
struct ForbiddenContentTypes {
    typedef std::string Type;
    static constexpr int Index = 20;
    static const char* Name() { return "forbiddenContentTypes"; }
    static Type Default() { return std::string(); }
};

// The address the page is laid out with: the document is fetched from the
// request's URL (redirects followed) and its relative references resolve
// against this one. Empty: the request's URL.
struct BaseUrl {
    typedef std::string Type;
    static constexpr int Index = 21;
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
    static constexpr int Index = 22;
    static const char* Name() { return "networkLog"; }
    static Type Default() { return false; }
};

// Implies networkLog: each entry of a response that finished carries its
// whole body, base64-encoded in its content's "text".
struct ResponseBodies {
    typedef bool Type;
    static constexpr int Index = 23;
    static const char* Name() { return "responseBodies"; }
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
    static constexpr int Index = 24;
    static const char* Name() { return "luaSource"; }
    static Type Default() { return std::string(); }
};

// The script's arguments as a JSON object (splash.args); empty for none.
struct LuaArguments {
    typedef std::string Type;
    static constexpr int Index = 25;
    static const char* Name() { return "luaArguments"; }
    static Type Default() { return std::string(); }
};

// The options in tuple order, for code that is generated from the one list.
template <class... Xs>
struct List {
    // Applies f(tag, element) to each option in order.
    template <class F>
    static void ForEach(Tuple& options, F& f) {
        (f(Xs(), std::get<Xs::Index>(options)), ...);
    }

    // Calls f(tag) for each option in order until one returns false; returns
    // whether every call returned true (no option took the call).
    template <class F>
    static bool TryEach(F& f) {
        return (f(Xs()) && ...);
    }

    static_assert(sizeof...(Xs) == std::tuple_size<Tuple>::value, "one tag per tuple element");
    static_assert((std::is_same<typename Xs::Type, typename std::tuple_element<Xs::Index, Tuple>::type>::value
                   && ...),
                  "each tag's type is its tuple element's");
};

typedef List<Snapshot, Coordinate, Keep, Tiva, Delay, Post, Script, Cookie, Disable, ResourceTimeout, Timeout,
             MaxHeight, Viewport, Headers, SetCookies, HttpMethod, PageInfo, Proxy, AllowedDomains,
             AllowedContentTypes, ForbiddenContentTypes, BaseUrl, NetworkLog, ResponseBodies,
             LuaSource, LuaArguments>
    All;

// The element of options that belongs to option X.
template <class X>
const typename X::Type& Get(const Tuple& options) {
    return std::get<X::Index>(options);
}

// Visits the options in tuple order, applying f to each tag together
// with its element.
template <class F>
void ForEach(Tuple& options, F f) {
    All::ForEach(options, f);
}

} // namespace Option
} // namespace Browser
} // namespace Orvo

#endif
