#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMNETWORKLOG_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMNETWORKLOG_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

// Everything one Chromium page asks of the network, from its Network
// domain's events, in the order it asks, as an HTTP Archive (HAR 1.2) of
// the form the WebKit worker gives: for each request its method, URL,
// headers, cookies and body size, and its response's status, headers,
// cookies, content type and size, the time its headers took and the time
// its body took, and why it failed ("_error"). A redirect ends its entry
// and opens the next. The browser sends the headers as they went and came
// (cookies among them) in events of their own; they stand in for the
// others. Times are the browser's; DNS, connect and SSL are -1 (unknown)
// and the whole wait is "wait", as on the WebKit engine.
class ChromiumNetworkLog {
public:
    // Takes one event of the page (its method and params); events of
    // other domains than Network, but the load event, are ignored.
    void Take(const std::string& method, const nlohmann::json& params);

    // Request id went out to url as method with a body of bodySize bytes,
    // whatever its own events say: the page changed it on its way. Its
    // redirects are as their events say.
    void Sent(const std::string& id, const std::string& method, const std::string& url, long long bodySize);

    // The requests whose response finished with a body the browser keeps.
    std::vector<std::string> Finished() const;

    // {"log": {"version": "1.2", "creator", "pages": [the page, titled
    // title, with its load time], "entries": [...]}}; bodies: the bodies
    // of finished requests by request id, in base64.
    nlohmann::json Archive(const std::string& title, const std::map<std::string, std::string>& bodies) const;

private:
    typedef std::vector<std::pair<std::string, std::string>> Pairs;

    struct Entry {
        std::string id;
        double wallTime = 0;      // seconds since the epoch
        double start = 0;         // the browser's clock, seconds
        double headers = -1;      // -1 until the response's headers came
        double end = -1;          // -1 until the request ended
        std::string method;
        std::string url;
        Pairs requestHeaders;
        long long requestBodySize = 0;
        int status = 0;
        std::string reason;
        std::string protocol;
        Pairs responseHeaders;
        std::string mimeType;
        long long received = 0;
        std::string redirectUrl;
        std::string error;
        bool finished = false;
    };

    void Open(const nlohmann::json& params);
    void Respond(Entry& entry, const nlohmann::json& response, double timestamp);
    // The latest entry of request id, or nullptr.
    Entry* Latest(const std::string& id);
    nlohmann::json ToJson(const Entry& entry, const Pairs& requestHeaders, const Pairs& responseHeaders,
                          const std::map<std::string, std::string>& bodies) const;

    static Pairs Lines(const nlohmann::json& headers);
    static nlohmann::json Headers(const Pairs& pairs);
    static nlohmann::json RequestCookies(const Pairs& headers);
    static nlohmann::json ResponseCookies(const Pairs& headers, const std::string& url);
    static nlohmann::json QueryString(const std::string& url);
    static std::string Date(double seconds);

    std::vector<Entry> entries;
    // The headers as they went and came, by request id, one for each
    // request and each response of the id, in order.
    std::map<std::string, std::vector<Pairs>> sentHeaders;
    std::map<std::string, std::vector<Pairs>> cameHeaders;
    // What Sent said, by request id.
    struct Change {
        std::string method;
        std::string url;
        long long bodySize = 0;
    };
    std::map<std::string, Change> changes;
    double loaded = -1;
};

#endif
