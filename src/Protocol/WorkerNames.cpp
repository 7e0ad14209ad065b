#include "Protocol/WorkerNames.h"

#include <algorithm>

#include "Protocol/ObjectName.h"

namespace Orvo {
namespace Browser {

std::string WorkerNames::RequestSegment(long pid) {
    return Interprocess::ObjectName::Format("Orvo_Browser_%ld_Request", pid);
}

std::string WorkerNames::ReadyMarker(long pid) {
    return Interprocess::ObjectName::Format("Orvo_Browser_%ld_Ready", pid);
}

bool WorkerNames::IsRequestName(const std::string& name) {
    static const std::string workers = "Orvo_Browser_";
    if (name.empty() || name.size() > MaxRequestNameLength || name.compare(0, workers.size(), workers) == 0) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.'
               || c == '-';
    });
}

} // namespace Browser
} // namespace Orvo
