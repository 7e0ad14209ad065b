// orvo-serve end to end: the service runs as its own process with real
// workers, pages come from a test HTTP server on 127.0.0.1, and the tests
// talk HTTP to the service.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QByteArray>
#include <QImage>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/FreePort.h"
#include "Common/HttpClient.h"
#include "Common/Occurrences.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "OrvoServeFixture.h"
#include "serve/SavedArguments.h"

namespace {

using namespace OrvoServeTest;

TEST_F(OrvoServe, CommandLineMistakesAreUsageErrors) {
    std::string output;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--workers", "0"}, {"--listen", "8050"}, {"--listen", "localhost:x"},
          {"--max-timeout", "0"}, {"--no-such-flag"}, {"--listen", "none"}, {"--queue", "http://127.0.0.1:6379"},
          {"--queue", "redis://127.0.0.1:0"}, {"--queue", "redis://:6379"}, {"--queue", "redis://h:6379/x"},
          {"--queue", "redis://h", "--max-deliveries", "0"}, {"--queue", "redis://h", "--max-results", "0"},
          {"--max-connections", "0"}, {"--max-viewport-area", "0"}, {"--max-snapshot-pixels", "0"},
          {"--open-health"}, {"--auth-file", "/nonexistent/users"}, {"--denied-networks", "10.0.0.0"},
          {"--denied-networks", "10.0.0.0/33"}, {"--denied-networks", "metadata/32"}, {"--chromium-workers", "-1"}}) {
        std::vector<std::string> argv{ORVO_SERVE_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(2, OrvoTest::RunProgram(argv, directory.path, output)) << arguments[0];
        EXPECT_NE(std::string::npos, output.find("Try 'orvo-serve --help'.")) << output;
    }
    EXPECT_EQ(0, OrvoTest::RunProgram({ORVO_SERVE_BINARY, "--help"}, directory.path, output));
    EXPECT_NE(std::string::npos, output.find("--max-queue")) << output;
}

TEST_F(OrvoServe, APortInUseEndsTheServiceWithAReason) {
    Start({"--workers", "1"});
    std::string output;
    const std::string taken = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(1,
              OrvoTest::RunProgram({ORVO_SERVE_BINARY, "--listen", taken, "--workers", "1"}, directory.path, output));
    EXPECT_NE(std::string::npos, output.find("orvo-serve: ")) << output;
    EXPECT_EQ(200, client->Get("/_ping").status) << "the first service serves on";
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, RenderHtmlAnswersGetAndJsonPostAlike) {
    Start({"--workers", "1"});
    const HttpClient::Response got = client->Get(Target("render.html", "/page1"));
    ASSERT_EQ(200, got.status) << got.body;
    EXPECT_EQ("text/html; charset=utf-8", got.headers.at("content-type"));
    EXPECT_NE(std::string::npos, got.body.find("<p id=\"p\">text of /page1</p>")) << got.body;
    const json arguments = {{"url", server.Url("/page2")}};
    const HttpClient::Response posted = client->Post("/render.html", arguments.dump(), "application/json");
    ASSERT_EQ(200, posted.status) << posted.body;
    EXPECT_NE(std::string::npos, posted.body.find("<p id=\"p\">text of /page2</p>")) << posted.body;
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, RenderPngShowsTheViewportOrTheWholePageScaledToWidth) {
    Start({"--workers", "1"});
    const HttpClient::Response viewport = client->Get(Target("render.png", "/tall"));
    ASSERT_EQ(200, viewport.status) << viewport.body;
    EXPECT_EQ("image/png", viewport.headers.at("content-type"));
    const QImage shown = Picture(viewport.body);
    EXPECT_EQ(1024, shown.width());
    EXPECT_EQ(768, shown.height());
    EXPECT_EQ(qRgb(255, 0, 0), shown.pixel(500, 700));

    const json arguments = {{"url", server.Url("/tall")}, {"render_all", 1}, {"width", 256}, {"viewport", "512x300"}};
    const HttpClient::Response whole = client->Post("/render.png", arguments.dump(), "application/json");
    ASSERT_EQ(200, whole.status) << whole.body;
    const QImage page = Picture(whole.body);
    EXPECT_EQ(256, page.width()) << "scaled from 512";
    EXPECT_EQ(1500, page.height()) << "3000 px of page, halved";
    EXPECT_EQ(qRgb(255, 0, 0), page.pixel(128, 900));
    EXPECT_EQ(qRgb(0, 0, 255), page.pixel(128, 1300));
    EXPECT_EQ(0, Stop());
}

// One table, both engines: each answers the render endpoints alike and
// says that it rendered the page (X-Orvo-Engine, render.json's engine);
// a script on auto is refused, by argument.
TEST_F(OrvoServe, EachEngineAnswersTheRenderEndpoints) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    for (const std::string engine : {"webkit", "chromium"}) {
        const std::string choice = "&engine=" + engine;
        const HttpClient::Response html = client->Get(Target("render.html", "/page-a", choice));
        EXPECT_EQ(200, html.status) << engine << ": " << html.body;
        EXPECT_EQ(engine, html.headers.count("x-orvo-engine") != 0 ? html.headers.at("x-orvo-engine") : "");
        EXPECT_NE(std::string::npos, html.body.find("text of /page-a")) << engine << ": " << html.body;

        const HttpClient::Response png = client->Get(Target("render.png", "/tall", choice + "&viewport=400x300"
                                                                                       "&render_all=1"));
        ASSERT_EQ(200, png.status) << engine << ": " << png.body;
        const QImage picture = Picture(png.body);
        EXPECT_EQ(QSize(400, 3000), picture.size()) << engine;
        EXPECT_EQ(qRgb(255, 0, 0), picture.pixel(200, 1000)) << engine;
        EXPECT_EQ(qRgb(0, 0, 255), picture.pixel(200, 2500)) << engine;

        const HttpClient::Response described = client->Get(Target("render.json", "/moved", choice + "&history=1"));
        ASSERT_EQ(200, described.status) << engine << ": " << described.body;
        const json page = json::parse(described.body);
        EXPECT_EQ(engine, page.at("engine"));
        EXPECT_EQ(server.Url("/other/landing"), page.at("url"));
        ASSERT_EQ(2u, page.at("history").size()) << page;
        EXPECT_EQ(302, page["history"][0]["response"]["status"]);
        EXPECT_EQ(200, page["history"][1]["response"]["status"]);
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"/execute?lua_source=x", "a script runs on webkit or chromium: engine=auto is for the render endpoints"},
    };
    for (const auto& request : refused) {
        const HttpClient::Response response = client->Get(request.first + "&engine=auto");
        ExpectError(response, 400, "BadOption");
        EXPECT_EQ(request.second, json::parse(response.body).at("info").at("description")) << request.first;
    }
    EXPECT_EQ(0, Stop());
}

