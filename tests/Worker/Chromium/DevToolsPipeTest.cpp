// The Chromium browser over the DevTools pipe, against a test HTTP server
// on 127.0.0.1: commands and their answers, errors, a page in a browser
// context of its own, and the browser's end.

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Chromium/DevToolsPipe.h"
#include "Common/TestHttpServer.h"

namespace {

using nlohmann::json;
using OrvoTest::TestHttpServer;

TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    TestHttpServer::Response response;
    response.headers.push_back({"Content-Type", "text/html; charset=utf-8"});
    response.body = "<html><body><p id=\"p\">" + request.target + "</p>"
                    "<script>document.cookie = 'seen=' + location.pathname.slice(1);"
                    "document.getElementById('p').dataset.ran = 'yes';</script>"
                    "</body></html>";
    return response;
}

// The page's events until Page.loadEventFired of session, which must come.
void AwaitLoad(DevToolsPipe& browser, const std::string& session) {
    json event;
    while (browser.NextEvent(event, 30000)) {
        if (event.value("method", "") == "Page.loadEventFired" && event.value("sessionId", "") == session) {
            return;
        }
    }
    FAIL() << "no load event";
}

// A page in a context of its own: made, loaded, read and disposed of.
struct ContextPage {
    std::string context;
    std::string session;

    ContextPage(DevToolsPipe& browser, const std::string& url) {
        context = browser.Call("Target.createBrowserContext").at("browserContextId");
        const std::string target =
            browser.Call("Target.createTarget", {{"url", "about:blank"}, {"browserContextId", context}})
                .at("targetId");
        session = browser.Call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}).at("sessionId");
        browser.Call("Page.enable", json::object(), session);
        browser.Call("Page.navigate", {{"url", url}}, session);
        AwaitLoad(browser, session);
    }

    static json Evaluate(DevToolsPipe& browser, const std::string& session, const std::string& expression) {
        return browser.Call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session)
            .at("result")
            .value("value", json());
    }
};

TEST(DevToolsPipe, CommandsAreAnsweredAndErrorsSayWhatFailed) {
    DevToolsPipe browser({});
    EXPECT_EQ(0u, browser.Product().rfind("Chrome/", 0)) << browser.Product();
    EXPECT_TRUE(boost::filesystem::is_directory(browser.ProfileDirectory()));
    const json version = browser.Call("Browser.getVersion");
    EXPECT_EQ("1.3", version.value("protocolVersion", ""));
    const struct {
        std::string method;
        json params;
        int code;
        std::string what;
    } refusals[] = {
        {"No.such", json::object(), -32601, "No.such: 'No.such' wasn't found"},
        {"Target.createTarget", json::object(), -32602, "Target.createTarget: Invalid parameters"},
    };
    for (const auto& refusal : refusals) {
        try {
            browser.Call(refusal.method, refusal.params);
            ADD_FAILURE() << refusal.method << " was answered";
        } catch (const DevToolsError& e) {
            EXPECT_EQ(refusal.code, e.code) << refusal.method;
            EXPECT_EQ(0u, std::string(e.what()).rfind(refusal.what, 0)) << e.what();
        }
    }
    EXPECT_EQ("1.3", browser.Call("Browser.getVersion").value("protocolVersion", "")) << "errors end no session";
}

