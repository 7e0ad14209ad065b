// A worker started with --engine chromium, through the client library and
// the shared-memory protocol as every client sees a worker, against a test
// HTTP server on 127.0.0.1.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "ChromiumSite.h"
#include "Client/Client.h"
#include "Common/ChildProcess.h"
#include "Common/FreePort.h"
#include "Common/LoggingWorker.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Protocol/Option.h"

namespace {

using Orvo::Browser::Request;
using Orvo::Browser::Client::Client;
using Orvo::Browser::Client::Outcome;
using Orvo::Browser::Client::Result;
using ChromiumSite::Html;
using OrvoTest::TestHttpServer;

// An HTTP date ten days from now at midnight: browsers cap a cookie's
// life at 400 days.
std::string InTenDays() {
    const std::time_t later = std::time(nullptr) + 10 * 24 * 3600;
    std::tm utc{};
    ::gmtime_r(&later, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y 00:00:00 GMT", &utc);
    return text;
}

TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    if (request.target == "/tall") {
        return Html("<div style=\"background:#ff0000;width:100%;height:1500px\">tall</div>");
    }
    if (request.target == "/moved") {
        TestHttpServer::Response moved = Html("<p>moved</p>", 302);
        moved.headers.push_back({"Location", "/baked"});
        return moved;
    }
    if (request.target == "/baked") {
        TestHttpServer::Response baked = Html("<p>baked</p>");
        baked.headers.push_back({"Set-Cookie", "baked=1; Path=/; HttpOnly; Expires=" + InTenDays()});
        return baked;
    }
    if (request.target == "/hold") {
        TestHttpServer::Response held;
        held.hold = true;
        return held;
    }
    if (request.target == "/held-image") {
        return Html("<p>text arrived</p><img src=\"/hold\" width=\"10\" height=\"10\">");
    }
    if (request.target == "/scripted") {
        return Html("<p>static</p>"
                    "<script>document.body.insertAdjacentHTML('beforeend', '<p>scr' + 'ipted</p>')</script>");
    }
    if (request.target == "/cookie") {
        const auto found = request.headers.find("cookie");
        return Html("<p>" + (found == request.headers.end() ? std::string("none") : found->second) + "</p>");
    }
    if (request.target == "/boxes") {
        return Html("<div style=\"width:200px;height:100px\"><p style=\"margin:0;height:20px\"><b style=\"display:"
                    "inline-block;width:30px;height:15px\"></b></p></div><div style=\"display:none\">hidden</div>"
                    "<ul style=\"margin:0;height:40px\"><li style=\"height:20px\">three</li></ul>");
    }
    if (request.target == "/feed.xml") {
        TestHttpServer::Response feed;
        feed.headers = {{"Content-Type", "application/xml"}};
        feed.body = "<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>news &amp; more"
                    "</title><entry><id>1</id></entry></feed>";
        return feed;
    }
    return ChromiumSite::Shared(request);
}

// The processes whose parent is pid.
std::vector<long> ChildrenOf(long pid) {
    std::vector<long> children;
    for (const auto& entry : boost::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path().string() + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t close = line.rfind(')');
        long parent = 0;
        if (close != std::string::npos && std::istringstream(line.substr(close + 4)) >> parent && parent == pid) {
            children.push_back(std::stol(entry.path().filename().string()));
        }
    }
    return children;
}

class ChromiumWorker : public ::testing::Test {
protected:
    ChromiumWorker() : server(&Site) {}

    void SetUp() override {
        client.reset(new Client(OrvoTest::StartLoggingWorker(directory, {}, {"--engine", "chromium"})));
    }

    // The worker ends by itself once idle for its first request's keep.
    void TearDown() override { EXPECT_EQ(exitStatus, client->GetWorker().WaitForExit(30000)) << Log(); }

    Result Render(const std::string& target, Request::Options options) {
        options.emplace("keep", 300);
        return client->Render(server.Url(target), options, 60000);
    }

    std::string Log() const { return directory.Read("worker.log"); }