// engine=auto renders on WebKit and again on Chromium a page that needed
// what WebKit lacks, saying why; a page that needed nothing more (its own
// script errors are its own, and a page whose scripts are broken text
// fails to parse anywhere), or that failed to load, is WebKit's answer.
TEST_F(OrvoServe, AutoSendsToChromiumThePagesWebKitLacksWhatTheyNeed) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    const std::vector<std::pair<std::string, std::string>> table = {
        {"/lacks/syntax", "script error: SyntaxError"},
        {"/lacks/throws", "script error: ReferenceError"},
        {"/lacks/module", "module script"},
        {"/lacks/grid", "CSS grid"},
        {"/lacks/gap", "CSS gap"},
        {"/lacks/linked", "CSS grid"},
        {"/lacks/broken", ""},
        {"/lacks/nothing", ""},
    };
    for (const auto& row : table) {
        const HttpClient::Response response = client->Get(Target("render.json", row.first, "&engine=auto&html=1"));
        ASSERT_EQ(200, response.status) << row.first << ": " << response.body;
        const std::string engine = row.second.empty() ? "webkit" : "chromium";
        EXPECT_EQ(engine, response.headers.at("x-orvo-engine")) << row.first;
        EXPECT_EQ(engine, json::parse(response.body).at("engine")) << row.first;
        const auto reason = response.headers.find("x-orvo-engine-reason");
        EXPECT_EQ(row.second, reason == response.headers.end() ? "" : reason->second.substr(0, row.second.size()))
            << row.first;
        const std::string html = json::parse(response.body).at("html");
        EXPECT_NE(std::string::npos, html.find("<p id=\"p\">" + row.first + "</p>")) << html;
    }
    const HttpClient::Response missing = client->Get(Target("render.html", "/missing", "&engine=auto"));
    ExpectError(missing, 502, "RenderError");
    EXPECT_EQ(0u, missing.headers.count("x-orvo-engine-reason"));
    EXPECT_EQ(0, Stop());
}

// render.json's script=1 gives js_source's value and console=1 what the
// page's JavaScript logged, js_source's too, on both engines.
TEST_F(OrvoServe, TheScriptsValueAndTheConsoleAreShownOnEachEngine) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    const std::string script = "console.log('from js_source'); ({answer: 42, list: [1, 'two'], none: null})";
    for (const std::string engine : {"webkit", "chromium"}) {
        const HttpClient::Response response =
            client->Get(Target("render.json", "/logs", "&engine=" + engine + "&script=1&console=1&js_source="
                                                           + HttpClient::Encode(script)));
        ASSERT_EQ(200, response.status) << engine << ": " << response.body;
        const json page = json::parse(response.body);
        EXPECT_EQ(json::parse(R"({"answer": 42, "list": [1, "two"], "none": null})"), page.at("script")) << engine;
        EXPECT_EQ(json::parse(R"(["from the page", "an error", "from js_source"])"), page.at("console")) << engine;
        const json plain = json::parse(client->Get(Target("render.json", "/logs", "&engine=" + engine)).body);
        EXPECT_FALSE(plain.contains("script") || plain.contains("console")) << engine << ": not asked for";
        const json thrown = json::parse(
            client->Get(Target("render.json", "/logs", "&engine=" + engine + "&script=1&js_source=" +
                                                           HttpClient::Encode("throw new Error('no')")))
                .body);
        EXPECT_TRUE(thrown.at("script").is_null()) << engine << ": " << thrown;
        // 6,000 two-byte characters are cut at 10,000 bytes, between two.
        const json tall = json::parse(
            client->Get(Target("render.json", "/logs", "&engine=" + engine + "&console=1&js_source=" +
                                                           HttpClient::Encode("console.log('\u00e9'.repeat(6000))")))
                .body);
        std::string cut;
        for (int k = 0; k < 5000; ++k) {
            cut += "\xc3\xa9";
        }
        EXPECT_EQ(cut, tall.at("console").back()) << engine;
    }
    EXPECT_EQ(0, Stop());
}

// render.json's iframes=1 describes the page's child frames, with their
// html when html=1, on both engines.
TEST_F(OrvoServe, ChildFramesAreDescribedOnEachEngine) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    json awayGeometry;
    for (const std::string engine : {"webkit", "chromium"}) {
        for (const bool html : {false, true}) {
            const HttpClient::Response response = client->Get(Target(
                "render.json", "/framed", "&engine=" + engine + "&iframes=1&wait=0.2" + (html ? "&html=1" : "")));
            ASSERT_EQ(200, response.status) << engine << ": " << response.body;
            const json page = json::parse(response.body);
            EXPECT_EQ("", page.at("frameName")) << engine;
            // Chromium runs the frame of another site in a process of its
            // own, read through a session of its own.
            ASSERT_EQ(2u, page.at("childFrames").size()) << engine << ": " << page;
            const json& child = page.at("childFrames")[0];
            EXPECT_EQ(server.Url("/page-inner"), child.at("url")) << engine;
            EXPECT_EQ(server.Url("/page-inner"), child.at("requestedUrl")) << engine;
            EXPECT_EQ("Page & </page-inner>", child.at("title")) << engine;
            EXPECT_EQ("inner", child.at("frameName")) << engine;
            EXPECT_EQ("[10,20,300,150]", child.at("geometry").dump()) << engine;
            EXPECT_EQ(json::array(), child.at("childFrames")) << engine;
            EXPECT_EQ(html, child.contains("html")) << engine;
            if (html) {
                EXPECT_NE(std::string::npos, child.at("html").get<std::string>().find("text of /page-inner"))
                    << engine;
            }
            const json& away = page.at("childFrames")[1];
            std::string awayUrl = server.Url("/page-away");
            awayUrl.replace(awayUrl.find("127.0.0.1"), 9, "localhost");
            EXPECT_EQ(awayUrl, away.at("url")) << engine;
            EXPECT_EQ("away", away.at("frameName")) << engine;
            EXPECT_EQ("Page & </page-away>", away.at("title")) << engine;
            EXPECT_EQ(html, away.contains("html")) << engine;
            if (engine == "webkit") {
                awayGeometry = away.at("geometry");
            }
            EXPECT_EQ(awayGeometry.dump(), away.at("geometry").dump()) << engine;
        }
    }
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, RenderJpegTakesItsQuality) {
    Start({"--workers", "1"});
    const HttpClient::Response fine = client->Get(Target("render.jpeg", "/page", "&quality=95"));
    const json arguments = {{"url", server.Url("/page")}, {"quality", 5}};
    const HttpClient::Response coarse = client->Post("/render.jpeg", arguments.dump(), "application/json");
    ASSERT_EQ(200, fine.status) << fine.body;
    ASSERT_EQ(200, coarse.status) << coarse.body;
    EXPECT_EQ("image/jpeg", fine.headers.at("content-type"));
    EXPECT_EQ(QSize(1024, 768), Picture(fine.body).size());
    EXPECT_EQ(QSize(1024, 768), Picture(coarse.body).size());
    EXPECT_LT(coarse.body.size(), fine.body.size());
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, RenderJsonDescribesThePageAndCarriesWhatIsAskedFor) {
    Start({"--workers", "1"});
    const HttpClient::Response plain = client->Get(Target("render.json", "/page3", "&viewport=800x600"));
    ASSERT_EQ(200, plain.status) << plain.body;
    EXPECT_EQ("application/json", plain.headers.at("content-type"));
    const json page = json::parse(plain.body);
    EXPECT_EQ(server.Url("/page3"), page.at("url"));
    EXPECT_EQ(server.Url("/page3"), page.at("requestedUrl"));
    EXPECT_EQ("Page & </page3>", page.at("title"));
    EXPECT_EQ(json::array({0, 0, 800, 600}), page.at("geometry"));
    EXPECT_FALSE(page.contains("html") || page.contains("png") || page.contains("jpeg")) << plain.body;

    const json arguments = {{"url", server.Url("/page4")}, {"html", 1}, {"png", true}, {"jpeg", 1}};
    const HttpClient::Response full = client->Post("/render.json", arguments.dump(), "application/json");
    ASSERT_EQ(200, full.status) << full.body;
    const json all = json::parse(full.body);
    EXPECT_NE(std::string::npos, all.at("html").get<std::string>().find("text of /page4"));
    const auto image = [&all](const char* key) {
        return Picture(QByteArray::fromBase64(QByteArray::fromStdString(all.at(key).get<std::string>())).toStdString());
    };
    EXPECT_EQ(QSize(1024, 768), image("png").size());
    EXPECT_EQ(QSize(1024, 768), image("jpeg").size());
    EXPECT_EQ(0, Stop());
}

