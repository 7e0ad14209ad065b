// The rules by which orvo-serve reads a render request's arguments and
// turns them into the worker's options.

#include <string>
#include <tuple>
#include <vector>

#include <boost/any.hpp>
#include <gtest/gtest.h>

#include "serve/BadArgument.h"
#include "serve/RenderArguments.h"

namespace {

using Orvo::Serve::BadArgument;
using Orvo::Serve::Endpoint;
using Orvo::Serve::RenderArguments;

RenderArguments Parse(RenderArguments::Texts texts, bool allowFileUrls = false) {
    texts.emplace("url", "http://127.0.0.1/page");
    RenderArguments::Limits limits;
    limits.allowFileUrls = allowFileUrls;
    return RenderArguments::Parse(texts, limits);
}

// The argument a BadArgument names, or "" when texts parse.
std::string Refused(const RenderArguments::Texts& texts, bool allowFileUrls = false) {
    try {
        Parse(texts, allowFileUrls);
    } catch (const BadArgument& e) {
        return e.argument;
    }
    return "";
}

// The argument a BadArgument names for a JSON body, or "" when it parses.
std::string RefusedJson(const std::string& body) {
    try {
        RenderArguments::Texts texts = RenderArguments::FromJson(body);
        texts.emplace("url", "http://127.0.0.1/page");
        RenderArguments::Parse(texts, RenderArguments::Limits());
    } catch (const BadArgument& e) {
        return e.argument;
    }
    return "";
}

template <class T>
T Option(const Orvo::Browser::Request::Options& options, const std::string& key) {
    return boost::any_cast<T>(options.at(key));
}

TEST(RenderArguments, ADefaultRequestAsksForTheViewportWithoutSnapshot) {
    const auto options = Parse({}).ToOptions(Endpoint::Html);
    EXPECT_EQ(3600000, Option<int>(options, "keep")) << "workers live while the service runs";
    EXPECT_FALSE(Option<bool>(options, "snapshot"));
    EXPECT_TRUE(Option<bool>(options, "pageInfo")) << "the answer describes the page";
    EXPECT_EQ(0, Option<int>(options, "delay"));
    EXPECT_EQ("1024x768", Option<std::string>(options, "viewport"));
    EXPECT_EQ(768, Option<int>(options, "maxHeight"));
    // The pool sets the timeout from the time left when it sends.
    for (const char* absent : {"disable", "script", "post", "cookie", "resourceTimeout", "timeout"}) {
        EXPECT_EQ(0u, options.count(absent)) << absent;
    }
}

TEST(RenderArguments, EachArgumentBecomesItsWorkerOption) {
    const RenderArguments arguments = Parse({{"wait", "0.25"},
                                             {"resource_timeout", "2.5"},
                                             {"images", "0"},
                                             {"js_source", "x = 1"},
                                             {"http_method", "post"},
                                             {"body", "a=1"},
                                             {"cookies", "a=1; b=2"},
                                             {"viewport", "320x200"},
                                             {"render_all", "1"}});
    const auto options = arguments.ToOptions(Endpoint::Png);
    EXPECT_TRUE(Option<bool>(options, "snapshot"));
    EXPECT_EQ(250, Option<int>(options, "delay"));
    EXPECT_EQ(2500, Option<int>(options, "resourceTimeout"));
    EXPECT_EQ("images", Option<std::string>(options, "disable"));
    EXPECT_EQ("x = 1", Option<std::string>(options, "script"));
    EXPECT_EQ("a=1", Option<std::string>(options, "post"));
    EXPECT_EQ("POST", Option<std::string>(options, "httpMethod"));
    EXPECT_EQ("Content-Type: application/x-www-form-urlencoded\n", Option<std::string>(options, "headers"))
        << "a POST's default type";
    EXPECT_EQ("a=1; b=2", Option<std::string>(options, "cookie"));
    EXPECT_EQ("320x200", Option<std::string>(options, "viewport"));
    EXPECT_EQ(0u, options.count("maxHeight")) << "the whole page";
}

// The network log is asked for by render.har and by render.json's har=1;
// response_body adds bodies only where entries or history are given back.
TEST(RenderArguments, TheNetworkLogIsAskedForWhereItIsShown) {
    const auto asks = [](const Orvo::Browser::Request::Options& options, const char* key) {
        return options.count(key) != 0 && Option<bool>(options, key);
    };
    EXPECT_TRUE(asks(Parse({}).ToOptions(Endpoint::Har), "networkLog"));
    EXPECT_FALSE(asks(Parse({}).ToOptions(Endpoint::Har), "responseBodies"));
    EXPECT_TRUE(asks(Parse({{"response_body", "1"}}).ToOptions(Endpoint::Har), "responseBodies"));
    EXPECT_FALSE(asks(Parse({}).ToOptions(Endpoint::Json), "networkLog"));
    EXPECT_TRUE(asks(Parse({{"har", "1"}}).ToOptions(Endpoint::Json), "networkLog"));
    EXPECT_FALSE(asks(Parse({{"har", "1"}}).ToOptions(Endpoint::Html), "networkLog"));
    EXPECT_FALSE(asks(Parse({{"response_body", "1"}}).ToOptions(Endpoint::Json), "responseBodies"))
        << "neither har nor history";
    const RenderArguments history = Parse({{"response_body", "1"}, {"history", "1"}});
    EXPECT_TRUE(asks(history.ToOptions(Endpoint::Json), "responseBodies"));
    EXPECT_FALSE(asks(history.ToOptions(Endpoint::Json), "networkLog"));
    EXPECT_EQ("har", Refused({{"har", "yes"}}));
    EXPECT_EQ("response_body", Refused({{"response_body", "2"}}));
}

// A viewport's area is bounded, and a whole page is cut at the height that
// keeps its snapshot within its pixels at the viewport's width.
TEST(RenderArguments, PicturesAreBoundedByTheServicesLimits) {
    EXPECT_EQ("", Refused({{"viewport", "4096x4096"}}));
    EXPECT_EQ("viewport", Refused({{"viewport", "4097x4096"}}));
    EXPECT_EQ("viewport", Refused({{"viewport", "16384x8192"}}));
    const std::vector<std::tuple<std::string, std::string, int>> heights = {
        {"1024x768", "0", 768},
        {"1024x768", "1", -1},
        {"4096x10", "1", 16384},
        {"16x10", "1", -1},
    };
    for (const auto& height : heights) {
        const auto options = Parse({{"viewport", std::get<0>(height)}, {"render_all", std::get<1>(height)}})
                                 .ToOptions(Endpoint::Png);
        const auto found = options.find("maxHeight");
        EXPECT_EQ(std::get<2>(height), found == options.end() ? -1 : boost::any_cast<int>(found->second))
            << std::get<0>(height) << " render_all=" << std::get<1>(height);
    }
    RenderArguments::Limits small;
    small.maxSnapshotPixels = 1024 * 1000;
    const RenderArguments::Texts tall = {{"url", "http://127.0.0.1/page"}, {"render_all", "1"}};
    EXPECT_EQ(1000, boost::any_cast<int>(RenderArguments::Parse(tall, small).ToOptions(Endpoint::Png)
                                             .at("maxHeight")));
}

TEST(RenderArguments, OnlyImageAnswersTakeASnapshot) {
    EXPECT_TRUE(Parse({}).NeedsSnapshot(Endpoint::Jpeg));
    EXPECT_FALSE(Parse({}).NeedsSnapshot(Endpoint::Json));
    EXPECT_TRUE(Parse({{"png", "1"}}).NeedsSnapshot(Endpoint::Json));
    EXPECT_TRUE(Parse({{"jpeg", "1"}}).NeedsSnapshot(Endpoint::Json));
    EXPECT_FALSE(Parse({{"html", "1"}}).NeedsSnapshot(Endpoint::Json));
}

TEST(RenderArguments, NumbersOutsideTheirRangeOrNotNumbersAreRefused) {
    EXPECT_EQ("", Refused({{"timeout", "90"}}));
    EXPECT_EQ("", Refused({{"timeout", "1e1"}}));
    EXPECT_EQ(1500, Parse({{"timeout", "1.5"}}).timeoutMs);
    for (const char* text : {"91", "0", "-1", " 1", "1 ", "nan", "inf", "", "1s", "0x10", "1e400", ".5"}) {
        EXPECT_EQ("timeout", Refused({{"timeout", text}})) << text;
    }
    EXPECT_EQ("wait", Refused({{"wait", "10.5"}}));
    EXPECT_EQ("resource_timeout", Refused({{"resource_timeout", "-1"}}));
    EXPECT_EQ("quality", Refused({{"quality", "1.5"}}));
    EXPECT_EQ("width", Refused({{"width", "0"}}));
    EXPECT_EQ("images", Refused({{"images", "true"}}));
    EXPECT_EQ("viewport", Refused({{"viewport", "1024x768x2"}}));
    EXPECT_EQ("proxy", Refused({{"proxy", "ftp://127.0.0.1:21"}}));
    EXPECT_EQ("baseurl", Refused({{"baseurl", "/relative/"}}));
    EXPECT_EQ("http://127.0.0.1/assets/", Option<std::string>(Parse({{"baseurl", "http://127.0.0.1/assets/"}})
                                                                  .ToOptions(Endpoint::Html),
                                                              "baseUrl"));
    const auto filtered = Parse({{"allowed_domains", "example.org,127.0.0.1"},
                                 {"allowed_content_types", "text/*"},
                                 {"forbidden_content_types", "text/css"}})
                              .ToOptions(Endpoint::Html);
    EXPECT_EQ("example.org,127.0.0.1", Option<std::string>(filtered, "allowedDomains"));
    EXPECT_EQ("text/*", Option<std::string>(filtered, "allowedContentTypes"));
    EXPECT_EQ("text/css", Option<std::string>(filtered, "forbiddenContentTypes"));
    EXPECT_EQ("socks5://127.0.0.1:1080",
              Option<std::string>(Parse({{"proxy", "socks5://127.0.0.1:1080"}}).ToOptions(Endpoint::Html), "proxy"));
}

TEST(RenderArguments, OnlyAbsoluteWebUrlsAreTakenUnlessFilesAreAllowed) {
    const auto refused = [](const std::string& url, bool files = false) {
        try {
            RenderArguments::Parse({{"url", url}}, RenderArguments::Limits{90, files});
        } catch (const BadArgument& e) {
            return e.argument == "url";
        }
        return false;
    };
    EXPECT_FALSE(refused("https://127.0.0.1:8443/a?b=c#d"));
    EXPECT_FALSE(refused("about:blank"));
    for (const char* url : {"", "/page", "127.0.0.1/page", "ftp://127.0.0.1/", "javascript:alert(1)", "http://",
                            "http://a b/", "http://127.0.0.1/\n", "file:///etc/passwd"}) {
        EXPECT_TRUE(refused(url)) << url;
    }
    EXPECT_FALSE(refused("file:///etc/hostname", true));
}

TEST(RenderArguments, ABodyGoesWithAPostOnly) {
    EXPECT_EQ("", Refused({{"http_method", "POST"}})) << "a POST without a body";
    EXPECT_EQ("", Refused({{"http_method", "POST"}, {"body", ""}}));
    EXPECT_EQ("", Option<std::string>(Parse({{"http_method", "POST"}}).ToOptions(Endpoint::Html), "post"));
    EXPECT_EQ("body", Refused({{"body", "a=1"}}));
    EXPECT_EQ("http_method", Refused({{"http_method", "HEAD"}}));
    EXPECT_EQ("", Refused({{"http_method", "get"}}));
}

TEST(RenderArguments, QueryStringsArePercentDecoded) {
    const RenderArguments::Texts texts =
        RenderArguments::FromQuery("url=http%3A%2F%2Fa%2F%3Fx%3D1&js_source=a+b%2Bc&empty&twice=1&twice=2&&=x");
    EXPECT_EQ("http://a/?x=1", texts.at("url"));
    EXPECT_EQ("a b+c", texts.at("js_source"));
    EXPECT_EQ("", texts.at("empty"));
    EXPECT_EQ("1", texts.at("twice")) << "the first value counts";
    EXPECT_EQ("x", texts.at(""));
    EXPECT_TRUE(RenderArguments::FromQuery("").empty());
}

TEST(RenderArguments, JsonValuesBecomeTexts) {
    const RenderArguments::Texts texts =
        RenderArguments::FromJson(R"({"url": "http://a/", "timeout": 12, "wait": 0.5, "png": true, "html": false})");
    EXPECT_EQ("http://a/", texts.at("url"));
    EXPECT_EQ("12", texts.at("timeout"));
    EXPECT_EQ("0.5", texts.at("wait"));
    EXPECT_EQ("1", texts.at("png"));
    EXPECT_EQ("0", texts.at("html"));
    EXPECT_EQ(nlohmann::json(0.5), texts.typed.at("wait")) << "as it came, for a script's arguments";
    EXPECT_EQ(0u, texts.typed.count("url"));
    const auto refused = [](const std::string& text) {
        try {
            RenderArguments::FromJson(text);
        } catch (const BadArgument& e) {
            return e.argument;
        }
        return std::string();
    };
    EXPECT_EQ("body", refused("not json"));
    EXPECT_EQ("body", refused("[]"));
    EXPECT_EQ("", refused(R"({"viewport": [1, 2]})")) << "a script may take an array";
    EXPECT_EQ("viewport", RefusedJson(R"({"viewport": [1, 2]})")) << "a page's viewport may not";
    EXPECT_EQ("timeout", RefusedJson(R"({"timeout": {"s": 1}})"));
    EXPECT_EQ("js", RefusedJson(R"({"js": [1]})")) << "not supported, whatever its shape";
    EXPECT_EQ("", RefusedJson(R"({"no_such_argument": [1], "other": {"a": 1}})"))
        << "an argument the API does not have is ignored, whatever its shape";
    EXPECT_EQ("url", refused(R"({"url": null})"));
}

// A script's arguments: lua_source is required, /run's is main's body (its
// lines keep their numbers), and every argument reaches splash.args as it
// came.
TEST(RenderArguments, AScriptTakesItsSourceAndAllArguments) {
    const RenderArguments::Limits limits;
    const auto texts = RenderArguments::FromJson(R"({"lua_source": "return 1\n", "n": 2, "list": [1, "a"],
                                                     "timeout": 5, "proxy": "127.0.0.1:3128"})");
    const RenderArguments run = RenderArguments::ParseScript(texts, limits, Endpoint::Run);
    EXPECT_EQ("function main(splash, args) return 1\n\nend", run.luaSource);
    EXPECT_EQ(5000, run.timeoutMs);
    EXPECT_EQ(nlohmann::json::parse(R"({"lua_source": "return 1\n", "n": 2, "list": [1, "a"], "timeout": 5,
                                        "proxy": "127.0.0.1:3128"})"),
              run.scriptArguments);
    const auto options = run.ToOptions(Endpoint::Run);
    EXPECT_EQ(run.luaSource, Option<std::string>(options, "luaSource"));
    EXPECT_EQ(run.scriptArguments, nlohmann::json::parse(Option<std::string>(options, "luaArguments")));
    EXPECT_EQ("127.0.0.1:3128", Option<std::string>(options, "proxy"));
    EXPECT_EQ(0u, options.count("timeout"));
    EXPECT_EQ(0u, options.count("pageInfo")) << "a script answers for itself";
    EXPECT_EQ("return 1\n", RenderArguments::ParseScript(texts, limits, Endpoint::Execute).luaSource);
    const auto refused = [&limits](const RenderArguments::Texts& bad) {
        try {
            RenderArguments::ParseScript(bad, limits, Endpoint::Execute);
        } catch (const BadArgument& e) {
            return e.argument;
        }
        return std::string();
    };
    EXPECT_EQ("lua_source", refused({}));
    EXPECT_EQ("lua_source", refused({{"lua_source", ""}}));
    EXPECT_EQ("filters", refused({{"lua_source", "x"}, {"filters", "easylist"}}));
    EXPECT_EQ("timeout", refused({{"lua_source", "x"}, {"timeout", "0"}}));
    EXPECT_EQ("", refused({{"lua_source", "x"}, {"url", "not checked: the script's own"}}));
}

