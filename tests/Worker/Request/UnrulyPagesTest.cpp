// Pages of the real web that do not behave: sub-resources and documents
// that never answer, endless scripts, unusable URLs, pages taller than the
// raster engine paints at once, text in other scripts. Every request must be
// answered, and the worker must go on or end cleanly.

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Client/Client.h"
#include "Common/LoggingWorker.h"
#include "Common/Occurrences.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"

namespace {

using namespace Orvo::Browser::Client;
using Orvo::Browser::Request;
using OrvoTest::TestHttpServer;

const int StuckExitStatus = 3;

TestHttpServer::Response Html(const std::string& body) {
    TestHttpServer::Response response;
    response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    response.body = "<html><body style=\"margin:0\">" + body + "</body></html>";
    return response;
}

std::string HundredImagesOnAnUnresolvableHost() {
    std::string images;
    for (int k = 0; k < 100; ++k) {
        images += "<img src=\"https://nonexistent.invalid/" + std::to_string(k) + ".png\" width=\"1\" height=\"1\">";
    }
    return images + "<p id=\"text\">images asked for</p>";
}

TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    const std::string& target = request.target;
    if (target == "/hold") {
        TestHttpServer::Response response;
        response.hold = true;
        return response;
    }
    if (target == "/stuck-style") {
        return Html("<html><head><link rel=\"stylesheet\" href=\"/hold\"></head><body>never laid out</body></html>");
    }
    if (target == "/stuck-image") {
        return Html("<p id=\"text\">text arrived</p><img src=\"/hold\" width=\"10\" height=\"10\">");
    }
    if (target == "/tall") {
        return Html("<div style=\"height:40000px\"></div><div style=\"height:10100px;background:#0000ff\"></div>");
    }
    if (target == "/wide") {
        return Html("<div style=\"width:20000px;height:50px;background:#0000ff\"></div>");
    }
    if (target == "/cjk") {
        return Html("<p style=\"font-size:64px;line-height:80px;margin:0\">\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97"
                    "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e</p>");
    }
    if (target.rfind("/slow", 0) == 0) {
        TestHttpServer::Response response = Html("<p>slow</p>");
        response.delayMs = 1000;
        return response;
    }
    if (target == "/loop") {
        return Html("<p>before</p><script>while (true) {}</script>");
    }
    if (target == "/loop-in-function") {
        return Html("<p>before</p><script>function f() { for (;;) { try { Math.sqrt(2); } catch (e) {} } } f();"
                    "</script>");
    }
    if (target == "/loop-allocating") {
        return Html("<p>before</p><script>var a = []; while (true) { a.push({}); if (a.length > 1000) a = []; }"
                    "</script>");
    }
    if (target == "/loop-onload") {
        return Html("<p>before</p><script>onload = function () { while (true) {} };</script>");
    }
    if (target == "/loop-timer") {
        return Html("<p>before</p><script>setTimeout(function () { while (true) {} }, 10);</script>");
    }
    if (target == "/images") {
        return Html(HundredImagesOnAnUnresolvableHost());
    }
    return Html("<p id=\"text\">plain</p>");
}

class UnrulyPages : public ::testing::Test {
protected:
    UnrulyPages() : server(&Site) {}

    void SetUp() override { Start({}); }

    // Every worker must end by itself once idle, with the expected status.
    void TearDown() override { EXPECT_EQ(expectedExit, client->GetWorker().WaitForExit(30000)) << Log(); }

    void Start(const std::vector<std::string>& environment, const std::vector<std::string>& arguments = {}) {
        client.reset(new Client(OrvoTest::StartLoggingWorker(directory, environment, arguments)));
    }

    static Request::Options Quick(Request::Options options = {}) {
        options.emplace("keep", 100);
        options.emplace("snapshot", false);
        return options;
    }

    Result Render(const std::string& url, const Request::Options& options = Quick()) {
        return client->Render(url, options, 60000);
    }

    std::string Log() const { return directory.Read("worker.log"); }

    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<Client> client;
    int expectedExit = 0;
};