// A message posted from another thread wakes a wait on the browser at
// once, and reaches the interceptor while a call waits for its answer.
TEST(DevToolsPipe, MessagesPostedFromAnotherThreadComeAsEvents) {
    DevToolsPipe browser({});
    json event;
    std::thread poster([&browser]() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        browser.Post({{"method", "Test.posted"}, {"params", {{"n", 1}}}});
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(browser.NextEvent(event, 60000));
    poster.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "woken, not timed out";
    EXPECT_EQ((json{{"method", "Test.posted"}, {"params", {{"n", 1}}}}), event);

    std::vector<json> intercepted;
    browser.Intercept([&intercepted](const json& message) {
        intercepted.push_back(message);
        return message.value("method", "") == "Test.posted";
    });
    browser.Post({{"method", "Test.posted"}, {"params", {{"n", 2}}}});
    browser.Call("Browser.getVersion");
    browser.Intercept(nullptr);
    ASSERT_EQ(1u, intercepted.size());
    EXPECT_EQ(2, intercepted[0]["params"].value("n", 0));
    EXPECT_FALSE(browser.NextEvent(event, 0)) << "taken by the interceptor, not kept";
}

// A page's text may hold lone UTF-16 surrogates, which the browser sends as
// escapes JSON refuses: each comes as U+FFFD, a pair as its character, and
// the answer is never lost.
TEST(DevToolsPipe, LoneSurrogatesInAnAnswerComeAsReplacementCharacters) {
    const std::vector<std::pair<std::string, std::string>> texts = {
        {R"({"v":"\ud800x"})", R"({"v":"\ufffdx"})"},
        {R"({"v":"\udc00\ud83d\ude00\ud83d"})", R"({"v":"\ufffd\ud83d\ude00\ufffd"})"},
        {R"({"v":"\\ud800 \u0041"})", R"({"v":"\\ud800 \u0041"})"},
        {R"({"v":"\ud8)", R"({"v":"\ud8)"},
    };
    for (const auto& text : texts) {
        EXPECT_EQ(text.second, DevToolsPipe::WithoutLoneSurrogates(text.first)) << text.first;
    }
    TestHttpServer server(&Site);
    DevToolsPipe browser({});
    const ContextPage page(browser, server.Url("/surrogates"));
    const json value =
        ContextPage::Evaluate(browser, page.session, "'\\ud800x' + '\\udc00' + '\\ud83d\\ude00'");
    EXPECT_EQ("\xEF\xBF\xBDx\xEF\xBF\xBD\xF0\x9F\x98\x80", value);
}

// Two pages, each in a browser context of its own: each sees its own
// document, its script ran, and a cookie one set is not the other's.
TEST(DevToolsPipe, EachPageLoadsInAContextOfItsOwn) {
    TestHttpServer server(&Site);
    DevToolsPipe browser({});
    ContextPage first(browser, server.Url("/first"));
    ContextPage second(browser, server.Url("/second"));
    for (const auto& page : {std::make_pair(&first, "/first"), std::make_pair(&second, "/second")}) {
        const std::string session = page.first->session;
        EXPECT_EQ(page.second, ContextPage::Evaluate(browser, session, "document.getElementById('p').textContent"));
        EXPECT_EQ("yes", ContextPage::Evaluate(browser, session, "document.getElementById('p').dataset.ran"));
    }
    for (const auto& page : {std::make_pair(&first, "first"), std::make_pair(&second, "second")}) {
        const json cookies = browser.Call("Storage.getCookies", {{"browserContextId", page.first->context}});
        ASSERT_EQ(1u, cookies.at("cookies").size()) << cookies;
        EXPECT_EQ(page.second, cookies.at("cookies")[0].value("value", "")) << "each context its own jar";
    }
    browser.Call("Target.disposeBrowserContext", {{"browserContextId", first.context}});
    EXPECT_EQ(json::array({second.context}), browser.Call("Target.getBrowserContexts").at("browserContextIds"));
}

// The browser ends with its object, and its profile goes; one that was
// killed makes the next call fail, not hang, and is no longer running from
// then on, even before the process can be collected.
TEST(DevToolsPipe, TheBrowserEndsWithItsObjectAndADeadOneFailsCalls) {
    pid_t pid = 0;
    std::string profile;
    {
        DevToolsPipe browser({});
        pid = browser.Pid();
        profile = browser.ProfileDirectory();
    }
    EXPECT_NE(0, ::kill(pid, 0)) << "the browser " << pid << " still runs";
    EXPECT_FALSE(boost::filesystem::exists(profile));
    DevToolsPipe killed({});
    ::kill(killed.Pid(), SIGKILL);
    try {
        for (int k = 0; k < 100; ++k) {
            killed.Call("Browser.getVersion", json::object(), std::string(), 5000);
        }
        ADD_FAILURE() << "a killed browser answered";
    } catch (const DevToolsError& e) {
        EXPECT_EQ("the browser ended", std::string(e.what()));
    }
    EXPECT_FALSE(killed.Running());
}

// A worker killed outright leaves its browser's profile behind; the next
// browser to start removes the profiles of processes that no longer run,
// and only those.
TEST(DevToolsPipe, ProfilesLeftByEndedProcessesAreRemoved) {
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ::waitpid(ended, nullptr, 0);
    const std::string left = DevToolsPipe::ProfilePrefix + std::to_string(ended) + "-left";
    const std::string live = DevToolsPipe::ProfilePrefix + std::to_string(::getpid()) + "-live";
    for (const std::string& directory : {left, live}) {
        boost::filesystem::create_directories(directory + "/Default");
    }
    {
        DevToolsPipe browser({});
        EXPECT_TRUE(boost::filesystem::exists(browser.ProfileDirectory()));
    }
    EXPECT_FALSE(boost::filesystem::exists(left));
    EXPECT_TRUE(boost::filesystem::exists(live));
    boost::filesystem::remove_all(live);
}

// A program that is no browser fails to start with a clear error.
TEST(DevToolsPipe, AProgramThatIsNoBrowserIsAStartError) {
    DevToolsPipe::Options options;
    options.program = "/bin/false";
    try {
        DevToolsPipe browser(options);
        ADD_FAILURE() << "started";
    } catch (const DevToolsError& e) {
        EXPECT_EQ("/bin/false did not start: the browser ended", std::string(e.what()));
    }
}

} // namespace
