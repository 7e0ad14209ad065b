#include "Protocol/WorkerNames.h"

#include "Protocol/ObjectName.h"

namespace Orvo {
namespace Browser {

std::string WorkerNames::RequestSegment(long pid) {
    return Interprocess::ObjectName::Format("Orvo_Browser_%ld_Request", pid);
}

std::string WorkerNames::ReadyMarker(long pid) {
    return Interprocess::ObjectName::Format("Orvo_Browser_%ld_Ready", pid);
}

} // namespace Browser
} // namespace Orvo
