// One page of the Chromium engine against a test HTTP server on
// 127.0.0.1: what a render reads of each kind of page.

#include <string>

#include <gtest/gtest.h>

#include "Chromium/ChromiumPage.h"
#include "ChromiumSite.h"
#include "Common/FreePort.h"
#include "Common/TestHttpServer.h"

namespace {

using ChromiumSite::Html;
using OrvoTest::TestHttpServer;

TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    if (request.target == "/moved") {
        TestHttpServer::Response response;
        response.status = 302;
        response.headers.push_back({"Location", "/dated"});
        return response;
    }
    if (request.target == "/late") {
        return Html("<p id=\"late\">soon</p><script>setTimeout(function () {"
                    "document.getElementById('late').textContent = 'now'; }, 1000);</script>");
    }
    if (request.target == "/sized") {
        return Html("<script>document.body.setAttribute('data-size', innerWidth + 'x' + innerHeight);</script>");
    }
    if (request.target == "/headers") {
        const auto found = request.headers.find("x-orvo");
        return Html("<p>" + (found == request.headers.end() ? std::string("none") : found->second) + "</p>");
    }
    return ChromiumSite::Shared(request);
}

TEST(ChromiumPage, EachKindOfPageIsReadAsAWorkerAnswersIt) {
    TestHttpServer server(&Site);
    DevToolsPipe browser({});
    const std::string refused = "http://127.0.0.1:" + std::to_string(OrvoTest::FreePort()) + "/";
    const struct {
        std::string target;
        ChromiumPage::Load load;
        bool ok;
        int status;
        std::string url;
        std::string lastModified;
        std::string inHtml;
    } cases[] = {
        {"/dated", {}, true, 200, "/dated", "Tue, 15 Nov 1994 12:45:26 GMT", "<p>dated</p>"},
        {"/missing", {}, true, 404, "/missing", "", "<p>missing</p>"},
        {"/moved", {}, true, 200, "/dated", "Tue, 15 Nov 1994 12:45:26 GMT", "<p>dated</p>"},
        {"/late", {}, true, 200, "/late", "", ">soon</p>"},
        {"/late", {{}, {}, 0, 0, 1500}, true, 200, "/late", "", ">now</p>"},
        {"/sized", {{}, {}, 640, 360}, true, 200, "/sized", "", "data-size=\"640x360\""},
        {"/headers", {{}, {{"X-Orvo", "asked"}}}, true, 200, "/headers", "", "<p>asked</p>"},
    };
    for (const auto& c : cases) {
        ChromiumPage page(browser);
        ChromiumPage::Load load = c.load;
        load.url = server.Url(c.target);
        const ChromiumPage::Rendered rendered = page.Render(load);
        EXPECT_EQ(c.ok, rendered.ok) << c.target << ": " << rendered.error;
        EXPECT_TRUE(rendered.loaded) << c.target;
        EXPECT_EQ(c.status, rendered.status) << c.target;
        EXPECT_EQ(server.Url(c.url), rendered.url) << c.target;
        EXPECT_EQ(c.lastModified, rendered.lastModified) << c.target;
        EXPECT_NE(std::string::npos, rendered.html.find(c.inHtml)) << c.target << ": " << rendered.html;
    }
    ChromiumPage page(browser);
    ChromiumPage::Load nowhere;
    nowhere.url = refused;
    const ChromiumPage::Rendered unreachable = page.Render(nowhere);
    EXPECT_FALSE(unreachable.ok);
    EXPECT_EQ("net::ERR_CONNECTION_REFUSED", unreachable.error);
    EXPECT_EQ(0, unreachable.status);
}

} // namespace
