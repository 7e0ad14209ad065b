#include "Chromium/ChromiumCookies.h"

#include <ctime>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace {

// The name and value of "name=value", trimmed; false without a name.
bool Pair(const std::string& text, std::string& name, std::string& value) {
    const std::size_t equals = text.find('=');
    name = boost::algorithm::trim_copy(text.substr(0, equals));
    value = equals == std::string::npos ? std::string() : boost::algorithm::trim_copy(text.substr(equals + 1));
    return !name.empty();
}

} // namespace

nlohmann::json ChromiumCookies::OfHeader(const std::string& header, const std::string& url) {
    nlohmann::json cookies = nlohmann::json::array();
    std::istringstream parts(header);
    for (std::string part; std::getline(parts, part, ';');) {
        std::string name;
        std::string value;
        if (Pair(part, name, value)) {
            cookies.push_back({{"name", name}, {"value", value}, {"url", url}});
        }
    }
    return cookies;
}

nlohmann::json ChromiumCookies::OfSetCookieLines(const std::string& lines, const std::string& url) {
    nlohmann::json cookies = nlohmann::json::array();
    std::istringstream text(lines);
    for (std::string line; std::getline(text, line);) {
        const nlohmann::json cookie = OfLine(line, url);
        if (!cookie.is_null()) {
            cookies.push_back(cookie);
        }
    }
    return cookies;
}

nlohmann::json ChromiumCookies::OfLine(const std::string& line, const std::string& url) {
    std::istringstream parts(line);
    std::string first;
    std::getline(parts, first, ';');
    std::string name;
    std::string value;
    if (!Pair(first, name, value)) {
        return nlohmann::json();
    }
    nlohmann::json cookie{{"name", name}, {"value", value}, {"path", "/"}};
    for (std::string part; std::getline(parts, part, ';');) {
        std::string attribute;
        std::string given;
        Pair(part, attribute, given);
        if (boost::algorithm::iequals(attribute, "Domain") && !given.empty()) {
            cookie["domain"] = given;
        } else if (boost::algorithm::iequals(attribute, "Path") && !given.empty()) {
            cookie["path"] = given;
        } else if (boost::algorithm::iequals(attribute, "Secure")) {
            cookie["secure"] = true;
        } else if (boost::algorithm::iequals(attribute, "HttpOnly")) {
            cookie["httpOnly"] = true;
        } else if (boost::algorithm::iequals(attribute, "Expires") && Seconds(given) > 0) {
            cookie["expires"] = Seconds(given);
        } else if (boost::algorithm::iequals(attribute, "Max-Age")) {
            cookie["expires"] = static_cast<double>(std::time(nullptr)) + std::atof(given.c_str());
        }
    }
    if (!cookie.contains("domain")) {
        cookie["url"] = url;
    }
    return cookie;
}

double ChromiumCookies::Seconds(const std::string& date) {
    for (const char* format : {"%a, %d %b %Y %H:%M:%S", "%a, %d-%b-%Y %H:%M:%S"}) {
        std::tm parsed{};
        if (::strptime(date.c_str(), format, &parsed) != nullptr) {
            return static_cast<double>(::timegm(&parsed));
        }
    }
    return 0;
}
