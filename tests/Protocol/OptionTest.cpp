#include "Protocol/Option.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Protocol/ServerOptionGetter.h"

namespace {

namespace Option = Orvo::Browser::Option;
using Orvo::Browser::ServerOptionGetter;

Option::Tuple Read(const boost::unordered_map<std::string, std::string>& texts) {
    Option::Tuple options;
    Option::ForEach(options, ServerOptionGetter::InitValue());
    Option::ForEach(options, ServerOptionGetter::GetOption(texts));
    return options;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    EXPECT_TRUE(Option::Disable::Parse(text, words));
    return words;
}

TEST(Option, DefaultsFillAnEmptyMap) {
    const Option::Tuple options = Read({});
    EXPECT_TRUE(Option::Get<Option::Snapshot>(options));
    EXPECT_FALSE(Option::Get<Option::Coordinate>(options));
    EXPECT_EQ(2000, Option::Get<Option::Keep>(options));
    EXPECT_FALSE(Option::Get<Option::Tiva>(options));
    EXPECT_EQ(100, Option::Get<Option::Delay>(options));
    EXPECT_EQ("", Option::Get<Option::Post>(options));
    EXPECT_EQ("", Option::Get<Option::Script>(options));
    EXPECT_EQ("", Option::Get<Option::Cookie>(options));
    EXPECT_EQ("", Option::Get<Option::Disable>(options));
    EXPECT_EQ(15000, Option::Get<Option::ResourceTimeout>(options));
    EXPECT_EQ(300000, Option::Get<Option::Timeout>(options));
    EXPECT_EQ(65535, Option::Get<Option::MaxHeight>(options));
    EXPECT_EQ("", Option::Get<Option::Viewport>(options));
}

TEST(Option, TheLimitsAreReadFromTheirKeys) {
    const Option::Tuple options = Read({{"resourceTimeout", "250"}, {"timeout", "4000"}, {"maxHeight", "x"}});
    EXPECT_EQ(250, Option::Get<Option::ResourceTimeout>(options));
    EXPECT_EQ(4000, Option::Get<Option::Timeout>(options));
    EXPECT_EQ(65535, Option::Get<Option::MaxHeight>(options)) << "a bad text keeps the default";
}

TEST(Option, TextsConvertToTheirTypes) {
    const Option::Tuple options = Read({{"snapshot", "0"},
                                        {"coordinate", "1"},
                                        {"keep", "5000"},
                                        {"tiva", "01"},
                                        {"delay", "-1"},
                                        {"post", " a = 1\r\nb "},
                                        {"script", "x;\n1;"},
                                        {"cookie", "a=1; b=2"},
                                        {"disable", "images"}});
    EXPECT_FALSE(Option::Get<Option::Snapshot>(options));
    EXPECT_TRUE(Option::Get<Option::Coordinate>(options));
    EXPECT_EQ(5000, Option::Get<Option::Keep>(options));
    EXPECT_TRUE(Option::Get<Option::Tiva>(options)) << "leading zeros are accepted";
    EXPECT_EQ(-1, Option::Get<Option::Delay>(options));
    EXPECT_EQ(" a = 1\r\nb ", Option::Get<Option::Post>(options));
    EXPECT_EQ("x;\n1;", Option::Get<Option::Script>(options));
    EXPECT_EQ("a=1; b=2", Option::Get<Option::Cookie>(options));
    EXPECT_EQ("images", Option::Get<Option::Disable>(options));
}

TEST(Option, UnconvertibleTextsLeaveTheDefaultAndTheOthersStillApply) {
    const Option::Tuple options = Read({{"snapshot", "true"},
                                        {"coordinate", "2"},
                                        {"keep", " 5000"},
                                        {"delay", "1.5"},
                                        {"tiva", "1"},
                                        {"Snapshot", "0"},
                                        {"colour", "blue"}});
    EXPECT_TRUE(Option::Get<Option::Snapshot>(options));
    EXPECT_FALSE(Option::Get<Option::Coordinate>(options));
    EXPECT_EQ(2000, Option::Get<Option::Keep>(options));
    EXPECT_EQ(100, Option::Get<Option::Delay>(options));
    EXPECT_TRUE(Option::Get<Option::Tiva>(options));
}

TEST(Option, IntegersOutsideThirtyTwoBitsAreRejected) {
    EXPECT_EQ(2147483647, Option::Get<Option::Keep>(Read({{"keep", "2147483647"}})));
    EXPECT_EQ(2000, Option::Get<Option::Keep>(Read({{"keep", "2147483648"}})));
    EXPECT_EQ(100, Option::Get<Option::Delay>(Read({{"delay", "-2147483649"}})));
}

TEST(Option, ForEachVisitsTheOptionsInTupleOrder) {
    std::vector<std::string> seen;
    Option::Tuple options;
    Option::ForEach(options, [&seen](auto tag, auto&) { seen.push_back(decltype(tag)::Name()); });
    EXPECT_EQ((std::vector<std::string>{"snapshot", "coordinate", "keep", "tiva", "delay", "post", "script", "cookie",
                                        "disable", "resourceTimeout", "timeout", "maxHeight", "viewport", "headers",
                                        "setCookies", "httpMethod", "pageInfo", "proxy",
                                        "allowedDomains", "allowedContentTypes", "forbiddenContentTypes", "baseUrl",
                                        "networkLog", "responseBodies", "scriptResult", "consoleLog", "frames", "engineGaps",
                                        "luaSource", "luaArguments"}),
              seen);
}

TEST(OptionViewport, WidthAndHeightAreReadFromWxH) {
    int width = 0;
    int height = 0;
    ASSERT_TRUE(Option::Viewport::Parse("1024x768", width, height));
    EXPECT_EQ(1024, width);
    EXPECT_EQ(768, height);
    ASSERT_TRUE(Option::Viewport::Parse("1x16384", width, height));
    EXPECT_EQ(1, width);
    EXPECT_EQ(16384, height);
}

TEST(OptionViewport, AnyOtherTextLeavesTheSizeAlone) {
    for (const char* text : {"", "x", "1024", "1024x", "x768", "0x768", "1024x0", "16385x10", "10x16385", "-5x10",
                             "+5x10", " 5x10", "5x10 ", "5X10", "5x10x2", "99999999999x1", "5.0x10"}) {
        int width = 7;
        int height = 9;
        EXPECT_FALSE(Option::Viewport::Parse(text, width, height)) << text;
        EXPECT_EQ(7, width) << text;
        EXPECT_EQ(9, height) << text;
    }
}

TEST(OptionDisable, WordsAreSplitOnCommasAndSpacesAndLowerCased) {
    EXPECT_EQ((std::vector<std::string>{"flash", "javascript", "images"}), Words("Flash, JavaScript,,images "));
    EXPECT_EQ((std::vector<std::string>{"java", "javascript"}), Words("java,javascript"));
    EXPECT_EQ((std::vector<std::string>{"images", "images"}), Words("images images"));
    EXPECT_EQ((std::vector<std::string>{"a\tb"}), Words("A\tB")) << "tabs belong to words";
    EXPECT_TRUE(Words(" , ,, ").empty());
    EXPECT_TRUE(Words("").empty());
}

TEST(OptionDisable, WordsAreAppended) {
    std::vector<std::string> words{"kept"};
    Option::Disable::Parse("java", words);
    EXPECT_EQ((std::vector<std::string>{"kept", "java"}), words);
}

TEST(OptionHeaders, EachLineIsANameAndAValue) {
    std::vector<std::pair<std::string, std::string>> headers;
    Option::Headers::Parse("User-Agent: Crawler/1.0\nX-Empty:\nno colon\n: no name\nX-Spaced:  a b \r\nX-Last: 1",
                           headers);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                  {"User-Agent", "Crawler/1.0"}, {"X-Empty", ""}, {"X-Spaced", "a b"}, {"X-Last", "1"}}),
              headers);
}