// headers: a JSON object or a list of pairs from a JSON body, never a text;
// they go to the worker one per line, with a POST's own type kept.
TEST(RenderArguments, HeadersComeAsAnObjectOrPairsNeverAsText) {
    const auto headers = [](const std::string& json) {
        RenderArguments::Texts texts = RenderArguments::FromJson(json);
        texts.emplace("url", "http://127.0.0.1/page");
        return RenderArguments::Parse(texts, RenderArguments::Limits()).ToOptions(Endpoint::Html);
    };
    EXPECT_EQ("Accept: text/html\nUser-Agent: Crawler/1.0\n",
              Option<std::string>(headers(R"({"headers": {"Accept": "text/html", "User-Agent": "Crawler/1.0"}})"),
                                  "headers"));
    EXPECT_EQ("X-B: 2\nX-A: 1\n",
              Option<std::string>(headers(R"({"headers": [["X-B", "2"], ["X-A", "1"]]})"), "headers"));
    EXPECT_EQ("content-type: text/plain\n",
              Option<std::string>(
                  headers(R"({"http_method": "POST", "body": "x", "headers": {"content-type": "text/plain"}})"),
                  "headers"));
    EXPECT_EQ("headers", Refused({{"headers", "{\"Accept\": \"text/html\"}"}})) << "a text, as a GET sends it";
    EXPECT_EQ("headers", RefusedJson(R"({"headers": {"X-A": "1\r\nX-B: 2"}})"));
    EXPECT_EQ("headers", RefusedJson(R"({"headers": {"Bad Name": "1"}})"));
    EXPECT_EQ("headers", RefusedJson(R"({"headers": [["X-A"]]})"));
    EXPECT_EQ("headers", RefusedJson(R"({"headers": {"X-A": 1}})"));
    EXPECT_EQ("viewport", RefusedJson(R"({"viewport": {"w": 1}})")) << "only headers and cookies take structures";
}

