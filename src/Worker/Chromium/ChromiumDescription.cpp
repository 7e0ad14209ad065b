#include "Chromium/ChromiumDescription.h"

#include <ctime>

nlohmann::json ChromiumDescription::Of(const ChromiumPage::Rendered& rendered, const std::string& html, bool ok,
                                       const nlohmann::json& cookies, const nlohmann::json& har) {
    nlohmann::json history = nlohmann::json::array();
    for (const ChromiumPage::Response& response : rendered.history) {
        history.push_back(Response(response));
    }
    nlohmann::json jar = nlohmann::json::array();
    for (const nlohmann::json& cookie : cookies) {
        jar.push_back(Cookie(cookie));
    }
    const bool answered = !rendered.history.empty();
    std::string error = rendered.error;
    if (!ok && error.empty() && answered) {
        error = "server replied: " + rendered.history.back().reason;
    }
    nlohmann::json description{
        {"html", html},
        {"ok", ok},
        {"url", rendered.url},
        {"status", answered ? nlohmann::json(rendered.history.back().status) : nlohmann::json()},
        {"reason", answered ? nlohmann::json(rendered.history.back().reason) : nlohmann::json()},
        {"error", error.empty() ? nlohmann::json() : nlohmann::json(error)},
        {"cookies", jar},
        {"history", history},
    };
    if (!har.is_null()) {
        description["har"] = har;
    }
    return description;
}

// A session cookie's expiry is -1 (or absent) in the browser's form.
nlohmann::json ChromiumDescription::Cookie(const nlohmann::json& cookie) {
    nlohmann::json expires;
    const double seconds = cookie.value("expires", -1.0);
    if (!cookie.value("session", false) && seconds > 0) {
        const std::time_t when = static_cast<std::time_t>(seconds);
        std::tm utc{};
        char text[32];
        if (::gmtime_r(&when, &utc) != nullptr && std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) > 0) {
            expires = text;
        }
    }
    return {{"name", cookie.value("name", std::string())},
            {"value", cookie.value("value", std::string())},
            {"domain", cookie.value("domain", std::string())},
            {"path", cookie.value("path", std::string("/"))},
            {"expires", expires},
            {"httpOnly", cookie.value("httpOnly", false)},
            {"secure", cookie.value("secure", false)}};
}

nlohmann::json ChromiumDescription::Response(const ChromiumPage::Response& response) {
    nlohmann::json headers = nlohmann::json::array();
    for (const auto& header : response.headers) {
        headers.push_back({header.first, header.second});
    }
    return {{"url", response.url},
            {"method", response.method},
            {"status", response.status},
            {"reason", response.reason},
            {"headers", headers}};
}
