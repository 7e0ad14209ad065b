#ifndef ORVO_CLIENT_CLIENT_H
#define ORVO_CLIENT_CLIENT_H

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "Client/PendingRequest.h"
#include "Client/Result.h"
#include "Client/Worker.h"
#include "Protocol/Channel.h"
#include "Protocol/Request.h"
#include "Protocol/Segment.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

// Talks to one worker: puts requests on its request channel and collects
// their results from result channels of its own. Constructing one removes
// this user's result files older than an hour (SpillFiles).
//
// Submit sends a request and returns at once; Collect waits for its result;
// Render does both. Any number of requests may be in flight, submitted and
// collected from several threads. Every request gets a name unique to this
// client; the result segment and channel under that name are removed when
// the request is collected or dropped, whatever its outcome.
class Client {
public:
    typedef Interprocess::Channel<Segment, Request> RequestChannel;

    // Longest wait for the request channel's lock when submitting.
    static constexpr int SubmitLockMs = 10000;

    // How long one waiting for results pauses between looks: at first, and
    // at most, doubling in between.
    static constexpr std::chrono::microseconds FirstLook{25};
    static constexpr std::chrono::microseconds LastLook{2000};

    // The largest request sent, in RequestBytes: a worker's empty request
    // segment takes one of a little over half its size (its option texts
    // are copied into it), so half of it less 4 KiB always fits.
    static constexpr std::size_t MaxRequestBytes = WireFormat::RequestSegmentSize / 2 - (4 << 10);

    // A request's size as it counts against MaxRequestBytes: its URL, and
    // its options' names and texts.
    static std::size_t RequestBytes(const std::string& url, const Request::Options& options);

    // What Collect makes of a snapshot: the picture (Result::snapshot), or
    // only its size, read from its header, for a caller that reads the
    // field as sent (Result::encodedSnapshot) as it decodes
    // (SnapshotStream). Either way a snapshot whose header is malformed
    // fails the result.
    enum class Snapshots { Decoded, Encoded };

    // Uses a ready worker; throws WorkerUnavailable when it is not.
    explicit Client(std::unique_ptr<Worker> worker, Snapshots snapshots = Snapshots::Decoded);

    Worker& GetWorker() { return *worker; }

    // Sends a request for url with typed options (see Request). Throws
    // WorkerUnavailable when the worker has stopped taking requests,
    // std::invalid_argument for a bad option, std::length_error for a
    // request over MaxRequestBytes, SegmentFull "the request segment of
    // worker PID is full: ..." when no room is left for the request there
    // now, and std::runtime_error "shared memory is full ..." when the
    // system has too little room left for shared objects.
    std::unique_ptr<PendingRequest> Submit(const std::string& url, const Request::Options& options);

    // Waits up to timeoutMs for the request's result, looking from
    // FirstLook to LastLook apart (0: one look, no wait). The result is
    // removed from shared memory, its files read and removed, its snapshot
    // decoded unless the client keeps snapshots encoded.
    Result Collect(PendingRequest& pending, int timeoutMs);

    // Submit and Collect; a request that cannot be sent ends as WorkerGone
    // or Failed with the reason in error.
    Result Render(const std::string& url, const Request::Options& options, int timeoutMs);

private:
    std::string NewName();
    std::unique_ptr<PendingRequest> NewPending(const std::string& url);
    Result Read(PendingRequest& pending, PendingRequest::ResultChannel::Element& record);
    bool ReadSnapshot(Result& result) const;
    Result Unanswered(const PendingRequest& pending, Outcome outcome, const std::string& error);

    std::unique_ptr<Worker> worker;
    const Snapshots snapshots;
    Segment requestSegment;
    boost::shared_ptr<RequestChannel> requestChannel;
    const std::string prefix;
    std::atomic<unsigned long> counter;
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
