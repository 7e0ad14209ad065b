#include "AutoEngine.h"

#include <algorithm>

namespace Orvo {
namespace Serve {

std::string AutoEngine::Reason(const nlohmann::json& info) {
    if (!info.is_object() || !info.contains("lacks") || !info["lacks"].is_array() || info["lacks"].empty()
        || !info["lacks"][0].is_string()) {
        return std::string();
    }
    std::string reason = info["lacks"][0].get<std::string>().substr(0, MaxReasonBytes);
    std::replace_if(reason.begin(), reason.end(), [](unsigned char c) { return c < ' ' || c > '~'; }, '?');
    return reason;
}

} // namespace Serve
} // namespace Orvo