    // The fixture's worker, sent nothing, would wait for a first request as
    // long as its serving thread does: a test that leaves it unused ends it.
    void EndUnusedWorker() { ::kill(static_cast<pid_t>(client->GetWorker().Pid()), SIGTERM); }

    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<Client> client;
    int exitStatus = 0;
};

// What the WebKit worker answers, the Chromium worker answers too: the
// page's address, Last-Modified as the detail, the HTML, the whole page's
// snapshot at the viewport's width; a failed navigation's status.
TEST_F(ChromiumWorker, PagesAreAnsweredAsTheWebKitWorkerAnswersThem) {
    const Result dated = Render("/dated", {{"snapshot", false}});
    ASSERT_EQ(Outcome::Rendered, dated.outcome) << dated.error << Log();
    EXPECT_EQ(server.Url("/dated"), dated.pageUrl);
    EXPECT_EQ("11/15/1994 12:45:26", dated.detail);
    EXPECT_NE(std::string::npos, dated.body.find("<p>dated</p>")) << dated.body;
    EXPECT_TRUE(dated.snapshot.Empty());

    const Result tall = Render("/tall", {{"viewport", std::string("400x300")}});
    ASSERT_EQ(Outcome::Rendered, tall.outcome) << tall.error;
    EXPECT_EQ(400, tall.snapshot.width);
    EXPECT_EQ(1500, tall.snapshot.height);
    ASSERT_FALSE(tall.snapshot.Empty());
    const unsigned char* pixel = &tall.snapshot.rgb[(1000 * 400 + 200) * 3];
    EXPECT_EQ(255, pixel[0]);
    EXPECT_EQ(0, pixel[1]);

    const Result cut = Render("/tall", {{"viewport", std::string("400x300")}, {"maxHeight", 700}});
    EXPECT_EQ(700, cut.snapshot.height);

    const Result cookie = Render("/cookie", {{"snapshot", false}, {"cookie", std::string("a=1; b=2")}});
    EXPECT_NE(std::string::npos, cookie.body.find("<p>a=1; b=2</p>")) << cookie.body;

    const Result scripted =
        Render("/dated", {{"snapshot", false}, {"script", std::string("document.body.id = 'touched'")}});
    EXPECT_NE(std::string::npos, scripted.body.find("id=\"touched\"")) << scripted.body;

    const Result missing = Render("/missing", {{"snapshot", false}});
    EXPECT_EQ(Outcome::NavigationError, missing.outcome);
    EXPECT_EQ(404, missing.status);
    EXPECT_EQ("", missing.body);

    const std::string nowhere = "http://127.0.0.1:" + std::to_string(OrvoTest::FreePort()) + "/";
    for (const std::string& url : {nowhere, std::string("file:///etc/hostname"), std::string("ftp://127.0.0.1/")}) {
        const Result refused = client->Render(url, {{"snapshot", false}}, 60000);
        EXPECT_EQ(Outcome::NavigationError, refused.outcome) << url;
        EXPECT_EQ(0, refused.status) << url;
        EXPECT_EQ("", refused.body) << url << ": no file is read without --allow-file-urls";
    }
}

// The document is read as the WebKit worker reads it: the compact body
// serialisation (tiva), each element's region (coordinate) and an XML
// document as XML (no script runs in it) are the same from both engines.
TEST_F(ChromiumWorker, TheDocumentIsReadAsTheWebKitWorkerReadsIt) {
    OrvoTest::TemporaryDirectory webkitDirectory;
    Client webkit(OrvoTest::StartLoggingWorker(webkitDirectory, {}, {}));
    const std::vector<std::pair<std::string, Request::Options>> table = {
        {"/boxes", {{"tiva", true}}},
        {"/boxes", {{"coordinate", true}}},
        {"/boxes", {{"tiva", true}, {"coordinate", true}}},
        {"/feed.xml", {{"script", std::string("document.documentElement.setAttribute('touched', '1')")}}},
    };
    for (const auto& row : table) {
        Request::Options options = row.second;
        options.insert({{"snapshot", false}, {"keep", 3000}});
        const Result fromWebKit = webkit.Render(server.Url(row.first), options, 60000);
        const Result fromChromium = Render(row.first, options);
        ASSERT_EQ(Outcome::Rendered, fromWebKit.outcome) << row.first << fromWebKit.error;
        ASSERT_EQ(Outcome::Rendered, fromChromium.outcome) << row.first << fromChromium.error;
        EXPECT_EQ(fromWebKit.body, fromChromium.body) << row.first << " " << options.size();
    }
    EXPECT_EQ(0, webkit.GetWorker().WaitForExit(30000));
}

// The page's description (the pageInfo option) is the same from both
// engines: where the page ended, each response of its main document with
// its method, status and reason, its cookies, and the page's HTML; a
// missing page is described as failed, with its status and an error.
// Headers are compared by those the test's server sets.
TEST_F(ChromiumWorker, ThePagesDescriptionIsTheSameFromBothEngines) {
    OrvoTest::TemporaryDirectory webkitDirectory;
    Client webkit(OrvoTest::StartLoggingWorker(webkitDirectory, {}, {}));
    const auto described = [](const Result& result) {
        nlohmann::json description = nlohmann::json::parse(result.body, nullptr, false);
        if (!description.is_object()) {
            return nlohmann::json(result.body);
        }
        for (nlohmann::json& response : description["history"]) {
            nlohmann::json kept = nlohmann::json::array();
            for (const nlohmann::json& header : response["headers"]) {
                const std::string name = header[0];
                if (name == "Location" || name == "Last-Modified" || name == "Set-Cookie") {
                    kept.push_back(header);
                }
            }
            response["headers"] = kept;
        }
        // Each engine says why a page failed in its own words.
        description["error"] = !description["error"].is_null();
        description["html"] = description["html"].get<std::string>().find("<p>") != std::string::npos;
        return description;
    };
    for (const std::string target : {"/moved", "/dated", "/missing", "/dated?unsafe"}) {
        Request::Options options{{"snapshot", false}, {"pageInfo", true}, {"keep", 3000}};
        if (target == "/dated?unsafe") {
            // A header that would write another is never sent; the page fails.
            options.emplace("headers", std::string("Bad Name: 1"));
        }
        const Result fromWebKit = webkit.Render(server.Url(target), options, 60000);
        const Result fromChromium = Render(target, options);
        EXPECT_EQ(fromWebKit.outcome, fromChromium.outcome) << target;
        nlohmann::json webkitSays = described(fromWebKit);
        nlohmann::json chromiumSays = described(fromChromium);
        if (target == "/dated?unsafe") {
            // The WebKit worker names the address it sent the refused
            // request to instead of the page's.
            webkitSays.erase("url");
            chromiumSays.erase("url");
        }
        EXPECT_EQ(webkitSays.dump(1), chromiumSays.dump(1)) << target;
        if (target == "/dated?unsafe") {
            EXPECT_NE(std::string::npos, fromChromium.body.find("the header Bad%20Name is not a token"))
                << fromChromium.body;
        }
    }
    EXPECT_EQ(0, webkit.GetWorker().WaitForExit(30000));
}

// An image that never answers is given up at the resource timeout on both
// engines, and the page completes (its load event fires) long before the
// page's own timeout.
TEST_F(ChromiumWorker, ASilentImageIsGivenUpAndThePageCompletes) {
    OrvoTest::TemporaryDirectory webkitDirectory;
    Client webkit(OrvoTest::StartLoggingWorker(webkitDirectory, {}, {}));
    const Request::Options options{{"snapshot", false},
                                   {"keep", 300},
                                   {"resourceTimeout", 500},
                                   {"timeout", 20000},
                                   {"script", std::string("document.body.setAttribute('data-state', "
                                                          "document.readyState)")}};
    for (Client* engine : {&webkit, client.get()}) {
        const Result result = engine->Render(server.Url("/held-image"), options, 60000);
        ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
        EXPECT_NE(std::string::npos, result.body.find("data-state=\"complete\"")) << result.body;
        EXPECT_NE(std::string::npos, result.body.find("text arrived")) << result.body;
    }
    EXPECT_EQ(0, webkit.GetWorker().WaitForExit(30000));
    const std::string aborted = " - QMyNetworkAccessManager::ResourceTimeout => " + server.Url("/hold");
    EXPECT_NE(std::string::npos, webkitDirectory.Read("worker.log").find(aborted));
    EXPECT_NE(std::string::npos, Log().find(" - ChromiumWorker::Serve => loading stopped, sub-resources silent for "
                                            "500 ms: " + server.Url("/held-image")))
        << Log();
}

// disable=javascript runs none of the page's scripts, on both engines.
TEST_F(ChromiumWorker, JavaScriptOffRunsNoneOfThePagesScripts) {
    OrvoTest::TemporaryDirectory webkitDirectory;
    Client webkit(OrvoTest::StartLoggingWorker(webkitDirectory, {}, {}));
    for (Client* engine : {&webkit, client.get()}) {
        for (const bool off : {false, true}) {
            Request::Options options{{"snapshot", false}, {"keep", 300}};
            if (off) {
                options.emplace("disable", std::string("javascript"));
            }
            const Result result = engine->Render(server.Url("/scripted"), options, 60000);
            ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
            EXPECT_NE(std::string::npos, result.body.find("<p>static</p>")) << result.body;
            EXPECT_EQ(!off, result.body.find("<p>scripted</p>") != std::string::npos) << result.body;
        }
    }
    EXPECT_EQ(0, webkit.GetWorker().WaitForExit(30000));
}

// A worker waits for its first request longer than a request's default
// keep: a client may start it well before it has work for it.
TEST_F(ChromiumWorker, AFirstRequestSentLateIsServed) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Orvo::Browser::Option::Keep::Default() + 500));
    ASSERT_EQ(Outcome::Rendered, Render("/dated", {{"snapshot", false}}).outcome);
}

