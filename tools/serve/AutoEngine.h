#ifndef ORVO_TOOLS_SERVE_AUTOENGINE_H
#define ORVO_TOOLS_SERVE_AUTOENGINE_H

#include <string>

#include <nlohmann/json.hpp>

namespace Orvo {
namespace Serve {

// How engine=auto decides: a page is rendered on WebKit first, whose
// worker lists in the page's description what the page needed that the
// engine lacks (its "lacks": a script that failed to parse or threw, a
// module script, CSS grid or gap); a page that lacked anything is rendered
// again on Chromium. A page that was not rendered (a navigation error, a
// time-out) is answered as it is: another engine would not fetch it
// better.
class AutoEngine {
public:
    // The longest reason given, in bytes.
    static constexpr std::size_t MaxReasonBytes = 200;

    // What the page rendered on WebKit lacked first, from its parsed
    // description, on one line of printable ASCII (others become '?') at
    // most MaxReasonBytes long; empty when it lacked nothing.
    static std::string Reason(const nlohmann::json& described);
};

} // namespace Serve
} // namespace Orvo

#endif
