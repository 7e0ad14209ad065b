#include "Client/PendingRequest.h"

#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>

#include "Client/FileReference.h"
#include "Protocol/SharedAccess.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

// Removes the segment's name if building the rest fails.
struct SegmentName {
    explicit SegmentName(const std::string& name) : name(name) {}
    ~SegmentName() {
        if (!kept) {
            boost::interprocess::shared_memory_object::remove(name.c_str());
        }
    }
    const std::string& name;
    bool kept = false;
};

const int DestroyLockMs = 1000;

// Results that arrived but were never collected (a second answer, or one
// after a time-out) may reference files that nobody else will remove.
void DiscardUncollected(PendingRequest::ResultChannel::List& list) {
    for (const PendingRequest::ResultChannel::Element& result : list) {
        if (result) {
            FileReference::Discard(std::string(result->body.begin(), result->body.end()));
            FileReference::Discard(std::string(result->snapshot.begin(), result->snapshot.end()));
        }
    }
}

} // namespace

PendingRequest::PendingRequest(const std::string& url, const std::string& name)
    : url(url),
      name(name),
      segment(boost::interprocess::create_only, name.c_str(), SegmentSize, nullptr,
              Interprocess::SharedAccess::Permissions()) {
    SegmentName guard(name);
    Interprocess::SharedAccess::HandOver(name, false);
    channel = ResultChannel::Create(segment, name.c_str());
    guard.kept = true;
}

PendingRequest::~PendingRequest() {
    channel.reset();
    try {
        ResultChannel::Destroy(segment, name.c_str(), &DiscardUncollected, DestroyLockMs);
    } catch (...) {
    }
    boost::interprocess::shared_memory_object::remove(name.c_str());
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
