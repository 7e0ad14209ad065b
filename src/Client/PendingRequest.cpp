#include "Client/PendingRequest.h"

#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
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

// A worker writes into the result segment, so a broken one may have
// destroyed the channel's list: then Destroy removes nothing, and the names
// are removed here, so that none outlives the request.
PendingRequest::~PendingRequest() {
    channel.reset();
    try {
        ResultChannel::Destroy(segment, name.c_str(), &DiscardUncollected, DestroyLockMs);
    } catch (const std::exception&) {
        boost::interprocess::named_condition::remove(ResultChannel::ConditionName(name.c_str()).c_str());
        boost::interprocess::named_mutex::remove(ResultChannel::MutexName(name.c_str()).c_str());
    }
    boost::interprocess::shared_memory_object::remove(name.c_str());
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
