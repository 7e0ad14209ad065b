// orvo-serve's answers: how a worker's result becomes an HTTP answer.

#include <string>

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

// A snapshot whose pixel (x, y) is (x, y, 7).
Result Pictured(int width, int height) {
    Result result = Ended(Outcome::Rendered);
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
    EXPECT_EQ("internal", failed.outcome);
}

TEST(Reply, APageIsAnsweredInItsEndpointsForm) {
    Result page = Ended(Outcome::Rendered);
    page.body = "<p>caf\xC3\xA9</p>";
    const Reply html = Reply::Rendered(Endpoint::Html, Arguments(), page);
    EXPECT_EQ(200, html.status);
    EXPECT_EQ("text/html; charset=utf-8", html.contentType);
    EXPECT_EQ(page.body, html.body);
    const Reply unpictured = Reply::Rendered(Endpoint::Png, Arguments(), page);
    EXPECT_EQ(500, unpictured.status) << "a page without snapshot is no image";
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