// SIGTERM ends a worker that would otherwise wait out a long keep, and its
// browser ends with it.
TEST_F(ChromiumWorker, ASignalEndsItAndItsBrowser) {
    ASSERT_EQ(Outcome::Rendered, Render("/dated", {{"snapshot", false}, {"keep", 600000}}).outcome);
    const long pid = client->GetWorker().Pid();
    const std::vector<long> browsers = ChildrenOf(pid);
    ASSERT_FALSE(browsers.empty()) << "the worker's browser";
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    EXPECT_EQ(0, client->GetWorker().WaitForExit(20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (const long browser : browsers) {
        EXPECT_NE(0, ::kill(static_cast<pid_t>(browser), 0)) << "the browser " << browser << " still runs";
    }
}

// A worker whose starter is killed outright ends, and its browser with it,
// saying why: nobody would collect what it renders.
TEST_F(ChromiumWorker, AWorkerEndsWhenTheProcessThatStartedItIsKilled) {
    OrvoTest::TemporaryDirectory own;
    OrvoTest::ChildProcess starter([&own] {
        Orvo::Browser::Client::Worker::StartOptions options;
        options.program = ORVO_BROWSER_BINARY;
        options.arguments = {"--engine", "chromium"};
        options.logFile = own.path + "/worker.out";
        const std::unique_ptr<Orvo::Browser::Client::Worker> started = Orvo::Browser::Client::Worker::Start(options);
        own.Write("worker.pid.new", std::to_string(started->Pid()));
        std::rename((own.path + "/worker.pid.new").c_str(), (own.path + "/worker.pid").c_str());
        for (;;) {
            ::pause();
        }
        return 0;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (own.Read("worker.pid").empty() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(own.Read("worker.pid").empty()) << own.Read("worker.out");
    const pid_t worker = static_cast<pid_t>(std::stol(own.Read("worker.pid")));
    std::vector<long> browsers;
    while (browsers.empty() && std::chrono::steady_clock::now() < end) {
        browsers = ChildrenOf(worker);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(starter.Pid(), SIGKILL);
    EXPECT_EQ(-SIGKILL, starter.Wait(10000));
    const auto gone = [](long pid) {
        for (int k = 0; k < 1000 && ::kill(static_cast<pid_t>(pid), 0) == 0; ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return ::kill(static_cast<pid_t>(pid), 0) != 0;
    };
    EXPECT_TRUE(gone(worker)) << own.Read("worker.out");
    for (const long browser : browsers) {
        EXPECT_TRUE(gone(browser)) << "the browser " << browser;
    }
    EXPECT_NE(std::string::npos,
              own.Read("worker.out").find("ChromiumWorker::Run => the process that started this worker ended"))
        << own.Read("worker.out");
    EndUnusedWorker();
}

// A worker past its page limit retires: it answers what it was sent, ends
// with its own status and leaves its browser behind neither.
TEST_F(ChromiumWorker, AWorkerPastItsPageLimitRetires) {
    OrvoTest::TemporaryDirectory own;
    Client limited(OrvoTest::StartLoggingWorker(own, {}, {"--engine", "chromium", "--recycle-pages", "2"}));
    for (const std::string target : {"/dated", "/cookie"}) {
        EXPECT_EQ(Outcome::Rendered,
                  limited.Render(server.Url(target), {{"snapshot", false}, {"keep", 600000}}, 60000).outcome);
    }
    const std::vector<long> browsers = ChildrenOf(limited.GetWorker().Pid());
    EXPECT_EQ(5, limited.GetWorker().WaitForExit(20000)) << "ExitStatus::Recycled";
    const std::string log = own.Read("worker.log");
    EXPECT_NE(std::string::npos, log.find("ChromiumWorker::Retire => took 2 requests (limit 2)")) << log;
    EXPECT_NE(std::string::npos, log.find("ChromiumWorker::Retire => every request answered after 2")) << log;
    for (const long browser : browsers) {
        EXPECT_NE(0, ::kill(static_cast<pid_t>(browser), 0)) << "the browser " << browser << " still runs";
    }
    EndUnusedWorker();
}

// A browser that dies leaves no worker that answers every page failed:
// the page in hand fails, and the worker ends with its own status, so
// that its clients start a fresh one.
TEST_F(ChromiumWorker, AWorkerWhoseBrowserDiedEnds) {
    ASSERT_EQ(Outcome::Rendered, Render("/dated", {{"snapshot", false}, {"keep", 600000}}).outcome);
    for (const long browser : ChildrenOf(client->GetWorker().Pid())) {
        ::kill(static_cast<pid_t>(browser), SIGKILL);
    }
    const Result lost = Render("/dated", {{"snapshot", false}});
    EXPECT_NE(Outcome::Rendered, lost.outcome);
    exitStatus = 6;
    EXPECT_EQ(6, client->GetWorker().WaitForExit(20000)) << "ExitStatus::BrowserLost";
    EXPECT_NE(std::string::npos, Log().find("ChromiumWorker::Run => the browser ended")) << Log();
}

// The renderers among pid's descendants.
std::vector<long> RenderersUnder(long pid) {
    std::vector<long> renderers;
    for (const long child : ChildrenOf(pid)) {
        std::ifstream file("/proc/" + std::to_string(child) + "/cmdline");
        const std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (line.find("--type=renderer") != std::string::npos) {
            renderers.push_back(child);
        }
        const std::vector<long> below = RenderersUnder(child);
        renderers.insert(renderers.end(), below.begin(), below.end());
    }
    return renderers;
}

// A renderer that crashes while its page loads: the page is answered dead
// at once (its client sends it again, as for a dead worker) and the worker
// goes on with the same browser.
TEST_F(ChromiumWorker, APageWhoseRendererCrashedIsAnsweredDeadAndTheWorkerGoesOn) {
    std::thread killer([this] {
        for (int k = 0; k < 200 && !server.Got("/hold"); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (const long renderer : RenderersUnder(client->GetWorker().Pid())) {
            ::kill(static_cast<pid_t>(renderer), SIGKILL);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    const Result crashed = Render("/held-image", {{"snapshot", false}, {"timeout", 40000}});
    killer.join();
    EXPECT_EQ(Outcome::Dead, crashed.outcome) << crashed.error << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "not at the page's timeout";
    EXPECT_NE(std::string::npos, Log().find("ChromiumWorker::Serve => the page's renderer crashed: "
                                            + server.Url("/held-image")))
        << Log();
    const Result next = Render("/dated", {{"snapshot", false}});
    EXPECT_EQ(Outcome::Rendered, next.outcome) << next.error << Log();
}

// A renderer that crashes while a script waits: the script's request is
// answered dead at once, as a page's, and the worker goes on.
TEST_F(ChromiumWorker, AScriptWhosePageCrashedIsAnsweredDead) {
    std::thread killer([this] {
        for (int k = 0; k < 200 && !server.Got("/dated"); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (const long renderer : RenderersUnder(client->GetWorker().Pid())) {
            ::kill(static_cast<pid_t>(renderer), SIGKILL);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    const std::string script = "function main(splash, args)\n"
                               "  assert(splash:go(args.url))\n"
                               "  splash:wait(30)\n"
                               "  return 'never'\n"
                               "end";
    const Result crashed = Render("/dated", {{"snapshot", false},
                                             {"timeout", 40000},
                                             {"luaSource", script},
                                             {"luaArguments", "{\"url\": \"" + server.Url("/dated") + "\"}"}});
    killer.join();
    EXPECT_EQ(Outcome::Dead, crashed.outcome) << crashed.error << Log();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "not at the script's timeout";
    EXPECT_NE(std::string::npos, Log().find("ChromiumWorker::ServeScript => the page was lost")) << Log();
    const Result next = Render("/dated", {{"snapshot", false}});
    EXPECT_EQ(Outcome::Rendered, next.outcome) << next.error << Log();
}

} // namespace