// Both engines.
TEST_F(OrvoServe, ArgumentsReachThePage) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    for (const std::string engine : {"webkit", "chromium"}) {
        const json posted = {{"url", server.Url("/echo")},
                             {"engine", engine},
                             {"http_method", "POST"},
                             {"body", "a=1&b=two"},
                             {"cookies", "x=1; y=2"},
                             {"js_source", "document.body.setAttribute('data-size', innerWidth + 'x' + innerHeight)"},
                             {"viewport", "640x480"},
                             {"wait", 0.1}};
        const HttpClient::Response echo = client->Post("/render.html", posted.dump(), "application/json");
        ASSERT_EQ(200, echo.status) << engine << ": " << echo.body;
        EXPECT_NE(std::string::npos, echo.body.find("<p id=\"method\">POST</p><p id=\"body\">a=1&amp;b=two</p>"))
            << engine << ": " << echo.body;
        EXPECT_NE(std::string::npos, echo.body.find("<p id=\"cookie\">x=1; y=2</p>")) << engine << ": " << echo.body;
        EXPECT_NE(std::string::npos, echo.body.find("data-size=\"640x480\"")) << engine << ": " << echo.body;
        EXPECT_NE(std::string::npos, echo.body.find("<p id=\"type\">application/x-www-form-urlencoded</p>"))
            << engine << ": " << echo.body;

        for (const bool images : {false, true}) {
            const std::string page = "/pictured?" + engine + (images ? "-images" : "-none");
            const std::string more = "&engine=" + engine + (images ? "" : "&images=0");
            ASSERT_EQ(200, client->Get(Target("render.html", page, more)).status) << page;
            EXPECT_EQ(images, server.Got("/picture.png" + page.substr(page.find('?')))) << page;
        }
    }
    EXPECT_EQ(0, Stop());
}

// What ACrawlersHeadersAndCookiesReachThePage checks, on one engine.
void ExpectHeadersAndCookies(HttpClient& client, const TestHttpServer& server, const std::string& engine) {
    const auto post = [&client, &engine](const std::string& endpoint, json arguments) {
        arguments["engine"] = engine;
        return client.Post(endpoint, arguments.dump(), "application/json");
    };
    const auto target = [&server, &engine](const std::string& endpoint, const std::string& page,
                                           const std::string& more) {
        return "/" + endpoint + "?url=" + HttpClient::Encode(server.Url(page)) + more + "&engine=" + engine;
    };
    const json withHeaders = {{"url", server.Url("/headers")},
                              {"headers", {{"User-Agent", "OrvoCrawler/1.0"}, {"X-Custom", "first"}}}};
    const std::size_t before = server.Received().size();
    const HttpClient::Response page = post("/render.html", withHeaders);
    ASSERT_EQ(200, page.status) << page.body;
    EXPECT_NE(std::string::npos, page.body.find("<p id=\"agent\">OrvoCrawler/1.0</p>")) << page.body;
    EXPECT_NE(std::string::npos, page.body.find("<p id=\"custom\">first</p>")) << page.body;
    bool imageSeen = false;
    const std::vector<TestHttpServer::Request> received = server.Received();
    for (const TestHttpServer::Request& request :
         std::vector<TestHttpServer::Request>(received.begin() + static_cast<std::ptrdiff_t>(before), received.end())) {
        if (request.target == "/agent.png") {
            imageSeen = true;
            EXPECT_EQ("OrvoCrawler/1.0", request.headers.at("user-agent")) << "the agent goes with every request";
            EXPECT_EQ(0u, request.headers.count("x-custom")) << "other headers go with the first request only";
        }
    }
    EXPECT_TRUE(imageSeen);
    const json pairs = {{"url", server.Url("/headers")}, {"headers", {{"X-Custom", "paired"}}}};
    const HttpClient::Response paired = post("/render.html", pairs);
    EXPECT_NE(std::string::npos, paired.body.find("<p id=\"custom\">paired</p>")) << paired.body;

    const json cookies = {{"url", server.Url("/moved")},
                          {"cookies",
                           {{{"name", "site"}, {"value", "1"}, {"domain", "127.0.0.1"}, {"path", "/"}},
                            {{"name", "deep"}, {"value", "2"}, {"path", "/other"}, {"httpOnly", true}}}}};
    const HttpClient::Response landing = post("/render.html", cookies);
    ASSERT_EQ(200, landing.status) << landing.body;
    EXPECT_NE(std::string::npos, landing.body.find("site=1")) << landing.body;
    EXPECT_NE(std::string::npos, landing.body.find("deep=2")) << "a cookie of the redirect's path";
    for (const TestHttpServer::Request& request : server.Received()) {
        if (request.target == "/moved") {
            EXPECT_EQ("site=1", request.headers.at("cookie"));
        }
    }

    // render.json gives the jar back after rendering, in the same shape,
    // when cookies came as a list or cookies=1: what was sent, what the
    // server set and what the page's script set.
    const auto jarOf = [](const HttpClient::Response& response) {
        std::map<std::string, json> byName;
        for (const json& cookie : json::parse(response.body).value("cookies", json::array())) {
            byName[cookie.at("name")] = cookie;
        }
        return byName;
    };
    const json sending = {{"url", server.Url("/sets-cookie")},
                          {"cookies", {{{"name", "sent"}, {"value", "1"}, {"domain", "127.0.0.1"}, {"path", "/"}}}}};
    const HttpClient::Response sent = post("/render.json", sending);
    ASSERT_EQ(200, sent.status) << sent.body;
    auto jar = jarOf(sent);
    EXPECT_EQ("oat", jar["flavour"].value("value", ""));
    EXPECT_TRUE(jar["flavour"].value("httpOnly", false));
    EXPECT_EQ("yes", jar["scripted"].value("value", ""));
    EXPECT_EQ("1", jar["sent"].value("value", ""));
    EXPECT_EQ("/", jar["sent"].value("path", ""));
    jar = jarOf(client.Get(target("render.json", "/sets-cookie", "&cookies=1")));
    EXPECT_EQ("oat", jar["flavour"].value("value", ""));
    EXPECT_EQ(0u, jar.count("sent"));
    EXPECT_EQ(0u, json::parse(client.Get(target("render.json", "/sets-cookie", "")).body).count("cookies"));

    const json bare = {{"url", server.Url("/echo")}, {"http_method", "POST"}};
    const HttpClient::Response posted = post("/render.html", bare);
    ASSERT_EQ(200, posted.status) << posted.body;
    EXPECT_NE(std::string::npos, posted.body.find("<p id=\"method\">POST</p><p id=\"body\"></p>")) << posted.body;
    EXPECT_NE(std::string::npos, posted.body.find("<p id=\"type\">application/x-www-form-urlencoded</p>"))
        << posted.body;
    const json typed = {{"url", server.Url("/echo")},
                        {"http_method", "POST"},
                        {"body", "{}"},
                        {"headers", {{"Content-Type", "application/json"}}}};
    const HttpClient::Response json = post("/render.html", typed);
    EXPECT_NE(std::string::npos, json.body.find("<p id=\"type\">application/json</p>")) << json.body;
}

