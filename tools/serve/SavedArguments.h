#ifndef ORVO_TOOLS_SERVE_SAVEDARGUMENTS_H
#define ORVO_TOOLS_SERVE_SAVEDARGUMENTS_H

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "RenderArguments.h"

namespace Orvo {
namespace Serve {

// Argument values a client asked the service to keep (save_args), found
// again by the SHA1 of their JSON text (load_args), so that a crawler sends
// a long script or header set once. At most Capacity values are kept, the
// least recently used going first; nothing survives a restart, so a client
// sends the values again when a load misses (498).
//
// Not thread-safe: the service uses it on its one I/O thread.
class SavedArguments {
public:
    static constexpr std::size_t Capacity = 500;

    // Replaces the load_args of texts (an object {name: hash}, or the text
    // "name=hash;...") by the values saved under those hashes. Returns the
    // names whose values are not kept, in order; texts is unchanged then.
    // Throws BadArgument for a load_args of another shape.
    std::vector<std::string> Load(RenderArguments::Texts& texts);

    // Keeps the values of the arguments save_args names (a list, or a text
    // of names separated by commas) and returns the answer's
    // X-Splash-Saved-Arguments value, "name=hash;..." (empty when nothing
    // was asked to be saved). Throws BadArgument for a save_args of another
    // shape, and for a value that is not UTF-8 text (it has no JSON text to
    // hash).
    std::string Save(const RenderArguments::Texts& texts);

    // The SHA1, in hex, of value's compact JSON text. Throws
    // nlohmann::json::type_error for a text that is not UTF-8.
    static std::string Hash(const nlohmann::json& value);

private:
    typedef std::list<std::pair<std::string, nlohmann::json>> Entries;

    void Keep(const std::string& hash, const nlohmann::json& value);

    // Most recently used first.
    Entries entries;
    std::unordered_map<std::string, Entries::iterator> byHash;
};

} // namespace Serve
} // namespace Orvo

#endif
