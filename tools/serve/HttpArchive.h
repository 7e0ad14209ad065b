#ifndef ORVO_TOOLS_SERVE_HTTPARCHIVE_H
#define ORVO_TOOLS_SERVE_HTTPARCHIVE_H

#include <string>

#include <nlohmann/json.hpp>

namespace Orvo {
namespace Serve {

// HTTP Archive (HAR 1.2) documents from a worker's page description: its
// "har" member holds when the page started, when it loaded and its network
// entries; the envelope (log, creator, the one page) is made here. The
// description is read without trusting its shape: what is missing or of
// another type reads as empty.
class HttpArchive {
public:
    // {"log": {"version": "1.2", "creator", "pages": [the page,
    // titled title], "entries": [...]}}.
    static nlohmann::json FromPage(const nlohmann::json& info, const std::string& title);

    // Gives each entry of history (HAR-shaped responses of the main
    // document) the response content of the first network entry not yet
    // used with the same method and URL, when the description has one.
    static void AddContent(const nlohmann::json& info, nlohmann::json& history);
};

} // namespace Serve
} // namespace Orvo

#endif
