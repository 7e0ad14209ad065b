// The worker end to end: orvo-browser renders pages that a test HTTP server
// on 127.0.0.1 serves, and the client library collects the results.

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <gtest/gtest.h>

#include "Client/Client.h"
#include "Common/LoggingWorker.h"
#include "Common/Occurrences.h"
#include "Common/ProtocolClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"

namespace {

using namespace Orvo::Browser::Client;
using Orvo::Browser::Request;
using OrvoTest::TestHttpServer;

const char* const Page = "text/html; charset=utf-8";

TestHttpServer::Response Html(const std::string& body, int status = 200) {
    TestHttpServer::Response response;
    response.status = status;
    response.headers = {{"Content-Type", Page}};
    response.body = body;
    return response;
}

TestHttpServer::Response Redirect(int status, const std::string& location) {
    TestHttpServer::Response response = Html("moved", status);
    response.headers.push_back({"Location", location});
    return response;
}

// Pages that each exercise one behaviour; see the tests for what they show.
TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    const std::string& target = request.target;
    if (target == "/dated") {
        TestHttpServer::Response response = Html("<html><body><p>dated</p></body></html>");
        response.headers.push_back({"Last-Modified", "Tue, 15 Nov 1994 12:45:26 GMT"});
        return response;
    }
    if (target == "/undated") {
        return Html("<html><body><p>undated</p></body></html>");
    }
    if (boost::starts_with(target, "/status/")) {
        return Html("<html><body>error page</body></html>", std::stoi(target.substr(8)));
    }
    if (target == "/first") {
        return Redirect(301, "/second");
    }
    if (target == "/second" || target == "/once") {
        return Redirect(302, "/dated");
    }
    if (target == "/xml" || target == "/xhtml") {
        TestHttpServer::Response response;
        response.headers = {{"Content-Type", target == "/xml" ? "text/xml" : "application/xhtml+xml"}};
        response.body = target == "/xml" ? "<?xml version=\"1.0\"?><root><item n=\"1\">one</item></root>"
                                         : "<html xmlns=\"http://www.w3.org/1999/xhtml\"><body><p>x</p></body></html>";
        return response;
    }
    if (target == "/form") {
        return Html("<html><body><p>" + std::to_string(request.body.size()) + " bytes</p></body></html>");
    }
    if (target == "/cookies") {
        const auto cookie = request.headers.find("cookie");
        return Html("<html><body><p id=\"c\">" + (cookie == request.headers.end() ? std::string() : cookie->second)
                    + "</p></body></html>");
    }
    if (boost::starts_with(target, "/features?")) {
        const std::string page = target.substr(10);
        return Html("<html><body><img src=\"/image?" + page + "\" width=\"10\" height=\"10\">"
                    "<script>document.write('<p id=\"js\">scripts ran</p>');</script></body></html>");
    }
    if (target == "/long") {
        return Html("<html><body style=\"margin:0\"><div style=\"background:#ff0000;width:200px;height:100px\">"
                    "</div><div style=\"height:3000px\">tall</div></body></html>");
    }
    if (target == "/dialogs") {
        return Html("<html><body><script>alert('hi'); var name = prompt('name?', 'x');"
                    "document.write('<p id=\"answer\">' + confirm('ok?') + '</p>');</script></body></html>");
    }
    return Html("<html><body>not found</body></html>", 404);
}

class Rendering : public ::testing::Test {
protected:
    Rendering() : server(&Site) {}

    void SetUp() override {
        client.reset(new Client(OrvoTest::StartLoggingWorker(directory)));
    }

    // Every worker must end by itself once idle, with status 0.
    void TearDown() override {
        EXPECT_EQ(0, client->GetWorker().WaitForExit(30000));
    }

    // Options for a page that should end its worker soon after.
    static Request::Options Quick(Request::Options options = {}) {
        options.emplace("keep", 100);
        options.emplace("snapshot", false);
        return options;
    }

    Result Render(const std::string& target, const Request::Options& options = Quick()) {
        return client->Render(server.Url(target), options, 60000);
    }

    std::string Log() const { return directory.Read("worker.log"); }


    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<Client> client;
};

