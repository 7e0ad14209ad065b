// orvo-serve's answers: how a worker's result becomes an HTTP answer.

#include <string>
#include <vector>

#include <QImage>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "serve/Reply.h"

namespace {

using Orvo::Browser::Client::Outcome;
using Orvo::Browser::Client::Result;
using Orvo::Serve::Endpoint;
using Orvo::Serve::RenderArguments;
using Orvo::Serve::Reply;

RenderArguments Arguments() {
    RenderArguments arguments;
    arguments.url = "http://127.0.0.1/page";
    return arguments;
}

Result Ended(Outcome outcome) {
    Result result;
    result.outcome = outcome;
    result.error = "why";
    return result;
}

nlohmann::json Info(const Reply& reply) {
    return nlohmann::json::parse(reply.body).at("info");
}

// A rendered page as the worker describes it (pageInfo): html, and the
// main document's one response.
Result Described(const std::string& html, int status = 200, bool ok = true) {
    Result result = Ended(Outcome::Rendered);
    const nlohmann::json response = {{"url", "http://127.0.0.1/landing"},
                                     {"method", "GET"},
                                     {"status", status},
                                     {"reason", "Reason " + std::to_string(status)},
                                     {"headers", nlohmann::json::array({{"Content-Type", "text/html"}})}};
    result.body = nlohmann::json{{"html", html},
                                 {"ok", ok},
                                 {"url", "http://127.0.0.1/landing"},
                                 {"status", status},
                                 {"reason", response.at("reason")},
                                 {"history", {response}}}
                      .dump();
    return result;
}

// A snapshot whose pixel (x, y) is (x, y, 7).
Result Pictured(int width, int height) {
    Result result = Described("");
    result.snapshot.width = width;
    result.snapshot.height = height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            result.snapshot.rgb.insert(result.snapshot.rgb.end(), {static_cast<unsigned char>(x),
                                                                   static_cast<unsigned char>(y), 7});
        }
    }
    return result;
}

TEST(Reply, TitlesAreTakenFromTheFirstTitleElementAndDecoded) {
    EXPECT_EQ("A & B \xC3\xA9 A &bogus; <x>",
              Reply::PageTitle("<html><head><TITLE lang=\"en\">A &amp; B &#233; &#x41; &bogus; &lt;x&gt;</TITLE>"
                               "<title>second</title></head></html>"));
    EXPECT_EQ("\xC2\xA0", Reply::PageTitle("<title>&nbsp;</title>"));
    EXPECT_EQ("\xEF\xBF\xBD", Reply::PageTitle("<title>&#0;</title>")) << "no NUL from a page";
    EXPECT_EQ("", Reply::PageTitle("<html><body>untitled</body></html>"));
    EXPECT_EQ("open", Reply::PageTitle("<title>open"));
}

TEST(Reply, EachOutcomeHasItsStatus) {
    Result missing = Ended(Outcome::NavigationError);
    missing.status = 404;
    const Reply navigation = Reply::Rendered(Endpoint::Html, Arguments(), missing);
    EXPECT_EQ(502, navigation.status);
    EXPECT_EQ("RenderError", nlohmann::json::parse(navigation.body).at("type"));
    EXPECT_EQ(404, Info(navigation).at("code"));
    EXPECT_EQ("HTTP", Info(navigation).at("type"));

    const Reply lost = Reply::Rendered(Endpoint::Html, Arguments(), Ended(Outcome::WorkerGone));
    EXPECT_EQ(503, lost.status);
    ASSERT_EQ(1u, lost.headers.size());
    EXPECT_EQ("Retry-After", lost.headers[0].first);
    EXPECT_EQ(503, Reply::Rendered(Endpoint::Html, Arguments(), Ended(Outcome::Dead)).status);
    EXPECT_EQ(504, Reply::Rendered(Endpoint::Png, Arguments(), Ended(Outcome::TimedOut)).status);
    const Reply failed = Reply::Rendered(Endpoint::Json, Arguments(), Ended(Outcome::Failed));
    EXPECT_EQ(500, failed.status);
    EXPECT_EQ("why", Info(failed).at("reason"));
    EXPECT_EQ(Reply::Outcome::Internal, failed.outcome);
}

