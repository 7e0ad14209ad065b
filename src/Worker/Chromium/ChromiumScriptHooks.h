#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMSCRIPTHOOKS_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMSCRIPTHOOKS_H

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <QJsonObject>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkProxy>
#include <QUrl>
#include <nlohmann/json.hpp>

#include "Chromium/ChromiumPage.h"
#include "Chromium/ChromiumRoutedRequests.h"
#include "Scripts/ScriptPage.h"

// What a script's network callbacks see of a Chromium page (see
// ScriptPage::NetworkHooks): each request paused before it goes out, each
// response paused once its headers came, and each response followed to
// its end through the Network domain's events, with its body when the
// request's callback or the page asked to keep it. Only the hooks set
// pause anything; the page is unhooked when this goes.
class ChromiumScriptHooks {
public:
    // Sends a command to the page: a null answer when it failed.
    typedef std::function<nlohmann::json(const std::string& method, const nlohmann::json& params)> Call;
    // The cookies the browser sends to a URL.
    typedef std::function<QList<QNetworkCookie>(const QUrl& url)> Cookies;

    // bodiesKept: whether every response's body is kept; proxy: the
    // page's, which a request given a time-out of its own goes through.
    ChromiumScriptHooks(ChromiumPage& page, Call call, Cookies sentCookies, std::function<bool()> bodiesKept,
                        const QNetworkProxy& proxy);
    ~ChromiumScriptHooks();
    ChromiumScriptHooks(const ChromiumScriptHooks&) = delete;
    ChromiumScriptHooks& operator=(const ChromiumScriptHooks&) = delete;

    // Sets the hooks; throws DevToolsError as ChromiumPage::Hook does.
    void Set(const ScriptPage::NetworkHooks& hooks);
    // Takes one of the page's events.
    void Take(const std::string& method, const nlohmann::json& params);

private:
    // Shows a request about to go out, or a response whose headers came,
    // to the script's hook (see ChromiumPage::Hook); id is the request's.
    void ShowRequest(const std::string& id, ChromiumPage::Outgoing& request);
    // Sends request as decision routes it, when it gives a proxy or a
    // time-out.
    void Route(const ScriptPage::RequestDecision& decision, ChromiumPage::Outgoing& request);
    void ShowResponse(const std::string& id, ChromiumPage::Incoming& response);
    // Follows the Network domain's events of each request to its end,
    // shown to the finished hook.
    void FollowResponse(const std::string& method, const nlohmann::json& params);
    // Shows request id's response (a Network.Response; empty for none) to
    // the finished hook: ok when it came whole.
    void Finish(const std::string& id, const nlohmann::json& response, bool ok);
    // A response as the hooks describe it, answering request id.
    QJsonObject Described(const std::string& id, const std::string& url, int status, const std::string& reason,
                          const QList<QPair<QByteArray, QByteArray>>& headers);

    ChromiumPage& page;
    const Call call;
    const Cookies sentCookies;
    const std::function<bool()> bodiesKept;
    const QNetworkProxy proxy;
    ScriptPage::NetworkHooks hooks;
    // Made for the first request routed its own way.
    std::unique_ptr<ChromiumRoutedRequests> routes;
    // While hooks are set: each request as they describe it, the response
    // each has had, and the requests whose response bodies are kept; by
    // request id.
    std::map<std::string, QJsonObject> requests;
    std::map<std::string, nlohmann::json> responses;
    std::set<std::string> keptBodies;
};

#endif
