#include "Chromium/ChromiumNetworkLog.h"

#include <cmath>
#include <ctime>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "Chromium/ChromiumCookies.h"

namespace {

// Milliseconds between two of the browser's times in seconds.
long long Ms(double from, double to) {
    return std::llround((to - from) * 1000);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && HexValue(text[k + 1]) >= 0 && HexValue(text[k + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[k + 1]) * 16 + HexValue(text[k + 2]));
            k += 2;
        } else {
            out += text[k];
        }
    }
    return out;
}

typedef std::vector<std::pair<std::string, std::string>> Pairs;

// The k-th of id's header sets, or nullptr.
const Pairs* Nth(const std::map<std::string, std::vector<Pairs>>& byId, const std::string& id, std::size_t k) {
    const auto found = byId.find(id);
    return found != byId.end() && k < found->second.size() ? &found->second[k] : nullptr;
}

} // namespace

void ChromiumNetworkLog::Take(const std::string& method, const nlohmann::json& params) {
    const std::string id = params.value("requestId", std::string());
    const double timestamp = params.value("timestamp", 0.0);
    if (method == "Page.loadEventFired") {
        if (loaded < 0) {
            loaded = timestamp;
        }
    } else if (method == "Network.requestWillBeSent") {
        Open(params);
    } else if (method == "Network.requestWillBeSentExtraInfo") {
        sentHeaders[id].push_back(Lines(params.value("headers", nlohmann::json::object())));
    } else if (method == "Network.responseReceivedExtraInfo") {
        cameHeaders[id].push_back(Lines(params.value("headers", nlohmann::json::object())));
    } else if (Entry* entry = Latest(id)) {
        if (method == "Network.responseReceived") {
            Respond(*entry, params.value("response", nlohmann::json::object()), timestamp);
        } else if (method == "Network.dataReceived") {
            entry->received += params.value("dataLength", 0LL);
        } else if (method == "Network.loadingFinished") {
            entry->end = timestamp;
            entry->finished = true;
        } else if (method == "Network.loadingFailed") {
            entry->end = timestamp;
            entry->error = params.value("errorText", std::string());
        }
    }
}

// A request sent again to where a redirect points ends the redirect's
// entry with the redirect's response. The browser's own request for the
// site's icon is not the page's.
void ChromiumNetworkLog::Open(const nlohmann::json& params) {
    const std::string id = params.value("requestId", std::string());
    const nlohmann::json request = params.value("request", nlohmann::json::object());
    const std::string url = request.value("url", std::string());
    if (params.value("type", std::string()) == "Other" && boost::algorithm::ends_with(url, "/favicon.ico")) {
        return;
    }
    const double timestamp = params.value("timestamp", 0.0);
    Entry* previous = Latest(id);
    if (previous != nullptr && params.contains("redirectResponse")) {
        Respond(*previous, params["redirectResponse"], timestamp);
        previous->end = timestamp;
        previous->redirectUrl = url;
    }
    Entry entry;
    entry.id = id;
    entry.wallTime = params.value("wallTime", 0.0);
    entry.start = timestamp;
    entry.method = request.value("method", std::string("GET"));
    entry.url = url + request.value("urlFragment", std::string());
    entry.requestHeaders = Lines(request.value("headers", nlohmann::json::object()));
    entry.requestBodySize = static_cast<long long>(request.value("postData", std::string()).size());
    entries.push_back(std::move(entry));
}

void ChromiumNetworkLog::Respond(Entry& entry, const nlohmann::json& response, double timestamp) {
    if (entry.headers < 0) {
        entry.headers = timestamp;
    }
    entry.status = response.value("status", 0);
    entry.reason = response.value("statusText", std::string());
    entry.protocol = response.value("protocol", std::string());
    entry.responseHeaders = Lines(response.value("headers", nlohmann::json::object()));
    entry.mimeType = response.value("mimeType", std::string());
    for (const auto& header : entry.responseHeaders) {
        if (boost::algorithm::iequals(header.first, "Content-Type")) {
            entry.mimeType = header.second;
        }
    }
}

ChromiumNetworkLog::Entry* ChromiumNetworkLog::Latest(const std::string& id) {
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->id == id) {
            return &*entry;
        }
    }
    return nullptr;
}

