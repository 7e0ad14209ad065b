#ifndef ORVO_TOOLS_SERVE_HTTPARCHIVE_H
#define ORVO_TOOLS_SERVE_HTTPARCHIVE_H

#include <nlohmann/json.hpp>

namespace Orvo {
namespace Serve {

// The HTTP Archive (HAR 1.2) in a worker's page description (its "har"
// member, asked for with the networkLog option). The description is read
// without trusting its shape: what is missing or of another type reads as
// empty.
class HttpArchive {
public:
    // The archive, {"log": {...}}; one without pages or entries when the
    // description holds none.
    static nlohmann::json Of(const nlohmann::json& info);

    // Gives each entry of history (HAR-shaped responses of the main
    // document) the response content of the first archive entry not yet
    // used with the same method and URL, when the archive has one.
    static void AddContent(const nlohmann::json& info, nlohmann::json& history);
};

} // namespace Serve
} // namespace Orvo

#endif