// cookies: a list of cookie objects becomes Set-Cookie lines for the jar.
TEST(RenderArguments, ACookieListBecomesSetCookieLines) {
    RenderArguments::Texts texts = RenderArguments::FromJson(
        R"({"url": "http://127.0.0.1/", "cookies": [
            {"name": "a", "value": "1", "domain": ".example.org", "path": "/x", "expires": "2030-01-02T03:04:05Z",
             "httpOnly": true, "secure": true},
            {"name": "b", "value": "", "domain": null, "path": null, "expires": null, "httpOnly": false}]})");
    const auto options = RenderArguments::Parse(texts, RenderArguments::Limits()).ToOptions(Endpoint::Html);
    EXPECT_EQ("a=1; Domain=.example.org; Path=/x; Expires=Wed, 02 Jan 2030 03:04:05 GMT; HttpOnly; Secure\nb=\n",
              Option<std::string>(options, "setCookies"));
    EXPECT_EQ(0u, options.count("cookie"));
    const auto refused = [](const std::string& cookies) { return RefusedJson("{\"cookies\": " + cookies + "}"); };
    EXPECT_EQ("cookies", refused(R"([{"value": "1"}])"));
    EXPECT_EQ("cookies", refused(R"([{"name": "a", "value": "1; Domain=evil"}])"));
    EXPECT_EQ("cookies", refused(R"([{"name": "a", "value": "1", "expires": "soon"}])"));
    EXPECT_EQ("cookies", refused(R"({"name": "a"})"));
    EXPECT_EQ("", refused(R"([{"name": "a", "value": "1", "expires": 1893456000}])"));
    EXPECT_EQ("cookies", refused(R"([{"name": "a", "value": "1", "expires": 1e300}])"));
    EXPECT_EQ("cookies", refused(R"([{"name": "a", "value": "1", "expires": -1}])"));
}

// What the API has and this service does not do is refused by name, not
// ignored; what the API does not have is ignored.
TEST(RenderArguments, KnownArgumentsThatAreNotSupportedAreRefused) {
    for (const char* name : {"js", "filters"}) {
        EXPECT_EQ(name, Refused({{name, "x"}})) << name;
        EXPECT_EQ("", Refused({{name, ""}})) << name << " empty";
    }
    EXPECT_EQ("", Refused({{"no_such_argument", "1"}}));
    const RenderArguments full = Parse({{"viewport", "full"}});
    EXPECT_TRUE(full.renderAll) << "viewport=full is render_all=1";
    EXPECT_EQ(1024, full.viewportWidth);
}

} // namespace