TEST_F(Rendering, APageWithLastModifiedIsRenderedWithItsDate) {
    const Result result = Render("/dated");
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(server.Url("/dated"), result.pageUrl);
    EXPECT_EQ("11/15/1994 12:45:26", result.detail);
    EXPECT_NE(std::string::npos, result.body.find("<p>dated</p>")) << result.body;
    EXPECT_TRUE(result.snapshot.Empty());
}

TEST_F(Rendering, WithoutLastModifiedTheDocumentsOwnDateIsUsed) {
    const Result result = Render("/undated");
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    // document.lastModified: the time of the load, as MM/dd/yyyy hh:mm:ss.
    EXPECT_EQ(19u, result.detail.size()) << result.detail;
    EXPECT_EQ('/', result.detail[2]) << result.detail;
    EXPECT_EQ(':', result.detail[13]) << result.detail;
}

TEST_F(Rendering, ErrorStatusesAreNavigationErrorsWithAnEmptyBody) {
    for (const int status : {404, 500, 449}) {
        const Result result = Render("/status/" + std::to_string(status));
        EXPECT_EQ(Outcome::NavigationError, result.outcome) << status;
        EXPECT_EQ(std::to_string(status), result.detail);
        EXPECT_EQ(status, result.status);
        EXPECT_EQ("", result.body);
        EXPECT_TRUE(result.snapshot.Empty());
    }
}

// The page URL stays the one requested; the headers are the last reply's.
TEST_F(Rendering, ARedirectChainEndsWithTheLastReply) {
    const Result result = Render("/first");
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(server.Url("/first"), result.pageUrl);
    EXPECT_EQ("11/15/1994 12:45:26", result.detail);
    const std::string log = Log();
    EXPECT_EQ(2u, OrvoTest::Occurrences(log, "REDIRECT TO => ")) << log;
}

TEST_F(Rendering, ASingleRedirectTakesTheTargetsHeaders) {
    const Result result = Render("/once");
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ("11/15/1994 12:45:26", result.detail);
    EXPECT_NE(std::string::npos, result.body.find("<p>dated</p>")) << result.body;
}

TEST_F(Rendering, AnUnreachablePortIsANavigationErrorWithoutStatus) {
    const Result result = client->Render("http://127.0.0.1:9/", Quick(), 60000);
    EXPECT_EQ(Outcome::NavigationError, result.outcome) << result.error;
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.detail);
    EXPECT_EQ("", result.body);
    EXPECT_EQ("http://127.0.0.1:9/", result.pageUrl);
}

TEST_F(Rendering, XmlIsSerialisedAsXmlButXhtmlAsHtml) {
    const Result xml = Render("/xml", Quick({{"snapshot", true}, {"script", std::string("document.title='x';")}}));
    ASSERT_EQ(Outcome::Rendered, xml.outcome) << xml.error;
    EXPECT_EQ("<root><item n=\"1\">one</item></root>", xml.body);
    EXPECT_TRUE(xml.snapshot.Empty()) << "no snapshot of an XML document";
    const Result xhtml = Render("/xhtml");
    ASSERT_EQ(Outcome::Rendered, xhtml.outcome) << xhtml.error;
    EXPECT_NE(std::string::npos, xhtml.body.find("<p>x</p>")) << xhtml.body;
    EXPECT_EQ(0u, xhtml.body.find("<html")) << xhtml.body;
}

