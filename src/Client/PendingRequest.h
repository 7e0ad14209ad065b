#ifndef ORVO_CLIENT_PENDINGREQUEST_H
#define ORVO_CLIENT_PENDINGREQUEST_H

#include <string>

#include <boost/shared_ptr.hpp>

#include "Protocol/Channel.h"
#include "Protocol/Segment.h"
#include "Protocol/ServerResult.h"

namespace Orvo {
namespace Browser {
namespace Client {

// The client's side of one request in flight: the result segment and, in
// it, the result channel, both named with the request's name, where the
// worker delivers the result. Destroying it removes both names, whatever
// became of the request.
class PendingRequest {
public:
    typedef Interprocess::Channel<Segment, ServerResult> ResultChannel;

    // Room for the largest inline result (4 MiB of payload) with ample
    // margin; shared memory takes pages only as they are written.
    static constexpr std::size_t SegmentSize = ServerResult::SegmentSize;

    // Creates the segment and the channel; throws when either exists.
    PendingRequest(const std::string& url, const std::string& name);
    ~PendingRequest();

    PendingRequest(const PendingRequest&) = delete;
    PendingRequest& operator=(const PendingRequest&) = delete;

    const std::string& Url() const { return url; }
    const std::string& Name() const { return name; }
    Segment& ResultSegment() { return segment; }
    ResultChannel& Channel() { return *channel; }

private:
    const std::string url;
    const std::string name;
    Segment segment;
    boost::shared_ptr<ResultChannel> channel;
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
