// A request's cookies in the form the browser's Storage.setCookies takes:
// each Set-Cookie line's attributes, and the cookie option's pairs.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Chromium/ChromiumCookies.h"

namespace {

using nlohmann::json;

const char* const Page = "http://127.0.0.1:8000/a/page";

TEST(ChromiumCookies, SetCookieLinesKeepTheirAttributes) {
    const std::vector<std::pair<std::string, json>> cases = {
        {"plain=1", {{"name", "plain"}, {"value", "1"}, {"path", "/"}, {"url", Page}}},
        {" spaced = a b ; Path=/a ; Secure ; HttpOnly",
         {{"name", "spaced"}, {"value", "a b"}, {"path", "/a"}, {"secure", true}, {"httpOnly", true}, {"url", Page}}},
        {"wide=2; Domain=.example.org; Expires=Wed, 21 Oct 2037 07:28:00 GMT",
         {{"name", "wide"}, {"value", "2"}, {"path", "/"}, {"domain", ".example.org"}, {"expires", 2139722880.0}}},
        {"dashed=3; domain=example.org; expires=Wed, 21-Oct-2037 07:28:00 GMT",
         {{"name", "dashed"}, {"value", "3"}, {"path", "/"}, {"domain", "example.org"}, {"expires", 2139722880.0}}},
        {"undated=4; Expires=someday", {{"name", "undated"}, {"value", "4"}, {"path", "/"}, {"url", Page}}},
        {"empty=", {{"name", "empty"}, {"value", ""}, {"path", "/"}, {"url", Page}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json::array({c.second}), ChromiumCookies::OfSetCookieLines(c.first, Page)) << c.first;
    }
    EXPECT_EQ(2u, ChromiumCookies::OfSetCookieLines("a=1\n=nameless\n\nb=2; Path=/", Page).size())
        << "a line without a name is left out";
    const json aged = ChromiumCookies::OfSetCookieLines("aged=1; Max-Age=60", Page).at(0);
    EXPECT_GT(aged.at("expires").get<double>(), 1.7e9) << aged;
}

TEST(ChromiumCookies, TheCookieOptionsPairsAreTheUrlsCookies) {
    EXPECT_EQ(json::parse(R"([{"name": "a", "value": "1", "url": "http://127.0.0.1:8000/a/page"},
                              {"name": "b", "value": "x=y", "url": "http://127.0.0.1:8000/a/page"}])"),
              ChromiumCookies::OfHeader("a=1; b=x=y; ;", Page));
    EXPECT_EQ(json::array(), ChromiumCookies::OfHeader("", Page));
}

} // namespace