// Whatever worker answered, a script's result whose type or header holds a
// line break is never sent: it would split the answer.
TEST(Reply, AScriptsResultWithALineBreakInAHeaderIsNotSent) {
    const std::vector<nlohmann::json> details = {
        {{"contentType", "text/html\r\n\r\nHTTP/1.1 200 OK"}},
        {{"headers", nlohmann::json::array({nlohmann::json::array({"X-Forged", "a\nSet-Cookie: b=c"})})}},
        {{"headers", nlohmann::json::array({nlohmann::json::array({"X-Forged\r\nSet-Cookie", "b=c"})})}},
    };
    for (const nlohmann::json& detail : details) {
        Result result = Ended(Outcome::Rendered);
        result.detail = detail.dump();
        result.body = "forged";
        const Reply reply = Reply::Rendered(Endpoint::Execute, Arguments(), result);
        EXPECT_EQ(500, reply.status) << detail;
        EXPECT_EQ("a header of the script's result holds a line break", Info(reply).at("reason"));
    }
    Result plain = Ended(Outcome::Rendered);
    plain.detail = nlohmann::json{{"contentType", "text/csv"},
                                  {"headers", nlohmann::json::array({nlohmann::json::array({"X-Rows", "2"})})}}
                       .dump();
    EXPECT_EQ(200, Reply::Rendered(Endpoint::Execute, Arguments(), plain).status);
}

TEST(Reply, APageIsAnsweredInItsEndpointsForm) {
    const Result page = Described("<title>T</title><p>caf\xC3\xA9</p>");
    const Reply html = Reply::Rendered(Endpoint::Html, Arguments(), page);
    EXPECT_EQ(200, html.status);
    EXPECT_EQ("text/html; charset=utf-8", html.contentType);
    EXPECT_EQ("<title>T</title><p>caf\xC3\xA9</p>", html.body);
    const Reply unpictured = Reply::Rendered(Endpoint::Png, Arguments(), page);
    EXPECT_EQ(500, unpictured.status) << "a page without snapshot is no image";

    RenderArguments asked = Arguments();
    asked.history = true;
    const nlohmann::json json = nlohmann::json::parse(Reply::Rendered(Endpoint::Json, asked, page).body);
    EXPECT_EQ("http://127.0.0.1/landing", json.at("url")) << "where the page ended";
    EXPECT_EQ("http://127.0.0.1/page", json.at("requestedUrl"));
    EXPECT_EQ("T", json.at("title"));
    EXPECT_EQ((nlohmann::json{{{"request", {{"method", "GET"}, {"url", "http://127.0.0.1/landing"}}},
                               {"response",
                                {{"status", 200},
                                 {"statusText", "Reason 200"},
                                 {"headers", {{{"name", "Content-Type"}, {"value", "text/html"}}}}}}}}),
              json.at("history"));
    EXPECT_EQ(0u, nlohmann::json::parse(Reply::Rendered(Endpoint::Json, Arguments(), page).body).count("history"));

    Result garbled = Ended(Outcome::Rendered);
    garbled.body = "<p>not a description</p>";
    EXPECT_EQ(500, Reply::Rendered(Endpoint::Html, Arguments(), garbled).status);
}

// Every status from 400 up fails the page, whatever the worker's own
// table of failing statuses says; a failed navigation without response is a
// network error.
TEST(Reply, AnyErrorStatusOfThePageIsARenderError) {
    const Reply teapot = Reply::Rendered(Endpoint::Html, Arguments(), Described("<p>short and stout</p>", 418));
    EXPECT_EQ(502, teapot.status);
    EXPECT_EQ((nlohmann::json{
                  {"type", "HTTP"}, {"code", 418}, {"text", "Reason 418"}, {"url", "http://127.0.0.1/page"}}),
              Info(teapot));
    EXPECT_EQ(Reply::Outcome::RenderError, teapot.outcome);
    Result unreachable = Ended(Outcome::Rendered);
    unreachable.body = R"({"html": "", "ok": false, "url": "", "status": null, "reason": null, "history": []})";
    const Reply network = Reply::Rendered(Endpoint::Png, Arguments(), unreachable);
    EXPECT_EQ(502, network.status);
    EXPECT_EQ("Network", Info(network).at("type"));
    EXPECT_EQ(200, Reply::Rendered(Endpoint::Html, Arguments(), Described("<p>fine</p>", 399)).status);
}

TEST(Reply, TheViewportIsCutFromTheSnapshot) {
    RenderArguments arguments = Arguments();
    arguments.viewportWidth = 30;
    arguments.viewportHeight = 20;
    const Reply cut = Reply::Rendered(Endpoint::Png, arguments, Pictured(50, 40));
    ASSERT_EQ(200, cut.status) << cut.body;
    EXPECT_EQ("image/png", cut.contentType);
    const QImage image = QImage::fromData(reinterpret_cast<const uchar*>(cut.body.data()), static_cast<int>(cut.body.size()));
    ASSERT_EQ(QSize(30, 20), image.size());
    EXPECT_EQ(qRgb(29, 19, 7), image.pixel(29, 19));
    EXPECT_EQ(qRgb(3, 5, 7), image.pixel(3, 5));
    arguments.renderAll = true;
    const Reply whole = Reply::Rendered(Endpoint::Png, arguments, Pictured(50, 40));
    EXPECT_EQ(QSize(50, 40), QImage::fromData(reinterpret_cast<const uchar*>(whole.body.data()),
                                              static_cast<int>(whole.body.size())).size());
}

} // namespace
