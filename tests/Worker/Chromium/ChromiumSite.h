#ifndef ORVO_TESTS_WORKER_CHROMIUM_CHROMIUMSITE_H
#define ORVO_TESTS_WORKER_CHROMIUM_CHROMIUMSITE_H

#include <string>

#include "Common/TestHttpServer.h"

// What the Chromium engine's tests serve from their test HTTP server.
namespace ChromiumSite {

// An HTML page of body, without margins.
inline OrvoTest::TestHttpServer::Response Html(const std::string& body, int status = 200) {
    OrvoTest::TestHttpServer::Response response;
    response.status = status;
    response.headers.push_back({"Content-Type", "text/html; charset=utf-8"});
    response.body = "<html><head></head><body style=\"margin:0\">" + body + "</body></html>";
    return response;
}

// "/dated", with a Last-Modified date, and any other target not found.
inline OrvoTest::TestHttpServer::Response Shared(const OrvoTest::TestHttpServer::Request& request) {
    if (request.target != "/dated") {
        return Html("<p>missing</p>", 404);
    }
    OrvoTest::TestHttpServer::Response response = Html("<p>dated</p>");
    response.headers.push_back({"Last-Modified", "Tue, 15 Nov 1994 12:45:26 GMT"});
    return response;
}

} // namespace ChromiumSite

#endif