// What a crawler's rendering plugin sends in a JSON POST: its request's
// headers (an object, or a list of pairs), its cookies as a list of cookie
// objects, a POST without a body.
TEST_F(OrvoServe, ACrawlersHeadersAndCookiesReachThePage) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    for (const std::string engine : {"webkit", "chromium"}) {
        SCOPED_TRACE(engine);
        ExpectHeadersAndCookies(*client, server, engine);
    }
    EXPECT_EQ(0, Stop());
}

// render.json tells where the page ended and, with history=1, the main
// document's responses; a page answered with any status from 400 up is a
// render error.
TEST_F(OrvoServe, ThePagesOwnResponsesDecideAndAreShown) {
    Start({"--workers", "1"});
    const HttpClient::Response moved = client->Get(Target("render.json", "/moved", "&history=1"));
    ASSERT_EQ(200, moved.status) << moved.body;
    const json page = json::parse(moved.body);
    EXPECT_EQ(server.Url("/other/landing"), page.at("url"));
    EXPECT_EQ(server.Url("/moved"), page.at("requestedUrl"));
    ASSERT_EQ(2u, page.at("history").size()) << moved.body;
    EXPECT_EQ(302, page.at("history")[0].at("response").at("status"));
    EXPECT_EQ(server.Url("/moved"), page.at("history")[0].at("request").at("url"));
    EXPECT_EQ("GET", page.at("history")[0].at("request").at("method"));
    EXPECT_EQ(200, page.at("history")[1].at("response").at("status"));
    const json headers = page.at("history")[1].at("response").at("headers");
    EXPECT_NE(headers.end(), std::find(headers.begin(), headers.end(),
                                       json{{"name", "Content-Type"}, {"value", "text/html; charset=utf-8"}}))
        << headers;

    // A 204 has no document to wait for; it used to wait for the deadline.
    const HttpClient::Response nothing = client->Get(Target("render.html", "/nocontent", "&timeout=20"));
    EXPECT_EQ(200, nothing.status) << nothing.body;
    EXPECT_NE(std::string::npos, nothing.body.find("<body></body>")) << nothing.body;

    // about:blank is an empty page that a script may fill.
    const json blank = {{"url", "about:blank"}, {"js_source", "document.body.innerHTML = '<p>written</p>'"}};
    const HttpClient::Response written = client->Post("/render.html", blank.dump(), "application/json");
    ASSERT_EQ(200, written.status) << written.body;
    EXPECT_NE(std::string::npos, written.body.find("<p>written</p>")) << written.body;

    // A resource the page asks for once its document is in never stands
    // for the document, whatever it is answered.
    const HttpClient::Response late = client->Get(Target("render.json", "/late-image", "&wait=0.5&history=1"));
    ASSERT_EQ(200, late.status) << late.body;
    EXPECT_EQ(1u, json::parse(late.body).at("history").size()) << late.body;
    EXPECT_TRUE(server.Got("/missing.png"));

    const HttpClient::Response teapot = client->Get(Target("render.html", "/teapot"));
    ExpectError(teapot, 502, "RenderError");
    EXPECT_EQ(418, json::parse(teapot.body).at("info").at("code"));
    EXPECT_EQ(0, Stop());
}

// render.har gives every request of the page as HAR 1.2 in the order they
// were made, a refused one with its reason; response_body=1 adds each body
// as it came, without changing what the page makes of it.
TEST_F(OrvoServe, ThePagesNetworkActivityIsAnArchive) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    for (const std::string engine : {"webkit", "chromium"}) {
        SCOPED_TRACE(engine);
        const std::string choice = "&engine=" + engine;
        const HttpClient::Response archive =
            client->Get(Target("render.har", "/styled", "&allowed_domains=127.0.0.1" + choice));
        ASSERT_EQ(200, archive.status) << archive.body;
        EXPECT_EQ("application/json", archive.headers.at("content-type"));
        const json log = json::parse(archive.body).at("log");
        EXPECT_EQ("1.2", log.at("version"));
        EXPECT_EQ("orvo-browser", log.at("creator").at("name"));
        ASSERT_EQ(1u, log.at("pages").size());
        const json& page = log.at("pages")[0];
        EXPECT_LE(0, page.at("pageTimings").at("onLoad").get<int>()) << page;
        const json& entries = log.at("entries");
        ASSERT_EQ(3u, entries.size()) << entries;
        std::string elsewhere = server.Url("/elsewhere.png");
        elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
        const std::vector<std::string> urls{server.Url("/styled"), server.Url("/style.css"), elsewhere};
        for (std::size_t k = 0; k < entries.size(); ++k) {
            const json& entry = entries[k];
            EXPECT_EQ(page.at("id"), entry.at("pageref"));
            EXPECT_EQ(urls[k], entry.at("request").at("url"));
            EXPECT_EQ("GET", entry.at("request").at("method"));
            const json& timings = entry.at("timings");
            EXPECT_EQ(entry.at("time"), timings.at("send").get<int>() + timings.at("wait").get<int>()
                                            + timings.at("receive").get<int>())
                << entry;
            EXPECT_FALSE(entry.at("response").at("content").contains("text")) << "no bodies unless asked";
        }
        EXPECT_EQ(200, entries[0].at("response").at("status"));
        EXPECT_EQ("text/html; charset=utf-8", entries[0].at("response").at("content").at("mimeType"));
        EXPECT_EQ(200, entries[1].at("response").at("status"));
        EXPECT_EQ(std::string("body { background-color: rgb(255, 0, 0) }").size(),
                  entries[1].at("response").at("content").at("size"));
        const json& sent = entries[1].at("request").at("headers");
        const json referer = {{"name", "Referer"}, {"value", server.Url("/styled")}};
        EXPECT_NE(sent.end(), std::find(sent.begin(), sent.end(), referer)) << sent;
        EXPECT_EQ(0, entries[2].at("response").at("status"));
        EXPECT_TRUE(entries[2].at("_error").is_string()) << entries[2];

        const std::string background =
            "&js_source="
            + HttpClient::Encode("document.body.setAttribute('data-bg', getComputedStyle(document.body).backgroundColor)");
        const HttpClient::Response bodies =
            client->Get(Target("render.json", "/styled", background + "&html=1&har=1&response_body=1" + choice));
        ASSERT_EQ(200, bodies.status) << bodies.body;
        const json rendered = json::parse(bodies.body);
        EXPECT_NE(std::string::npos, rendered.at("html").get<std::string>().find("data-bg=\"rgb(255, 0, 0)\""))
            << "the stylesheet still reaches the page";
        const json& content = rendered.at("har").at("log").at("entries").at(1).at("response").at("content");
        EXPECT_EQ("base64", content.at("encoding"));
        EXPECT_EQ("body { background-color: rgb(255, 0, 0) }",
                  QByteArray::fromBase64(QByteArray::fromStdString(content.at("text").get<std::string>())).toStdString());

        const HttpClient::Response moved = client->Get(Target("render.json", "/moved", "&history=1&response_body=1" + choice));
        ASSERT_EQ(200, moved.status) << moved.body;
        const json history = json::parse(moved.body).at("history");
        ASSERT_EQ(2u, history.size()) << history;
        const std::string landing =
            QByteArray::fromBase64(QByteArray::fromStdString(history[1].at("response").at("content").at("text")))
                .toStdString();
        EXPECT_EQ(Site({"GET", "/other/landing", {}, ""}).body, landing);
        EXPECT_FALSE(json::parse(moved.body).contains("har")) << "har was not asked for";

        const json posting = {{"url", server.Url("/echo")}, {"http_method", "POST"}, {"body", "a=1"},
                              {"html", 1}, {"har", 1}, {"response_body", 1}, {"engine", engine}};
        const HttpClient::Response posted = client->Post("/render.json", posting.dump(), "application/json");
        ASSERT_EQ(200, posted.status) << posted.body;
        const json echo = json::parse(posted.body);
        EXPECT_NE(std::string::npos, echo.at("html").get<std::string>().find("<p id=\"body\">a=1</p>")) << posted.body;
        const json& request = echo.at("har").at("log").at("entries").at(0).at("request");
        EXPECT_EQ("POST", request.at("method"));
        EXPECT_EQ(3, request.at("bodySize"));

        const HttpClient::Response query = client->Get(Target("render.har", "/page?x=1&y=a%20b", choice));
        ASSERT_EQ(200, query.status) << query.body;
        const json pairs = json::parse(query.body).at("log").at("entries")[0].at("request").at("queryString");
        EXPECT_EQ("Page & </page?x=1&y=a%20b>", json::parse(query.body).at("log").at("pages")[0].at("title"));
        EXPECT_EQ(json::parse(R"([{"name": "x", "value": "1"}, {"name": "y", "value": "a b"}])"), pairs);

        const HttpClient::Response hops = client->Get(Target("render.har", "/moved", choice + "&cookies="
                                                                 + HttpClient::Encode("k=v")));
        ASSERT_EQ(200, hops.status) << hops.body;
        const json redirected = json::parse(hops.body).at("log").at("entries");
        ASSERT_LE(2u, redirected.size()) << redirected;
        EXPECT_EQ(302, redirected[0].at("response").at("status"));
        EXPECT_EQ(server.Url("/other/landing"), redirected[0].at("response").at("redirectURL"));
        EXPECT_EQ(server.Url("/other/landing"), redirected[1].at("request").at("url"));
        EXPECT_EQ(200, redirected[1].at("response").at("status"));
        const json& cookies = redirected[1].at("request").at("cookies");
        ASSERT_EQ(1u, cookies.size()) << redirected[1];
        EXPECT_EQ("k", cookies[0].at("name"));
        EXPECT_EQ("v", cookies[0].at("value"));

        const HttpClient::Response set = client->Get(Target("render.har", "/sets-cookie", choice));
        const json setCookies = json::parse(set.body).at("log").at("entries").at(0).at("response").at("cookies");
        ASSERT_EQ(1u, setCookies.size()) << set.body;
        EXPECT_EQ("flavour", setCookies[0].at("name"));
        EXPECT_EQ("oat", setCookies[0].at("value"));
        EXPECT_EQ(true, setCookies[0].at("httpOnly"));
        EXPECT_FALSE(setCookies[0].contains("expires")) << "a session cookie";
    }
    EXPECT_EQ(0, Stop());
}

