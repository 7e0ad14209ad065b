#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMDESCRIPTION_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMDESCRIPTION_H

#include <string>

#include <nlohmann/json.hpp>

#include "Chromium/ChromiumPage.h"

// The page's description that a request with the pageInfo option gets as
// its body, made from what the Chromium engine saw, in the form the WebKit
// worker gives: "html", "ok", "url", the last response's "status" and
// "reason" (null without one), "error" (the browser's net::ERR_ name, or
// the status's reason for a page that failed with one; null without one),
// "cookies" (each
// {"name", "value", "domain", "path", "expires" as ISO 8601 UTC or null
// for a session cookie, "httpOnly", "secure"}) and "history" (each
// response {"url", "method", "status", "reason", "headers": [[name,
// value], ...]}), and "har" when the page kept a network log.
class ChromiumDescription {
public:
    // cookies as ChromiumPage::Cookies gives them; har as
    // ChromiumPage::NetworkArchive does (null: none).
    static nlohmann::json Of(const ChromiumPage::Rendered& rendered, const std::string& html, bool ok,
                             const nlohmann::json& cookies, const nlohmann::json& har);

private:
    static nlohmann::json Cookie(const nlohmann::json& cookie);
    static nlohmann::json Response(const ChromiumPage::Response& response);
};

#endif
