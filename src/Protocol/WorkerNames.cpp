#include "Protocol/WorkerNames.h"

#include <algorithm>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>

#include "Protocol/Channel.h"
#include "Protocol/ObjectName.h"
#include "Protocol/Request.h"
#include "Protocol/Segment.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

std::string WorkerNames::RequestSegment(long pid) {
    return Interprocess::ObjectName::Format(
        "%s", WireFormat::WorkerPrefix + std::to_string(pid) + WireFormat::RequestSegmentSuffix);
}

std::string WorkerNames::ReadyMarker(long pid) {
    return Interprocess::ObjectName::Format("%s",
                                            WireFormat::WorkerPrefix + std::to_string(pid) + WireFormat::ReadyMarkerSuffix);
}

void WorkerNames::Remove(long pid) {
    typedef Interprocess::Channel<Segment, Request> RequestChannel;
    const std::string segment = RequestSegment(pid);
    boost::interprocess::named_semaphore::remove(ReadyMarker(pid).c_str());
    boost::interprocess::named_mutex::remove(RequestChannel::MutexName(segment.c_str()).c_str());
    boost::interprocess::named_condition::remove(RequestChannel::ConditionName(segment.c_str()).c_str());
    boost::interprocess::shared_memory_object::remove(segment.c_str());
}

bool WorkerNames::IsRequestName(const std::string& name) {
    static const std::string workers = WireFormat::WorkerPrefix;
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