// save_args keeps a value and names it by its hash; load_args brings it
// back, and a hash the service does not keep is a 498 naming the argument.
TEST_F(OrvoServe, SavedArgumentsAreLoadedByTheirHash) {
    Start({"--workers", "1"});
    const json saving = {{"url", server.Url("/page-saved")},
                         {"js_source", "document.body.setAttribute('data-saved', 'yes')"},
                         {"save_args", {"js_source"}}};
    const HttpClient::Response first = client->Post("/render.html", saving.dump(), "application/json");
    ASSERT_EQ(200, first.status) << first.body;
    const std::string header = first.headers.at("x-splash-saved-arguments");
    EXPECT_EQ("js_source=" + Orvo::Serve::SavedArguments::Hash(saving.at("js_source")), header);
    const json loading = {{"url", server.Url("/page-loaded")}, {"load_args", header}};
    const HttpClient::Response second = client->Post("/render.html", loading.dump(), "application/json");
    ASSERT_EQ(200, second.status) << second.body;
    EXPECT_NE(std::string::npos, second.body.find("data-saved=\"yes\"")) << second.body;

    const json unknown = {{"url", server.Url("/page-missed")},
                          {"load_args", {{"js_source", std::string(40, '0')}}}};
    const HttpClient::Response missed = client->Post("/render.html", unknown.dump(), "application/json");
    ExpectError(missed, 498, "ExpiredArguments");
    EXPECT_EQ(json::array({"js_source"}), json::parse(missed.body).at("info").at("expired"));
    EXPECT_FALSE(server.Got("/page-missed"));
    EXPECT_EQ(0, Stop());
}

// A Scrapy spider (Debian's python3-scrapy) renders through the service as
// crawlers' rendering plugins do, with JSON bodies of plain requests.
TEST_F(OrvoServe, AScrapySpiderGetsWhatItAsksFor) {
    Start({"--workers", "1"});
    std::string output;
    const int status =
        OrvoTest::RunProgram({"/usr/bin/python3", ORVO_SCRAPY_SPIDER, "http://127.0.0.1:" + std::to_string(port),
                              server.Url("")},
                             directory.path, output);
    ASSERT_EQ(0, status) << output;
    const json seen = json::parse(output.substr(output.rfind("\n{") + 1));
    EXPECT_EQ((json{{"status", 200}, {"agent", "OrvoScrapy/1.0"}, {"custom", "from-scrapy"}}), seen.at("headers"));
    EXPECT_EQ((json{{"status", 200}, {"cookie", "site=1"}}), seen.at("cookies"));
    EXPECT_EQ((json{{"status", 200}, {"url", server.Url("/other/landing")}, {"statuses", {302, 200}}}),
              seen.at("redirect"));
    EXPECT_EQ((json{{"status", 200},
                    {"url", server.Url("/other/landing")},
                    {"http_status", 200},
                    {"type", {"text/html; charset=utf-8"}},
                    {"cookie", "site=2"},
                    {"cookies", {"site"}}}),
              seen.at("scripted"));
    EXPECT_EQ(502, seen.at("missing").at("status"));
    EXPECT_EQ(404, seen.at("missing").at("info").at("code"));
    EXPECT_EQ("js_source=" + Orvo::Serve::SavedArguments::Hash("document.title = 'from a saved script'"),
              seen.at("saved").at("header"));
    EXPECT_EQ((json{{"status", 200}, {"title", "from a saved script"}}), seen.at("loaded"));
    EXPECT_EQ(498, seen.at("expired").at("status"));
    EXPECT_EQ(json::array({"js_source"}), seen.at("expired").at("info").at("expired"));
    EXPECT_EQ(0, Stop());
}