void ChromiumNetworkLog::Sent(const std::string& id, const std::string& method, const std::string& url,
                              long long bodySize) {
    changes[id] = Change{method, url, bodySize};
}

std::vector<std::string> ChromiumNetworkLog::Finished() const {
    std::vector<std::string> ids;
    for (const Entry& entry : entries) {
        if (entry.finished && entry.redirectUrl.empty()) {
            ids.push_back(entry.id);
        }
    }
    return ids;
}

// The k-th request (and response) of an id takes the k-th headers as they
// went (and came), when the browser gave them; its first request is as
// the page changed it.
nlohmann::json ChromiumNetworkLog::Archive(const std::string& title,
                                           const std::map<std::string, std::string>& bodies) const {
    static const char* const PageId = "page_1";
    std::map<std::string, std::size_t> sent;
    std::map<std::string, std::size_t> came;
    nlohmann::json list = nlohmann::json::array();
    for (Entry entry : entries) {
        const std::size_t request = sent[entry.id]++;
        const auto change = changes.find(entry.id);
        if (request == 0 && change != changes.end()) {
            entry.method = change->second.method;
            entry.url = change->second.url;
            entry.requestBodySize = change->second.bodySize;
        }
        const Pairs* wentOut = Nth(sentHeaders, entry.id, request);
        const Pairs* cameIn = entry.status != 0 ? Nth(cameHeaders, entry.id, came[entry.id]++) : nullptr;
        nlohmann::json item = ToJson(entry, wentOut != nullptr ? *wentOut : entry.requestHeaders,
                                     cameIn != nullptr ? *cameIn : entry.responseHeaders, bodies);
        item["pageref"] = PageId;
        list.push_back(std::move(item));
    }
    const double start = entries.empty() ? 0 : entries.front().start;
    const nlohmann::json page{{"startedDateTime", Date(entries.empty() ? std::time(nullptr) : entries.front().wallTime)},
                              {"id", PageId},
                              {"title", title},
                              {"pageTimings", {{"onContentLoad", -1}, {"onLoad", loaded < 0 ? -1 : Ms(start, loaded)}}}};
    return {{"log",
             {{"version", "1.2"},
              {"creator", {{"name", "orvo-browser"}, {"version", ORVO_VERSION}}},
              {"pages", nlohmann::json::array({page})},
              {"entries", list}}}};
}

nlohmann::json ChromiumNetworkLog::ToJson(const Entry& entry, const Pairs& requestHeaders,
                                          const Pairs& responseHeaders,
                                          const std::map<std::string, std::string>& bodies) const {
    // A request still open when the log is read counts until its last news.
    const double end = entry.end >= 0 ? entry.end : std::max(entry.start, entry.headers);
    const double headers = entry.headers >= 0 ? entry.headers : end;
    const bool http = boost::algorithm::istarts_with(entry.url, "http");
    const std::string version = !http ? std::string() : entry.protocol == "h2" ? "HTTP/2" : "HTTP/1.1";
    nlohmann::json content{{"size", entry.received}, {"mimeType", entry.mimeType}};
    const auto body = bodies.find(entry.id);
    if (entry.finished && entry.redirectUrl.empty() && body != bodies.end()) {
        content["text"] = body->second;
        content["encoding"] = "base64";
    }
    nlohmann::json item{
        {"startedDateTime", Date(entry.wallTime)},
        {"time", Ms(entry.start, headers) + Ms(headers, end)},
        {"request",
         {{"method", entry.method},
          {"url", entry.url},
          {"httpVersion", version},
          {"cookies", RequestCookies(requestHeaders)},
          {"headers", Headers(requestHeaders)},
          {"queryString", QueryString(entry.url)},
          {"headersSize", -1},
          {"bodySize", entry.requestBodySize}}},
        {"response",
         {{"status", entry.status},
          {"statusText", entry.reason},
          {"httpVersion", entry.status != 0 ? version : std::string()},
          {"cookies", ResponseCookies(responseHeaders, entry.url)},
          {"headers", Headers(responseHeaders)},
          {"content", content},
          {"redirectURL", entry.redirectUrl},
          {"headersSize", -1},
          {"bodySize", -1}}},
        {"cache", nlohmann::json::object()},
        {"timings",
         {{"blocked", -1},
          {"dns", -1},
          {"connect", -1},
          {"send", 0},
          {"wait", Ms(entry.start, headers)},
          {"receive", Ms(headers, end)},
          {"ssl", -1}}}};
    if (!entry.error.empty()) {
        item["_error"] = entry.error;
    } else if (entry.end < 0) {
        item["_error"] = "unfinished when the page was answered";
    }
    return item;
}

