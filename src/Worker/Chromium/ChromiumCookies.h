#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMCOOKIES_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMCOOKIES_H

#include <string>

#include <nlohmann/json.hpp>

// A request's cookies as the browser's Storage.setCookies takes them
// (CookieParam objects), so that they sit in the page's cookie jar before
// it loads, as on the WebKit engine: the cookie option's "a=1; b=2" as
// cookies of the page's URL, and the setCookies option's Set-Cookie lines
// with their attributes (a line without a domain is the URL's host's, one
// without a path is "/"'s).
class ChromiumCookies {
public:
    static nlohmann::json OfHeader(const std::string& header, const std::string& url);
    static nlohmann::json OfSetCookieLines(const std::string& lines, const std::string& url);

private:
    static nlohmann::json OfLine(const std::string& line, const std::string& url);
    // An Expires attribute's date as seconds since the epoch; 0 when it is
    // no date.
    static double Seconds(const std::string& date);
};

#endif
