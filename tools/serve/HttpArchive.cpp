#include "HttpArchive.h"

#include <utility>
#include <vector>

namespace Orvo {
namespace Serve {

namespace {

const nlohmann::json& Member(const nlohmann::json& value, const char* key, const nlohmann::json& fallback) {
    if (!value.is_object()) {
        return fallback;
    }
    const auto found = value.find(key);
    return found != value.end() && found->type() == fallback.type() ? *found : fallback;
}

const nlohmann::json& Entries(const nlohmann::json& info) {
    static const nlohmann::json none = nlohmann::json::array();
    static const nlohmann::json noObject = nlohmann::json::object();
    return Member(Member(Member(info, "har", noObject), "log", noObject), "entries", none);
}

// Method and URL of a HAR entry's request.
std::pair<std::string, std::string> Asked(const nlohmann::json& entry) {
    static const nlohmann::json noRequest = nlohmann::json::object();
    static const nlohmann::json noText = "";
    const nlohmann::json& request = Member(entry, "request", noRequest);
    return {Member(request, "method", noText).get<std::string>(), Member(request, "url", noText).get<std::string>()};
}

} // namespace

nlohmann::json HttpArchive::Of(const nlohmann::json& info) {
    static const nlohmann::json noObject = nlohmann::json::object();
    const nlohmann::json& archive = Member(info, "har", noObject);
    if (Member(archive, "log", noObject).empty()) {
        const nlohmann::json none = nlohmann::json::array();
        return {{"log", {{"version", "1.2"}, {"pages", none}, {"entries", none}}}};
    }
    return archive;
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
