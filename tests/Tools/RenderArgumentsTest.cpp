// The rules by which orvo-serve reads a render request's arguments and
// turns them into the worker's options.

#include <string>

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

template <class T>
T Option(const Orvo::Browser::Request::Options& options, const std::string& key) {
    return boost::any_cast<T>(options.at(key));
}

TEST(RenderArguments, ADefaultRequestAsksForTheViewportWithoutSnapshot) {
    const auto options = Parse({}).ToOptions(Endpoint::Html, 29000);
    EXPECT_EQ(3600000, Option<int>(options, "keep")) << "workers live while the service runs";
    EXPECT_FALSE(Option<bool>(options, "snapshot"));
    EXPECT_EQ(0, Option<int>(options, "delay"));
    EXPECT_EQ(29000, Option<int>(options, "timeout"));
    EXPECT_EQ("1024x768", Option<std::string>(options, "viewport"));
    EXPECT_EQ(768, Option<int>(options, "maxHeight"));
    for (const char* absent : {"disable", "script", "post", "cookie", "resourceTimeout"}) {
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
    const auto options = arguments.ToOptions(Endpoint::Png, 1000);
    EXPECT_TRUE(Option<bool>(options, "snapshot"));
    EXPECT_EQ(250, Option<int>(options, "delay"));
    EXPECT_EQ(2500, Option<int>(options, "resourceTimeout"));
    EXPECT_EQ("images", Option<std::string>(options, "disable"));
    EXPECT_EQ("x = 1", Option<std::string>(options, "script"));
    EXPECT_EQ("a=1", Option<std::string>(options, "post"));
    EXPECT_EQ("a=1; b=2", Option<std::string>(options, "cookie"));
    EXPECT_EQ("320x200", Option<std::string>(options, "viewport"));
    EXPECT_EQ(0u, options.count("maxHeight")) << "the whole page";
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
    for (const char* url : {"", "/page", "127.0.0.1/page", "ftp://127.0.0.1/", "javascript:alert(1)", "http://",
                            "http://a b/", "http://127.0.0.1/\n", "file:///etc/passwd"}) {
        EXPECT_TRUE(refused(url)) << url;
    }
    EXPECT_FALSE(refused("file:///etc/hostname", true));
}

TEST(RenderArguments, ABodyGoesWithAPostOnly) {
    EXPECT_EQ("body", Refused({{"http_method", "POST"}}));
    EXPECT_EQ("body", Refused({{"http_method", "POST"}, {"body", ""}}));
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
    EXPECT_EQ("viewport", refused(R"({"viewport": [1, 2]})"));
    EXPECT_EQ("url", refused(R"({"url": null})"));
}

} // namespace
