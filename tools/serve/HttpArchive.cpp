#include "HttpArchive.h"

#include <vector>

namespace Orvo {
namespace Serve {

namespace {

const char* const PageId = "page_1";

const nlohmann::json& Member(const nlohmann::json& value, const char* key, const nlohmann::json& fallback) {
    if (!value.is_object()) {
        return fallback;
    }
    const auto found = value.find(key);
    if (found == value.end()) {
        return fallback;
    }
    const bool sameType = found->type() == fallback.type() || (found->is_number() && fallback.is_number());
    return sameType ? *found : fallback;
}

const nlohmann::json& Entries(const nlohmann::json& info) {
    static const nlohmann::json none = nlohmann::json::array();
    static const nlohmann::json noLog = nlohmann::json::object();
    return Member(Member(info, "har", noLog), "entries", none);
}

// Method and URL of a HAR entry's request.
std::pair<std::string, std::string> Asked(const nlohmann::json& entry) {
    static const nlohmann::json noRequest = nlohmann::json::object();
    static const nlohmann::json noText = "";
    const nlohmann::json& request = Member(entry, "request", noRequest);
    return {Member(request, "method", noText).get<std::string>(), Member(request, "url", noText).get<std::string>()};
}

} // namespace

nlohmann::json HttpArchive::FromPage(const nlohmann::json& info, const std::string& title) {
    static const nlohmann::json noLog = nlohmann::json::object();
    static const nlohmann::json noTime = "";
    static const nlohmann::json noLoad = -1;
    const nlohmann::json& har = Member(info, "har", noLog);
    nlohmann::json entries = nlohmann::json::array();
    for (const nlohmann::json& entry : Entries(info)) {
        if (entry.is_object()) {
            entries.push_back(entry);
            entries.back()["pageref"] = PageId;
        }
    }
    const nlohmann::json page = {{"startedDateTime", Member(har, "started", noTime)},
                                 {"id", PageId},
                                 {"title", title},
                                 {"pageTimings", {{"onContentLoad", -1}, {"onLoad", Member(har, "onLoad", noLoad)}}}};
    return {{"log",
             {{"version", "1.2"},
              {"creator", {{"name", "orvo-serve"}, {"version", ORVO_VERSION}}},
              {"pages", nlohmann::json::array({page})},
              {"entries", entries}}}};
}

void HttpArchive::AddContent(const nlohmann::json& info, nlohmann::json& history) {
    const nlohmann::json& entries = Entries(info);
    std::vector<bool> used(entries.size(), false);
    for (nlohmann::json& response : history) {
        for (std::size_t k = 0; k < entries.size(); ++k) {
            const nlohmann::json& entry = entries[k];
            if (used[k] || Asked(entry) != Asked(response) || !entry["response"].is_object()
                || !entry["response"].contains("content")) {
                continue;
            }
            used[k] = true;
            response["response"]["content"] = entry["response"]["content"];
            break;
        }
    }
}

} // namespace Serve
} // namespace Orvo