// Every request of a page goes through its proxy (here a server of the
// test's that answers whatever it is asked as a proxy would); a proxy that
// refuses is a network error, never a direct fetch.
TEST_F(OrvoServe, APagesRequestsGoThroughItsProxy) {
    TestHttpServer proxy([](const TestHttpServer::Request& request) {
        if (boost::ends_with(request.target, ".png")) {
            return Html("", 404);
        }
        return Html("<html><body><p id=\"via\">proxied " + request.target + "</p><img src=\"/through.png\"></body>"
                    "</html>");
    });
    // A proxy that wants "user" and "secret" (base64 "dXNlcjpzZWNyZXQ=").
    TestHttpServer guarded([](const TestHttpServer::Request& request) {
        const auto given = request.headers.find("proxy-authorization");
        if (given == request.headers.end() || given->second != "Basic dXNlcjpzZWNyZXQ=") {
            TestHttpServer::Response challenge = Html("", 407);
            challenge.headers.emplace_back("Proxy-Authenticate", "Basic realm=\"test\"");
            return challenge;
        }
        return Html("<html><body><p>let in " + request.target + "</p></body></html>");
    });
    Start({"--workers", "1", "--chromium-workers", "1"});
    const std::string port = proxy.Url("").substr(proxy.Url("").rfind(':') + 1);
    const std::string guardedPort = guarded.Url("").substr(guarded.Url("").rfind(':') + 1);
    for (const std::string engine : {"webkit", "chromium"}) {
        const std::string choice = "&engine=" + engine;
        const std::string credentials = "&proxy=user%3Asecret%40127.0.0.1%3A" + guardedPort;
        const HttpClient::Response letIn = client->Get(Target("render.html", "/page-guarded", credentials + choice));
        ASSERT_EQ(200, letIn.status) << engine << ": " << letIn.body;
        EXPECT_NE(std::string::npos, letIn.body.find("let in " + server.Url("/page-guarded"))) << engine << ": "
                                                                                                << letIn.body;
        const std::string proxied = "/page-proxied-" + engine;
        const HttpClient::Response page =
            client->Get(Target("render.html", proxied, "&proxy=127.0.0.1%3A" + port + choice));
        ASSERT_EQ(200, page.status) << engine << ": " << page.body;
        EXPECT_NE(std::string::npos, page.body.find("proxied " + server.Url(proxied))) << engine << ": " << page.body;
        EXPECT_FALSE(server.Got(proxied)) << engine << ": no direct fetch";
        EXPECT_TRUE(proxy.Got(server.Url("/through.png"))) << engine << ": sub-resources go through the proxy too";

        const std::string unproxied = "/page-unproxied-" + engine;
        const HttpClient::Response refused =
            client->Get(Target("render.html", unproxied, "&proxy=127.0.0.1%3A9" + choice));
        ExpectError(refused, 502, "RenderError");
        const json info = json::parse(refused.body).at("info");
        EXPECT_EQ("Network", info.at("type")) << engine;
        EXPECT_NE(std::string::npos, boost::algorithm::to_lower_copy(info.at("text").get<std::string>()).find("proxy"))
            << engine << ": " << info;
        EXPECT_FALSE(server.Got(unproxied)) << engine << ": no direct fetch";
    }
    EXPECT_EQ(0, Stop());
}

// baseurl: the document comes from url, its relative references resolve
// against baseurl.
TEST_F(OrvoServe, ADocumentIsLaidOutWithItsBaseUrl) {
    TestHttpServer assets([](const TestHttpServer::Request&) { return Html("", 404); });
    Start({"--workers", "1", "--chromium-workers", "1"});
    for (const std::string engine : {"webkit", "chromium"}) {
        const std::string base =
            "&baseurl=" + HttpClient::Encode(assets.Url("/" + engine + "/")) + "&engine=" + engine;
        const HttpClient::Response based = client->Get(Target("render.html", "/relative", base));
        ASSERT_EQ(200, based.status) << engine << ": " << based.body;
        EXPECT_NE(std::string::npos, based.body.find("<p id=\"p\">based</p>")) << engine << ": " << based.body;
        EXPECT_TRUE(assets.Got("/" + engine + "/relative.css")) << engine;
        EXPECT_FALSE(server.Got("/relative.css")) << engine;
        EXPECT_FALSE(assets.Got("/" + engine + "/")) << engine << ": the document comes from url";
        const HttpClient::Response missing = client->Get(Target("render.html", "/missing", base));
        ExpectError(missing, 502, "RenderError");
        EXPECT_EQ(404, json::parse(missing.body).at("info").at("code"))
            << engine << ": the document's own status counts";
    }
    EXPECT_EQ(0, Stop());
}

