#ifndef ORVO_KERNEL_SERVER_H
#define ORVO_KERNEL_SERVER_H

#include <atomic>
#include <cstdint>
#include <string>

#include <boost/function.hpp>
#include <boost/gil.hpp>
#include <boost/interprocess/smart_ptr/unique_ptr.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include "Kernel/RequestLedger.h"
#include "Kernel/TimeOutException.h"
#include "Protocol/Channel.h"
#include "Protocol/Request.h"
#include "Protocol/Segment.h"
#include "Protocol/ServerRequest.h"
#include "Protocol/ServerResult.h"
#include "Protocol/SnapshotEncoder.h"
#include "Protocol/TimeOutException.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

// The worker's owner of shared memory, one per process (Server::instance).
// It creates the request segment "Orvo_Browser_PID_Request" with its
// request channel and the ready marker "Orvo_Browser_PID_Ready", runs the
// serve loop on the serving thread, writes results into clients' result
// channels, and tears its objects down again. The serve loop takes queued
// records out of the channel as they come, queues their requests in the
// ledger and hands them on one at a time, the clients taken in turn. A
// record without a name (the stop sentinel, or a client's) keeps the
// channel's order: the requests queued before it are served, those behind
// it answered dead.
//
// Order of use: Create and Initialize on the main thread, Start on the
// serving thread, Stop from either thread, destruction at process exit.
// SendResponse and SendDeadResponse may be called from any thread at any
// time. A stopped server is never restarted.
class Server {
public:
    typedef Interprocess::Channel<Segment, Request> RequestChannel;
    typedef Interprocess::Channel<Segment, ServerResult> ResultChannel;
    // Hands on the ledger's chosen request, or answers it.
    typedef boost::function<void(boost::shared_ptr<ServerRequest>)> Callback;

    static constexpr int SegmentSize = WireFormat::RequestSegmentSize;
    // The time-out of every put: the stop sentinel and each result.
    static constexpr int PutTimeoutMs = 180000;
    // How long Stop with wait true waits for the serving thread to drain.
    static constexpr int StopWaitMs = 15000;
    // The longest wait for the request channel's lock outside the serve
    // loop.
    static constexpr int ChannelLockMs = 5000;
    // The most requests the serving thread takes out of the channel ahead
    // of their hand-over; beyond that they wait in the channel.
    static constexpr std::size_t MaxWaiting = 10000;

    static boost::shared_ptr<Server> instance;

    // Creates the process's server on first call: a stale segment of the
    // same name is removed and the segment created afresh. Later calls
    // return the same instance. Throws when the segment cannot be created.
    static boost::shared_ptr<Server>& Create(int pid);

    // Stops the server (waiting, silently) unless it was stopped; removes no
    // name.
    ~Server();

    // Creates the request channel and the ready marker, registers the
    // marker's fault clean-up and sweeps this user's stale spill files. On any failure: FATAL log line, queued
    // requests answered dead, exit(1).
    void Initialize();

    // Runs the serve loop on the calling thread (the serving thread), with
    // ledger holding the requests taken out of the channel.
    void Start(RequestLedger& ledger, Callback callback);

    // Marks the server stopped, removes the ready marker and wakes the serve
    // loop with a stop sentinel; with wait, waits up to StopWaitMs for the
    // serving thread to release the channel. Silent without verbose. Throws
    // Interprocess::TimeOutException when the channel lock is not taken
    // within PutTimeoutMs.
    void Stop(bool wait, bool verbose);

    // Removes the ready marker and nothing else: clients stop sending, and
    // what they sent before is still taken and served.
    void Retire();

    // The fault clean-up: removes the ready marker of process pid. Safe to
    // run from a terminate handler.
    static void Destroy(int pid);

    // The serve loop; see Server.cpp. Returns when the serving thread is
    // interrupted during its grace period, else ends the process.
    void Serve(Callback callback);

    // Answers every valid request of list dead; a failing one does not stop
    // the others. Called by the channel layer while it destroys the channel.
    void SendDeadResponses(RequestChannel::List& list);

    // Delivers one result into the client's segment and channel named name.
    // An empty view (width or height 0) means no snapshot. Throws
    // Browser::TimeOutException when the client's channel lock is not taken
    // in time, and rethrows every other failure after logging it.
    template <class View>
    void SendResponse(const char* name, const char* url, const char* detail, const char* body,
                      const View& view) const;

    // The same with the snapshot already encoded (snapshotLength 0 for
    // none).
    void SendResponse(const char* name, const char* url, const char* detail, const char* body,
                      const char* encodedSnapshot, std::uint32_t snapshotLength) const;

    // Delivers the dead response (detail and body "DEAD", no snapshot).
    void SendDeadResponse(const boost::shared_ptr<ServerRequest>& request) const;

    bool IsStopped() const { return stopped; }

    // Whether requests wait in the request channel (counted under the
    // channel's lock, none once the channel is gone). Throws
    // Interprocess::TimeOutException when the lock is not taken within
    // ChannelLockMs.
    bool HasQueuedRequests();

    // Takes and releases the request channel's lock, to learn whether a
    // client died holding it. Throws Interprocess::TimeOutException when the
    // lock is not taken within ChannelLockMs. Does nothing once the serve
    // loop has ended: the drain holds the lock while it answers what is
    // left, and gives up on it by itself.
    void ProbeRequestChannel();

    // Removes every shared name of the worker (segment, channel, ready
    // marker) at once, for a worker that gives up without its drain.
    void RemoveNames() const;

private:
    Server(int pid, const char* segmentName);

    void ServeRequests(const Callback& callback);
    bool ServeOne(const Callback& callback);
    void TakeRecords();
    bool Admit(RequestChannel::Element& record);
    boost::shared_ptr<ServerRequest> Unpack(Request& record);
    void AnswerQueuedDead();
    static bool IsResultSegment(const char* name);
    void AnswerDead(const boost::shared_ptr<ServerRequest>& request) const;
    void Refuse(Request& record);
    void Drain();
    void ReleaseChannel();
    void AwaitInterruption();
    void DestroyChannel();
    boost::shared_ptr<RequestChannel> CurrentChannel();
    static int ChannelLockWaitMs();
    RequestChannel::Element NoRecord();
    RequestChannel::Element NewRecord();

    log4cplus::Logger logger;
    int pid;
    Segment segment;
    std::string segmentName;
    boost::shared_ptr<RequestChannel> requestChannel;
    // Set by Start: where requests taken from the channel wait.
    RequestLedger* ledger = nullptr;
    // Serving thread only: a record that ends serving was taken; what was
    // taken before it is still served, nothing more is taken.
    bool endTaken = false;
    std::string readyName;
    boost::mutex stopMutex;
    boost::condition_variable stopCondition;
    std::atomic<bool> stopped;
    // Set by the serving thread when its loop has ended and it drains.
    std::atomic<bool> draining;
};

template <class View>
void Server::SendResponse(const char* name, const char* url, const char* detail, const char* body,
                          const View& view) const {
    std::uint32_t snapshotLength = 0;
    const boost::shared_array<char> encoded = SnapshotEncoder::Encode(view, &snapshotLength);
    SendResponse(name, url, detail, body, encoded ? encoded.get() : "", snapshotLength);
}

} // namespace Browser
} // namespace Orvo

#endif