TEST_F(Rendering, PostBodiesArriveByteForByte) {
    const std::string body = "name=J\xc3\xbcrgen&raw=\xff\xfe&x=1 2";
    const Result result = Render("/form", Quick({{"post", body}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    const std::vector<TestHttpServer::Request> received = server.Received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ("POST", received.front().method);
    EXPECT_EQ(body, received.front().body);
}

TEST_F(Rendering, CookiesAreSentForTheRequestedUrl) {
    const Result result = Render("/cookies", Quick({{"cookie", std::string("a=1; b=2")}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    const std::vector<TestHttpServer::Request> received = server.Received();
    ASSERT_FALSE(received.empty());
    EXPECT_EQ("a=1; b=2", received.front().headers.at("cookie"));
    EXPECT_NE(std::string::npos, result.body.find("<p id=\"c\">a=1; b=2</p>")) << result.body;
}

TEST_F(Rendering, DisabledFeaturesApplyToOnePageOnly) {
    auto plain = client->Submit(server.Url("/features?page=plain"), Quick());
    auto bare = client->Submit(server.Url("/features?page=bare"), Quick({{"disable", std::string("Images, javascript")}}));
    const Result bareResult = client->Collect(*bare, 60000);
    const Result plainResult = client->Collect(*plain, 60000);
    ASSERT_EQ(Outcome::Rendered, plainResult.outcome) << plainResult.error;
    ASSERT_EQ(Outcome::Rendered, bareResult.outcome) << bareResult.error;
    // The script's own text is in both; only where it ran did it write.
    EXPECT_NE(std::string::npos, plainResult.body.find("</script><p id=\"js\">scripts ran</p>")) << plainResult.body;
    EXPECT_EQ(std::string::npos, bareResult.body.find("</script><p id=\"js\">scripts ran</p>")) << bareResult.body;
    EXPECT_TRUE(server.Got("/image?page=plain"));
    EXPECT_FALSE(server.Got("/image?page=bare"));
}

TEST_F(Rendering, TheRequestsScriptChangesThePageBeforeExtraction) {
    const Result result =
        Render("/undated", Quick({{"script", std::string("document.body.setAttribute('data-x', '42'); var a = {}")}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_NE(std::string::npos, result.body.find("data-x=\"42\"")) << result.body;
}

TEST_F(Rendering, CoordinatesAnnotateEveryVisibleElement) {
    const Result result = Render("/long", Quick({{"coordinate", true}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_NE(std::string::npos, result.body.find("<div style=\"background:#ff0000;width:200px;height:100px\" "
                                                  "region=\"0,200,100,0\">"))
        << result.body;
    EXPECT_NE(std::string::npos, result.body.find("<body style=\"margin:0\" region=\"0,")) << result.body;
}

TEST_F(Rendering, TheSnapshotCoversTheWholePageAndShowsIt) {
    const Result result = Render("/long", Quick({{"snapshot", true}}));
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_GE(result.snapshot.height, 3100) << "taller than the screen";
    EXPECT_GT(result.snapshot.width, 200);
    const auto pixel = [&result](int x, int y) { return &result.snapshot.rgb[3 * (y * result.snapshot.width + x)]; };
    EXPECT_EQ(255, pixel(50, 50)[0]);
    EXPECT_EQ(0, pixel(50, 50)[1]);
    EXPECT_EQ(0, pixel(50, 50)[2]);
    EXPECT_EQ(255, pixel(300, 50)[1]) << "white beside the block";
}

TEST_F(Rendering, TheViewportOptionSetsThePagesViewport) {
    const std::string script = "document.body.setAttribute('data-size', innerWidth + 'x' + innerHeight)";
    const Result sized = Render("/undated", Quick({{"viewport", std::string("640x360")}, {"script", script}}));
    ASSERT_EQ(Outcome::Rendered, sized.outcome) << sized.error;
    EXPECT_NE(std::string::npos, sized.body.find("data-size=\"640x360\"")) << sized.body;
    const Result snapshot = Render("/undated", Quick({{"viewport", std::string("333x222")}, {"snapshot", true}}));
    ASSERT_EQ(Outcome::Rendered, snapshot.outcome) << snapshot.error;
    EXPECT_EQ(333, snapshot.snapshot.width);
    EXPECT_EQ(222, snapshot.snapshot.height);
    const Result unusable = Render("/undated", Quick({{"viewport", std::string("0x360")}, {"script", script}}));
    ASSERT_EQ(Outcome::Rendered, unusable.outcome) << unusable.error;
    EXPECT_NE(std::string::npos, unusable.body.find("data-size=\"800x600\"")) << "the screen's size: " << unusable.body;
}

// A client that writes its option maps itself may send any key and any
// text: what the worker leaves aside is logged with the request, naming
// each entry, and the other options apply.
TEST_F(Rendering, OptionsTheWorkerLeavesAsideAreLoggedAndTheOthersApply) {
    OrvoTest::ProtocolClient raw(client->GetWorker().Pid(), "OrvoTestTexts");
    const std::string name = raw.NewName();
    raw.Put(server.Url("/undated"), name, {},
            {{"keep", "100"}, {"snapshot", "0"}, {"colour", "blue"}, {"delay", "1.5"}, {"coordinate", "yes\nno"},
             {"Snapshot", "1"}, {"script", std::string(50, 'x')}});
    OrvoTest::ProtocolClient::Answer answer;
    ASSERT_TRUE(raw.Take(name, answer, 60000));
    EXPECT_EQ(server.Url("/undated"), answer.pageUrl);
    EXPECT_EQ(0u, answer.snapshotBytes) << "snapshot=0 applies beside the entries left aside";
    EXPECT_NE(std::string::npos, Log().find("RequestHandler::ProcessRequest => options ignored: Snapshot (no such "
                                            "option), colour (no such option), coordinate=\"yes?no\" (not 0 or 1), "
                                            "delay=\"1.5\" (not a whole number)\n"))
        << Log();
    ASSERT_EQ(Outcome::Rendered, Render("/dated").outcome);
    EXPECT_EQ(1u, OrvoTest::Occurrences(Log(), "options ignored")) << "a request whose options all apply logs none";
}

// Whether two pages of the log were opened with no poll tick between them.
bool TwoPagesOpenedWithinOneTick(const std::string& log) {
    std::istringstream lines(log);
    std::string line;
    bool opened = false;
    bool tickSince = false;
    while (std::getline(lines, line)) {
        if (line.find(" - OnPollTimer") != std::string::npos) {
            tickSince = true;
        } else if (line.find(" => ProcessRequest") != std::string::npos) {
            if (opened && !tickSince) {
                return true;
            }
            opened = true;
            tickSince = false;
        }
    }
    return false;
}

// Requests sent together are taken as they arrive, not one per poll tick.
TEST_F(Rendering, SeveralPagesInFlightAreServedBySpawnedHandlers) {
    std::vector<std::unique_ptr<PendingRequest>> pending;
    for (int k = 0; k < 12; ++k) {
        pending.push_back(client->Submit(server.Url(k % 2 ? "/dated" : "/undated"), Quick()));
    }
    for (auto& request : pending) {
        EXPECT_EQ(Outcome::Rendered, client->Collect(*request, 60000).outcome) << request->Url();
    }
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(" - MainThread => ProcessRequest\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" - Spawn 11 => ProcessRequest\n")) << log;
    EXPECT_TRUE(TwoPagesOpenedWithinOneTick(log)) << log;
}

TEST_F(Rendering, DialogsNeverBlockThePage) {
    const Result result = Render("/dialogs");
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_NE(std::string::npos, result.body.find("<p id=\"answer\">true</p>")) << result.body;
    EXPECT_NE(std::string::npos, Log().find(" - [alert] hi\n"));
}

// A page the engine has seen must still come from the network, or there
// is no reply to judge it by.
TEST_F(Rendering, TheSameUrlTwiceIsRenderedTwice) {
    ASSERT_EQ(Outcome::Rendered, Render("/dated", {{"keep", 5000}, {"snapshot", false}}).outcome);
    const Result again = Render("/dated");
    EXPECT_EQ(Outcome::Rendered, again.outcome);
    EXPECT_EQ("11/15/1994 12:45:26", again.detail);
    std::size_t loads = 0;
    for (const TestHttpServer::Request& request : server.Received()) {
        loads += request.target == "/dated" ? 1 : 0;
    }
    EXPECT_EQ(2u, loads);
}

TEST_F(Rendering, TheWorkerEndsByItselfAfterKeep) {
    EXPECT_EQ(Outcome::Rendered, Render("/dated").outcome);
    EXPECT_EQ(0, client->GetWorker().WaitForExit(30000));
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(" - OnSuicideTimer\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" - Exit Main: 0\n")) << log;
}

} // namespace