// allowed_domains keeps a page to its hosts; allowed_content_types and
// forbidden_content_types abort the responses they rule out, the page's
// own included. Both engines.
TEST_F(OrvoServe, WhatAPageMayLoadIsFiltered) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    const std::string background =
        "&js_source="
        + HttpClient::Encode("document.body.setAttribute('data-bg', getComputedStyle(document.body).backgroundColor)");
    // How often the page's picture from localhost was fetched since first.
    const auto elsewhere = [this](std::size_t first) {
        const std::vector<TestHttpServer::Request> received = server.Received();
        return std::count_if(received.begin() + static_cast<std::ptrdiff_t>(first), received.end(),
                             [](const TestHttpServer::Request& request) { return request.target == "/elsewhere.png"; });
    };
    for (const std::string engine : {"webkit", "chromium"}) {
        const std::string choice = "&engine=" + engine;
        std::size_t before = server.Received().size();
        const HttpClient::Response styled = client->Get(Target("render.html", "/styled", background + choice));
        ASSERT_EQ(200, styled.status) << engine << ": " << styled.body;
        EXPECT_NE(std::string::npos, styled.body.find("data-bg=\"rgb(255, 0, 0)\"")) << engine << ": " << styled.body;
        EXPECT_EQ(1, elsewhere(before)) << engine << ": localhost is this server too";

        before = server.Received().size();
        const HttpClient::Response kept =
            client->Get(Target("render.html", "/styled", background + "&allowed_domains=127.0.0.1" + choice));
        ASSERT_EQ(200, kept.status) << engine << ": " << kept.body;
        EXPECT_EQ(0, elsewhere(before)) << engine << ": localhost is not among the allowed domains";

        for (const std::string& filter :
             {std::string("&forbidden_content_types=text%2Fcss"), std::string("&allowed_content_types=text%2Fhtml")}) {
            const HttpClient::Response unstyled =
                client->Get(Target("render.html", "/styled", background + filter + choice));
            ASSERT_EQ(200, unstyled.status) << engine << ": " << unstyled.body;
            EXPECT_EQ(std::string::npos, unstyled.body.find("data-bg=\"rgb(255, 0, 0)\""))
                << engine << filter << unstyled.body;
        }
        const HttpClient::Response refused =
            client->Get(Target("render.html", "/styled", "&forbidden_content_types=text%2F*" + choice));
        ExpectError(refused, 502, "RenderError");
        EXPECT_EQ("the content type text/html is not allowed", json::parse(refused.body).at("info").at("text"))
            << engine;
        const HttpClient::Response away =
            client->Get(Target("render.html", "/styled", "&allowed_domains=example.org" + choice));
        ExpectError(away, 502, "RenderError");
        EXPECT_EQ("the host 127.0.0.1 is not among the allowed domains",
                  json::parse(away.body).at("info").at("text"))
            << engine;
    }
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, BadArgumentsAreNamed) {
    Start({"--workers", "1", "--max-timeout", "20"});
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/render.html", "url"},
        {"/render.html?url=ftp%3A%2F%2F127.0.0.1%2F", "url"},
        {"/render.html?url=file%3A%2F%2F%2Fetc%2Fpasswd", "url"},
        {Target("render.html", "/page", "&timeout=21"), "timeout"},
        {Target("render.html", "/page", "&timeout=0"), "timeout"},
        {Target("render.html", "/page", "&wait=11"), "wait"},
        {Target("render.png", "/page", "&viewport=10x"), "viewport"},
        {Target("render.jpeg", "/page", "&quality=101"), "quality"},
        {Target("render.json", "/page", "&html=yes"), "html"},
        {Target("render.html", "/page", "&http_method=PUT"), "http_method"},
        {Target("render.html", "/page", "&body=x"), "body"},
        {Target("render.html", "/page", "&headers=%7B%7D"), "headers"},
        {Target("render.html", "/page", "&proxy=ftp%3A%2F%2F127.0.0.1%3A21"), "proxy"},
        {Target("render.html", "/page", "&filters=easylist"), "filters"},
        {Target("render.html", "/page", "&engine=gecko"), "engine"},
        {Target("render.html", "/page", "&engine=chromium"), "engine"},
        {Target("render.html", "/page", "&engine=auto"), "engine"},
    };
    for (const auto& bad : cases) {
        const HttpClient::Response response = client->Get(bad.first);
        ExpectError(response, 400, "BadOption");
        EXPECT_EQ(bad.second, json::parse(response.body).at("info").at("argument")) << bad.first;
    }
    ExpectError(client->Post("/render.html", "[1]", "application/json"), 400, "BadOption");
    ExpectError(client->Post("/render.html", "{\"url\": null}", "application/json"), 400, "BadOption");
    ExpectError(client->Post("/render.html", "url=x", "text/plain"), 400, "BadOption");
    EXPECT_TRUE(server.Received().empty()) << "no bad request reaches a page";
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, NavigationErrorsAre502WithTheirCause) {
    Start({"--workers", "1"});
    const HttpClient::Response missing = client->Get(Target("render.html", "/missing"));
    ExpectError(missing, 502, "RenderError");
    const json info = json::parse(missing.body).at("info");
    EXPECT_EQ("HTTP", info.at("type"));
    EXPECT_EQ(404, info.at("code"));
    EXPECT_EQ("Not Found", info.at("text"));
    EXPECT_EQ(server.Url("/missing"), info.at("url"));
    const HttpClient::Response refused =
        client->Get("/render.png?url=" + HttpClient::Encode("http://127.0.0.1:9/"));
    ExpectError(refused, 502, "RenderError");
    EXPECT_EQ("Network", json::parse(refused.body).at("info").at("type"));
    const std::string nobody = "http://127.0.0.1:" + std::to_string(OrvoTest::FreePort()) + "/";
    const HttpClient::Response closed = client->Get("/render.html?url=" + HttpClient::Encode(nobody));
    ExpectError(closed, 502, "RenderError");
    EXPECT_EQ("Connection refused", json::parse(closed.body).at("info").at("text")) << "no proxy is blamed";
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, OtherRequestsGetTheirHttpErrors) {
    Start({"--workers", "1"});
    ExpectError(client->Get("/render.gif?url=x"), 404, "NotFound");
    ExpectError(client->Send("DELETE", "/render.html", "", ""), 405, "MethodNotAllowed");
    ExpectError(client->Post("/_ping", "{}", "application/json"), 405, "MethodNotAllowed");
    const std::string big = json{{"url", server.Url("/page")}, {"js_source", std::string(1024 * 1024, ' ')}}.dump();
    ExpectError(client->Post("/render.html", big, "application/json"), 413, "RequestTooLarge");
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, PingAndMetricsDescribeTheService) {
    Start({"--workers", "2"});
    ASSERT_TRUE(WaitFor([&] { return MetricsShow("orvo_serve_workers_ready 2\n"); }));
    ASSERT_EQ(200, client->Get(Target("render.html", "/page")).status);
    ASSERT_EQ(400, client->Get("/render.html").status);
    const json ping = json::parse(client->Get("/_ping").body);
    EXPECT_EQ("ok", ping.at("status"));
    EXPECT_GT(ping.at("rss").get<long>(), 1000000);
    EXPECT_GT(ping.at("maxrss").get<long>(), 1000);
    const json debug = json::parse(client->Get("/_debug").body);
    EXPECT_EQ(2, debug.at("workers"));
    EXPECT_EQ(0, debug.at("qsize"));
    EXPECT_GE(debug.at("active").get<long>(), 1) << "the debug request itself";
    EXPECT_GT(debug.at("fds").get<long>(), 3);
    const HttpClient::Response gc = client->Post("/_gc", "", "text/plain");
    ASSERT_EQ(200, gc.status) << gc.body;
    EXPECT_EQ("ok", json::parse(gc.body).at("status"));
    EXPECT_GT(json::parse(gc.body).at("rss").get<long>(), 1000000);
    EXPECT_EQ(json::parse(gc.body).at("rssBefore").get<long>() - json::parse(gc.body).at("rss").get<long>(),
              json::parse(gc.body).at("freed").get<long>());
    EXPECT_EQ(405, client->Get("/_gc").status) << "it changes the service: it is posted";
    const HttpClient::Response metrics = client->Get("/metrics");
    ASSERT_EQ(200, metrics.status);
    EXPECT_TRUE(boost::starts_with(metrics.headers.at("content-type"), "text/plain"));
    for (const char* line : {"orvo_serve_requests_total{endpoint=\"render.html\",outcome=\"ok\"} 1\n",
                             "orvo_serve_requests_total{endpoint=\"render.html\",outcome=\"bad_option\"} 1\n",
                             "orvo_serve_requests_total{endpoint=\"_ping\",outcome=\"ok\"} 1\n",
                             "orvo_serve_render_seconds_count 1\n", "orvo_serve_render_seconds_bucket{le=\"+Inf\"} 1\n",
                             "orvo_serve_queue_length 0\n", "orvo_serve_workers_busy 0\n",
                             "orvo_serve_workers_ready 2\n", "orvo_serve_workers_restarted_total 0\n"}) {
        EXPECT_NE(std::string::npos, metrics.body.find(line)) << line << metrics.body;
    }
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, EveryRequestIsLoggedOnOneLine) {
    Start({"--workers", "1"});
    ASSERT_EQ(200, client->Get(Target("render.html", "/page?a=1")).status);
    ASSERT_EQ(400, client->Get("/render.png?url=%22%0Aforged").status);
    EXPECT_EQ(0, Stop());
    std::vector<std::string> lines;
    std::istringstream log(Log());
    for (std::string line; std::getline(log, line);) {
        if (line.find(" render.") != std::string::npos) {
            lines.push_back(line);
        }
    }
    ASSERT_EQ(2u, lines.size()) << Log();
    const std::string rendered = " 127.0.0.1 render.html \"" + server.Url("/page?a=1") + "\" 200 ";
    EXPECT_NE(std::string::npos, lines[0].find(rendered)) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find(" 127.0.0.1 render.png \"\\\"\\nforged\" 400 ")) << lines[1];
    EXPECT_EQ('Z', lines[0][23]) << "UTC time to the millisecond first: " << lines[0];
}

