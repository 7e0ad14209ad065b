// What the worker may read: http and https pages only, unless started with
// --allow-file-urls; and even then no page reads local files or remote URLs
// by script, the request's own script included.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Client/Client.h"
#include "Common/LoggingWorker.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"

namespace {

using namespace Orvo::Browser::Client;
using Orvo::Browser::Request;
using OrvoTest::TestHttpServer;

const char* const Secret = "TOPSECRET-4711";

TestHttpServer::Response Site(const TestHttpServer::Request&) {
    TestHttpServer::Response response;
    response.headers = {{"Content-Type", "text/html"}};
    response.body = "<html><body><p>remote words</p></body></html>";
    return response;
}

// A script that tries to read url and leaves what happened in the body.
std::string Reader(const std::string& url) {
    return "var out = 'unread';"
           "try { var x = new XMLHttpRequest(); x.open('GET', '" + url + "', false); x.send();"
           "  out = 'read:' + x.responseText; } catch (e) { out = 'blocked'; }"
           "document.body.setAttribute('data-out', out);";
}

class LocalFiles : public ::testing::Test {
protected:
    LocalFiles() : server(&Site) {
        files.Write("secret.txt", Secret);
        files.Write("local.html", "<html><body><p>local page</p></body></html>");
    }

    void Start(const std::vector<std::string>& arguments) {
        client.reset(new Client(OrvoTest::StartLoggingWorker(directory, {}, arguments)));
    }

    void TearDown() override { EXPECT_EQ(0, client->GetWorker().WaitForExit(30000)); }

    Result Render(const std::string& url, const std::string& script) {
        Request::Options options{{"keep", 100}, {"snapshot", false}};
        if (!script.empty()) {
            options["script"] = script;
        }
        return client->Render(url, options, 60000);
    }

    // Renders url with a script reading target; the result must be a page
    // that did not get target's text.
    void ExpectUnread(const std::string& url, const std::string& target, const std::string& text) {
        const Result result = Render(url, Reader(target));
        ASSERT_EQ(Outcome::Rendered, result.outcome) << url << ": " << result.error;
        EXPECT_NE(std::string::npos, result.body.find("data-out=")) << "the script ran: " << result.body;
        EXPECT_EQ(std::string::npos, result.body.find(text)) << url << " read " << target << ": " << result.body;
    }

    std::string LocalUrl(const std::string& name) const { return "file://" + files.path + "/" + name; }

    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
    OrvoTest::TemporaryDirectory files;
    std::unique_ptr<Client> client;
};

TEST_F(LocalFiles, WithoutTheFlagFileUrlsAreNeitherLoadedNorRead) {
    Start({});
    const Result local = Render(LocalUrl("local.html"), "");
    EXPECT_EQ(Outcome::NavigationError, local.outcome) << local.error;
    EXPECT_EQ("", local.body);
    ExpectUnread(server.Url("/page"), LocalUrl("secret.txt"), Secret);
}

TEST_F(LocalFiles, WithTheFlagLocalPagesLoadButReadNothingElse) {
    Start({"--allow-file-urls"});
    const Result local = Render(LocalUrl("local.html"), "");
    ASSERT_EQ(Outcome::Rendered, local.outcome) << local.error;
    EXPECT_NE(std::string::npos, local.body.find("local page"));
    ExpectUnread(LocalUrl("local.html"), "secret.txt", Secret);
    ExpectUnread(LocalUrl("local.html"), LocalUrl("secret.txt"), Secret);
    ExpectUnread(LocalUrl("local.html"), server.Url("/remote"), "remote words");
    ExpectUnread(server.Url("/page"), LocalUrl("secret.txt"), Secret);
}

} // namespace