// Headers given more than once come as one, their values on lines.
ChromiumNetworkLog::Pairs ChromiumNetworkLog::Lines(const nlohmann::json& headers) {
    Pairs lines;
    for (const auto& header : headers.items()) {
        std::istringstream values(header.value().is_string() ? header.value().get<std::string>() : std::string());
        for (std::string value; std::getline(values, value);) {
            lines.emplace_back(header.key(), value);
        }
    }
    return lines;
}

nlohmann::json ChromiumNetworkLog::Headers(const Pairs& pairs) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& pair : pairs) {
        list.push_back({{"name", pair.first}, {"value", pair.second}});
    }
    return list;
}

nlohmann::json ChromiumNetworkLog::RequestCookies(const Pairs& headers) {
    nlohmann::json cookies = nlohmann::json::array();
    for (const auto& header : headers) {
        if (!boost::algorithm::iequals(header.first, "Cookie")) {
            continue;
        }
        std::istringstream pairs(header.second);
        for (std::string pair; std::getline(pairs, pair, ';');) {
            boost::algorithm::trim(pair);
            const std::size_t equals = pair.find('=');
            if (!pair.empty()) {
                cookies.push_back({{"name", pair.substr(0, equals)},
                                   {"value", equals == std::string::npos ? std::string() : pair.substr(equals + 1)},
                                   {"httpOnly", false},
                                   {"secure", false}});
            }
        }
    }
    return cookies;
}

// Each Set-Cookie line as a HAR cookie: a session cookie has no expiry.
nlohmann::json ChromiumNetworkLog::ResponseCookies(const Pairs& headers, const std::string& url) {
    std::string lines;
    for (const auto& header : headers) {
        if (boost::algorithm::iequals(header.first, "Set-Cookie")) {
            lines += header.second + "\n";
        }
    }
    nlohmann::json cookies = nlohmann::json::array();
    for (const nlohmann::json& param : ChromiumCookies::OfSetCookieLines(lines, url)) {
        nlohmann::json cookie{{"name", param.value("name", std::string())},
                              {"value", param.value("value", std::string())},
                              {"httpOnly", param.value("httpOnly", false)},
                              {"secure", param.value("secure", false)},
                              {"path", param.value("path", std::string("/"))},
                              {"domain", param.value("domain", std::string())}};
        if (param.contains("expires")) {
            cookie["expires"] = Date(param["expires"].get<double>());
        }
        cookies.push_back(std::move(cookie));
    }
    return cookies;
}

nlohmann::json ChromiumNetworkLog::QueryString(const std::string& url) {
    nlohmann::json pairs = nlohmann::json::array();
    const std::size_t question = url.find('?');
    if (question == std::string::npos) {
        return pairs;
    }
    std::istringstream items(url.substr(question + 1, url.find('#', question) - question - 1));
    for (std::string item; std::getline(items, item, '&');) {
        const std::size_t equals = item.find('=');
        if (!item.empty()) {
            pairs.push_back({{"name", PercentDecoded(item.substr(0, equals))},
                             {"value", equals == std::string::npos ? std::string()
                                                                   : PercentDecoded(item.substr(equals + 1))}});
        }
    }
    return pairs;
}

// ISO 8601 in UTC with milliseconds, as "2026-12-09T03:40:00.123Z".
std::string ChromiumNetworkLog::Date(double seconds) {
    const std::time_t whole = static_cast<std::time_t>(std::floor(seconds));
    const int ms = std::min(999, static_cast<int>(std::llround((seconds - std::floor(seconds)) * 1000)));
    std::tm utc{};
    char text[40];
    if (::gmtime_r(&whole, &utc) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc) == 0) {
        return std::string();
    }
    const std::string fraction = std::to_string(1000 + ms).substr(1);
    return std::string(text) + "." + fraction + "Z";
}