TEST_F(OrvoServe, AFullQueueIsAnswered503AtOnce) {
    Start({"--workers", "1", "--in-flight", "1", "--max-queue", "1"});
    HttpClient first(port);
    HttpClient second(port);
    std::thread inFlight([&] { EXPECT_EQ(504, first.Get(Target("render.html", "/held1", "&timeout=6")).status); });
    ASSERT_TRUE(WaitFor([&] { return server.Got("/held1"); }));
    std::thread queued([&] { EXPECT_EQ(504, second.Get(Target("render.html", "/held2", "&timeout=3")).status); });
    ASSERT_TRUE(WaitFor([&] { return MetricsShow("orvo_serve_queue_length 1\n"); }));
    const HttpClient::Response refused = client->Get(Target("render.html", "/page"));
    ExpectError(refused, 503, "QueueFull");
    EXPECT_EQ("1", refused.headers.at("retry-after"));
    EXPECT_EQ(0, OrvoTest::Occurrences(Log(), " 504 ")) << "refused while both others still wait";
    inFlight.join();
    queued.join();
    EXPECT_FALSE(server.Got("/held2")) << "its deadline passed while it waited";
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, APagePastItsDeadlineIs504WhileOthersAreServed) {
    Start({"--workers", "1", "--in-flight", "4"});
    HttpClient other(port);
    std::thread late([&] {
        const HttpClient::Response response = other.Get(Target("render.html", "/held", "&timeout=2"));
        ExpectError(response, 504, "GlobalTimeoutError");
    });
    ASSERT_TRUE(WaitFor([&] { return server.Got("/held"); }));
    EXPECT_EQ(200, client->Get(Target("render.html", "/page5")).status);
    late.join();
    EXPECT_EQ(200, client->Get(Target("render.html", "/page6")).status) << "still serving after the 504";
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, FortyConcurrentRequestsAreAllAnswered) {
    Start({"--workers", "2"});
    std::vector<std::thread> clients;
    std::vector<int> statuses(40);
    std::vector<std::string> bodies(40);
    for (int k = 0; k < 40; ++k) {
        clients.emplace_back([&, k] {
            HttpClient own(port);
            const HttpClient::Response response = own.Get(Target("render.html", "/page" + std::to_string(k)));
            statuses[static_cast<std::size_t>(k)] = response.status;
            bodies[static_cast<std::size_t>(k)] = response.body;
        });
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    for (int k = 0; k < 40; ++k) {
        EXPECT_EQ(200, statuses[static_cast<std::size_t>(k)]) << bodies[static_cast<std::size_t>(k)];
        EXPECT_NE(std::string::npos, bodies[static_cast<std::size_t>(k)].find("text of /page" + std::to_string(k) + "<"));
    }
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, ARequestLostWithItsWorkerIsSentToAFreshOne) {
    Start({"--workers", "1"});
    ASSERT_TRUE(WaitFor([&] { return Workers().size() == 1; }));
    const pid_t doomed = Workers().front();
    HttpClient other(port);
    std::thread slow([&] {
        const HttpClient::Response response = other.Get(Target("render.html", "/slow"));
        EXPECT_EQ(200, response.status) << response.body;
        EXPECT_NE(std::string::npos, response.body.find("slow /slow"));
    });
    ASSERT_TRUE(WaitFor([&] { return server.Got("/slow"); }));
    ::kill(doomed, SIGKILL);
    slow.join();
    int sent = 0;
    for (const auto& request : server.Received()) {
        sent += request.target == "/slow" ? 1 : 0;
    }
    EXPECT_EQ(2, sent) << "sent again to the fresh worker";
    EXPECT_TRUE(MetricsShow("orvo_serve_workers_restarted_total 1\n"));
    EXPECT_EQ(0, Stop());
}

// Workers that retire after 5 requests under a steady stream: each is
// replaced as it retires and answers what it holds (with 3 in flight, at
// most 7 requests), so every request is answered once, none refused, dead
// or sent twice (the site sees each page once).
TEST_F(OrvoServe, WorkersPastTheirPageLimitAreReplacedWithoutLosingARequest) {
    Start({"--workers", "2", "--in-flight", "3", "--max-pages", "5"});
    const int count = 60;
    std::vector<int> statuses(count);
    std::vector<std::string> bodies(count);
    std::atomic<int> next(0);
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c) {
        clients.emplace_back([&] {
            HttpClient own(port);
            for (int k = next++; k < count; k = next++) {
                const HttpClient::Response response =
                    own.Get(Target("render.html", "/paced?recycle-" + std::to_string(k)));
                statuses[static_cast<std::size_t>(k)] = response.status;
                bodies[static_cast<std::size_t>(k)] = response.body;
            }
        });
    }
    for (std::thread& thread : clients) {
        thread.join();
    }
    std::map<std::string, int> sent;
    for (const auto& request : server.Received()) {
        ++sent[request.target];
    }
    for (int k = 0; k < count; ++k) {
        const std::string page = "/paced?recycle-" + std::to_string(k);
        EXPECT_EQ(200, statuses[static_cast<std::size_t>(k)]) << bodies[static_cast<std::size_t>(k)];
        EXPECT_NE(std::string::npos, bodies[static_cast<std::size_t>(k)].find("paced " + page + "<")) << page;
        EXPECT_EQ(1, sent[page]) << page;
    }
    const std::string metrics = client->Get("/metrics").body;
    const std::string counter = "\norvo_serve_workers_recycled_total ";
    ASSERT_NE(std::string::npos, metrics.find(counter)) << metrics;
    EXPECT_GE(std::stoi(metrics.substr(metrics.find(counter) + counter.size())), count / 7 - 2) << metrics;
    EXPECT_EQ(0, Stop());
}

TEST_F(OrvoServe, SigtermFinishesWhatIsInFlightAndLeavesNothing) {
    Start({"--workers", "2"});
    ASSERT_TRUE(WaitFor([&] { return Workers().size() == 2; }));
    const std::vector<pid_t> workers = Workers();
    HttpClient other(port);
    std::thread slow([&] {
        const HttpClient::Response response = other.Get(Target("render.html", "/slow-at-stop"));
        EXPECT_EQ(200, response.status) << response.body;
    });
    ASSERT_TRUE(WaitFor([&] { return server.Got("/slow-at-stop"); }));
    const pid_t service = process->Pid();
    EXPECT_EQ(0, Stop());
    slow.join();
    for (const pid_t worker : workers) {
        EXPECT_FALSE(Alive(worker));
    }
    std::vector<pid_t> pids = workers;
    pids.push_back(service);
    EXPECT_EQ(std::vector<std::string>(), SharedObjectsOf(pids));
    EXPECT_THROW(HttpClient(port).Get("/_ping"), boost::system::system_error);
}

TEST_F(OrvoServe, ASilentClientIsDisconnected) {
    Start({"--workers", "1"}, {"ORVO_TEST_TIME_DIVISOR=30"});
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket(context);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
    boost::asio::write(socket, boost::asio::buffer(std::string("GET /_ping HTTP/1.1\r\nHost: x\r\n")));
    char byte = 0;
    boost::system::error_code error;
    boost::asio::read(socket, boost::asio::buffer(&byte, 1), error);
    EXPECT_EQ(boost::asio::error::eof, error) << "the service closed the connection";
    EXPECT_EQ(200, client->Get("/_ping").status);
    EXPECT_EQ(0, Stop());
}

} // namespace