TEST_F(UnrulyPages, ASilentImageIsAbortedAndThePageCompletes) {
    const Result result = Render(server.Url("/stuck-image"), Quick({{"resourceTimeout", 300}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_NE(std::string::npos, result.body.find("text arrived")) << result.body;
    EXPECT_NE(std::string::npos, Log().find(" - QMyNetworkAccessManager::ResourceTimeout => " + server.Url("/hold")))
        << Log();
}

TEST_F(UnrulyPages, TheDeadlineAnswersWithWhatThePageHas) {
    const std::string url = server.Url("/stuck-image");
    const Result result = Render(url, Quick({{"resourceTimeout", 0}, {"timeout", 800}, {"snapshot", true}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(url, result.pageUrl);
    EXPECT_NE(std::string::npos, result.body.find("text arrived")) << result.body;
    EXPECT_FALSE(result.snapshot.Empty()) << "the usual extraction, snapshot included";
    EXPECT_NE(std::string::npos, Log().find(" - " + url + " TIMEOUT\n")) << Log();
}

TEST_F(UnrulyPages, APageAnsweredBeforeItsFirstLayoutHasABlankViewportSnapshot) {
    const std::string url = server.Url("/stuck-style");
    const Result result = Render(url, Quick({{"resourceTimeout", 0}, {"timeout", 800}, {"snapshot", true},
                                             {"viewport", std::string("300x200")}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    ASSERT_EQ(300, result.snapshot.width);
    ASSERT_EQ(200, result.snapshot.height);
    EXPECT_EQ(std::vector<unsigned char>(result.snapshot.rgb.size(), 255), result.snapshot.rgb) << "white";
    EXPECT_EQ(std::string::npos, Log().find("GetSnapshot => no memory")) << Log();
}

TEST_F(UnrulyPages, ASilentDocumentIsANavigationErrorAtTheDeadline) {
    const std::string url = server.Url("/hold");
    const Result result = Render(url, Quick({{"timeout", 500}}));
    EXPECT_EQ(Outcome::NavigationError, result.outcome) << result.error;
    EXPECT_EQ("", result.detail);
    EXPECT_EQ("", result.body);
    EXPECT_EQ(url, result.pageUrl);
    EXPECT_NE(std::string::npos, Log().find(" - " + url + " TIMEOUT\n")) << Log();
}

TEST_F(UnrulyPages, ATallPageIsDrawnWholeUpToTheCap) {
    // The worker must outlive the checks of the first snapshot (a 120 MB
    // bitmap, slow to decode under the sanitizers) to take the second.
    const Result whole = Render(server.Url("/tall"), Quick({{"snapshot", true}, {"keep", 10000}}));
    ASSERT_EQ(Outcome::Rendered, whole.outcome) << whole.error;
    ASSERT_EQ(50100, whole.snapshot.height);
    const auto pixel = [&whole](int x, int y) { return &whole.snapshot.rgb[3 * (y * whole.snapshot.width + x)]; };
    for (const int y : {40000, 45000, 50099}) {
        EXPECT_EQ(0, pixel(10, y)[0]) << y;
        EXPECT_EQ(255, pixel(10, y)[2]) << y;
    }
    EXPECT_EQ(255, pixel(10, 39999)[0]) << "white above the blue block";

    const Result cut = Render(server.Url("/tall"), Quick({{"snapshot", true}, {"maxHeight", 30000}}));
    ASSERT_EQ(Outcome::Rendered, cut.outcome) << cut.error;
    EXPECT_EQ(30000, cut.snapshot.height);
    EXPECT_NE(std::string::npos, Log().find(" - GetSnapshot => cut at 30000 of 50100 px for " + server.Url("/tall")))
        << Log();
}

TEST_F(UnrulyPages, AWidePageIsCutAtTheWidthCap) {
    const Result result = Render(server.Url("/wide"), Quick({{"snapshot", true}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(16384, result.snapshot.width);
    EXPECT_EQ(255, result.snapshot.rgb[3 * 16383 + 2]) << "blue to the last column";
    EXPECT_NE(std::string::npos, Log().find(" - GetSnapshot => cut at 16384 of 20000 px wide for ")) << Log();
}

// A delay far beyond the page's time-out cannot pin the page.
TEST_F(UnrulyPages, TheDelayEndsByThePagesTimeout) {
    const Result result =
        client->Render(server.Url("/plain"), Quick({{"delay", 2147483647}, {"timeout", 500}}), 20000);
    EXPECT_EQ(Outcome::Rendered, result.outcome) << result.error;
}

TEST_F(UnrulyPages, CjkTextIsDrawn) {
    const Result result = Render(server.Url("/cjk"), Quick({{"snapshot", true}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    int dark = 0;
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < std::min(result.snapshot.width, 460); ++x) {
            const unsigned char* rgb = &result.snapshot.rgb[3 * (y * result.snapshot.width + x)];
            dark += rgb[0] < 96 && rgb[1] < 96 && rgb[2] < 96 ? 1 : 0;
        }
    }
    // Without a font for them the glyphs are drawn as nothing at all; six
    // 64 px glyphs give close to 4,000 dark pixels.
    EXPECT_GT(dark, 1500);
}

TEST_F(UnrulyPages, UnusableUrlsAreAnsweredAtOnceAndTheWorkerGoesOn) {
    for (const std::string url : {"", "no scheme at all", "gopher://127.0.0.1/x"}) {
        const Result result = Render(url);
        EXPECT_EQ(Outcome::NavigationError, result.outcome) << "'" << url << "': " << result.error;
        EXPECT_EQ(url, result.pageUrl);
        EXPECT_EQ("", result.detail);
    }
    const Result good = Render(server.Url("/plain"));
    EXPECT_EQ(Outcome::Rendered, good.outcome) << good.error;
}

// The first request is served on the main handler's own page: it must be
// answered once, its deadline must not fire later, and one idle timer
// measures keep once the worker is idle. The deadline leaves a sanitized
// worker on a loaded machine time to load the page, and falls well before
// the worker ends, so that a deadline left running would be seen.
TEST_F(UnrulyPages, TheFirstPageIsAnsweredOnceAndThenReleased) {
    const Result result = Render(server.Url("/plain"), Quick({{"timeout", 2000}, {"keep", 5000}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    ASSERT_EQ(0, client->GetWorker().WaitForExit(30000));
    const std::string log = Log();
    EXPECT_EQ(1u, OrvoTest::Occurrences(log, " - RequestHandler::PushOnDocumentComplete => ")) << log;
    EXPECT_EQ(0u, OrvoTest::Occurrences(log, " - OnTimeOutTimer\n")) << log;
    EXPECT_EQ(0u, OrvoTest::Occurrences(log, "Response sent?")) << log;
    EXPECT_EQ(1u, OrvoTest::Occurrences(log, " - OnSuicideTimer\n")) << log;
}

TEST_F(UnrulyPages, SpawnedHandlersAreAnsweredOnceEach) {
    std::vector<std::unique_ptr<PendingRequest>> pending;
    for (int k = 0; k < 4; ++k) {
        pending.push_back(client->Submit(server.Url("/plain"), Quick({{"timeout", 400}})));
    }
    for (auto& request : pending) {
        EXPECT_EQ(Outcome::Rendered, client->Collect(*request, 60000).outcome);
    }
    ASSERT_EQ(0, client->GetWorker().WaitForExit(30000));
    const std::string log = Log();
    EXPECT_EQ(4u, OrvoTest::Occurrences(log, " - RequestHandler::PushOnDocumentComplete => ")) << log;
    EXPECT_EQ(0u, OrvoTest::Occurrences(log, " - OnTimeOutTimer\n")) << log;
}

TEST_F(UnrulyPages, APageOfImagesOnAnUnresolvableHttpsHostFinishes) {
    const Result result = Render(server.Url("/images"));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_NE(std::string::npos, result.body.find("images asked for"));
}

// An endless loop wherever a page runs script is interrupted by the
// engine at its script limit (1 s of the script's CPU time here), every
// time: the page is answered with what it has and the same worker goes on,
// well before the main-thread watchdog (20 s) would give it up.
class ScriptLimit : public UnrulyPages {
protected:
    void SetUp() override { Start({"JSC_watchdog=1000"}); }
};

TEST_F(ScriptLimit, EndlessLoopsAreInterruptedAndTheWorkerGoesOn) {
    const std::vector<std::pair<std::string, Request::Options>> loops = {
        {"/loop", Quick()},
        {"/loop-in-function", Quick()},
        {"/loop-allocating", Quick()},
        {"/loop-onload", Quick()},
        {"/loop-timer", Quick({{"delay", 500}})},
        {"/plain", Quick({{"script", std::string("while (true) {}")}})},
    };
    for (const auto& loop : loops) {
        const Result result = Render(server.Url(loop.first), loop.second);
        EXPECT_EQ(Outcome::Rendered, result.outcome) << loop.first << ": " << result.error;
        EXPECT_TRUE(result.body.find("before") != std::string::npos || result.body.find("plain") != std::string::npos)
            << loop.first << ": " << result.body;
    }
    const long pid = client->GetWorker().Pid();
    EXPECT_EQ(Outcome::Rendered, Render(server.Url("/plain")).outcome);
    EXPECT_EQ(pid, client->GetWorker().Pid());
    EXPECT_EQ(std::string::npos, Log().find("MainThreadWatchdog")) << Log();
}

// The stuck limit is shortened through the test-only divisor (20 s / 5).
// The engine's own script limit is switched off: these tests are about
// what the worker does when nothing interrupts a script.
class StuckMainThread : public UnrulyPages {
protected:
    void SetUp() override {
        Start({"ORVO_TEST_TIME_DIVISOR=5", "JSC_watchdog=0"});
        expectedExit = StuckExitStatus;
    }

    // The stuck request is answered as a failed navigation, so that its
    // client does not send it again; the one behind it is answered too.
    void ExpectBothAnswered(const std::string& stuckUrl, const Request::Options& options) {
        auto stuck = client->Submit(stuckUrl, options);
        auto behind = client->Submit(server.Url("/plain"), Quick());
        const Result stuckResult = client->Collect(*stuck, 60000);
        const Result behindResult = client->Collect(*behind, 60000);
        EXPECT_EQ(Outcome::NavigationError, stuckResult.outcome) << stuckResult.error;
        EXPECT_EQ("", stuckResult.detail);
        EXPECT_TRUE(behindResult.outcome == Outcome::Rendered || behindResult.outcome == Outcome::Dead)
            << OutcomeName(behindResult.outcome) << " " << behindResult.error;
        EXPECT_EQ(StuckExitStatus, client->GetWorker().WaitForExit(30000));
        const std::string log = Log();
        EXPECT_NE(std::string::npos, log.find(" - FATAL - ")) << log;
        EXPECT_NE(std::string::npos, log.find("MainThreadWatchdog => main thread stuck for 4000 ms on " + stuckUrl))
            << log;
        EXPECT_NE(std::string::npos, log.find("Server::Serve => STOP 1")) << "the shared names were removed";
    }
};

// With --max-pages 2 a third page is not opened before one of the first
// two is answered; the requests behind wait and are all answered.
class TwoPagesAtOnce : public UnrulyPages {
protected:
    void SetUp() override { Start({}, {"--max-pages", "2"}); }
};

TEST_F(TwoPagesAtOnce, FurtherRequestsWaitForAPageToClose) {
    std::vector<std::unique_ptr<PendingRequest>> pending;
    for (int k = 0; k < 4; ++k) {
        pending.push_back(client->Submit(server.Url("/slow?" + std::to_string(k)), Quick()));
    }
    for (auto& request : pending) {
        EXPECT_EQ(Outcome::Rendered, client->Collect(*request, 60000).outcome) << request->Url();
    }
    const std::string log = Log();
    const std::size_t firstAnswer = log.find("RequestHandler::PushOnDocumentComplete");
    const std::size_t thirdPage = log.find(" - Spawn 2 => ProcessRequest");
    ASSERT_NE(std::string::npos, firstAnswer) << log;
    ASSERT_NE(std::string::npos, thirdPage) << log;
    EXPECT_LT(firstAnswer, thirdPage) << "the third page opened only after an answer";
}

TEST_F(StuckMainThread, AnEndlessPageScriptIsAnswered) {
    ExpectBothAnswered(server.Url("/loop"), Quick());
}

TEST_F(StuckMainThread, AnEndlessScriptOptionIsAnswered) {
    ExpectBothAnswered(server.Url("/plain"), Quick({{"script", std::string("while (true) {}")}}));
}

} // namespace