TEST(OptionProxy, SchemeCredentialsHostAndPortAreRead) {
    Option::Proxy::Address address;
    ASSERT_TRUE(Option::Proxy::Parse("socks5://me:se:cret@proxy.example:3128", address));
    EXPECT_TRUE(address.socks);
    EXPECT_EQ("me", address.user);
    EXPECT_EQ("se:cret", address.password);
    EXPECT_EQ("proxy.example", address.host);
    EXPECT_EQ(3128, address.port);
    ASSERT_TRUE(Option::Proxy::Parse("127.0.0.1", address));
    EXPECT_FALSE(address.socks);
    EXPECT_EQ("", address.user);
    EXPECT_EQ(1080, address.port) << "the default port";
    ASSERT_TRUE(Option::Proxy::Parse("http://10.0.0.1:8080", address));
    EXPECT_EQ("10.0.0.1", address.host);
    for (const char* text : {"", "ftp://h:1", "h:0", "h:65536", "h:", "h:8a", "http://", "a b:1", "h/x:1"}) {
        EXPECT_FALSE(Option::Proxy::Parse(text, address)) << text;
    }
    EXPECT_EQ("10.0.0.1", address.host) << "a bad text leaves the address alone";
}

} // namespace

namespace {

// What a worker leaves aside of an option map, as its log names it.
TEST(OptionSchema, IgnoredNamesEachEntryAReaderLeavesAside) {
    const struct {
        std::map<std::string, std::string> options;
        std::string ignored;
    } cases[] = {
        {{}, ""},
        {{{"delay", "0"}, {"snapshot", "1"}, {"post", ""}, {"script", "\n"}}, ""},
        {{{"colour", "blue"}, {"Snapshot", "0"}}, "Snapshot (no such option), colour (no such option)"},
        {{{"keep", " 5"}, {"tiva", "2"}}, "keep=\" 5\" (not a whole number), tiva=\"2\" (not 0 or 1)"},
        {{{"maxHeight", "2147483648"}}, "maxHeight=\"2147483648\" (not a whole number)"},
        {{{"timeout", "1\r\n" + std::string(60, '9')}},
         "timeout=\"1??" + std::string(37, '9') + "...\" (not a whole number)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.ignored, Option::Ignored(c.options));
    }
}

// The forms that texts of options are checked against wherever they are
// given.
TEST(OptionSchema, FormsAcceptTheirTextsAndRefuseOthers) {
    const struct {
        bool (*form)(const std::string&);
        std::vector<std::string> good;
        std::vector<std::string> bad;
    } cases[] = {
        {Option::IsViewport, {"1x1", "1024x768"}, {"", "0x1", "1024 x768", "16385x1"}},
        {Option::IsProxy, {"h", "socks5://u:p@h:1080", "http://h:8080"}, {"", "ftp://h", "h:0", "h:70000", "a b"}},
        {Option::IsWebUrl,
         {"http://h", "HTTPS://h.example/a?b#c", "http://127.0.0.1:8080/"},
         {"", "/relative/", "http://", "http:///path", "ftp://h/", "http://h/a b", "http://h/\x7f", "about:blank"}},
    };
    for (const auto& c : cases) {
        for (const std::string& text : c.good) {
            EXPECT_TRUE(c.form(text)) << text;
        }
        for (const std::string& text : c.bad) {
            EXPECT_FALSE(c.form(text)) << text;
        }
    }
}

// Each flag and each argument that feeds an option names one option, and
// every number's default lies in its range.
TEST(OptionSchema, FlagsAndArgumentsNameOneOptionEach) {
    std::map<std::string, std::string> flags;
    std::map<std::string, std::string> arguments;
    for (const Option::Row& row : Option::Schema()) {
        EXPECT_EQ(row.key, Option::Find(row.key)->key);
        for (const char* flag : {row.spec.flag, row.spec.offFlag, row.spec.fileFlag}) {
            if (flag != nullptr) {
                EXPECT_TRUE(flags.emplace(flag, row.key).second) << flag << " names " << flags[flag];
            }
        }
        const bool direct =
            row.spec.httpForm == Option::HttpForm::Text || row.spec.httpForm == Option::HttpForm::Seconds;
        if (direct) {
            EXPECT_TRUE(arguments.emplace(row.spec.http, row.key).second) << row.spec.http;
        }
        if (row.kind == Option::Row::Kind::Int) {
            EXPECT_LE(row.spec.least, std::stoi(row.defaultText)) << row.key;
            EXPECT_GE(row.spec.most, std::stoi(row.defaultText)) << row.key;
        }
    }
    EXPECT_EQ(nullptr, Option::Find("Snapshot"));
}

} // namespace
