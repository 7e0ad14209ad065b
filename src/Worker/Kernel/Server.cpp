#include "Kernel/Server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include <boost/bind/bind.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>
#include <boost/thread/thread.hpp>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kernel/ServerTimes.h"
#include "Protocol/ExitStatus.h"
#include "Protocol/SharedAccess.h"
#include "Protocol/SpillFiles.h"
#include "Protocol/TimeDivisor.h"
#include "Protocol/WireFormat.h"
#include "Protocol/WorkerNames.h"
#include "Support/FaultCleaner.h"
#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

boost::shared_ptr<Server> Server::instance;

namespace {

void RemoveReadyMarker(const std::string& name) {
    boost::interprocess::named_semaphore::remove(name.c_str());
}

// Ends the process from the serving thread with status 0. Static objects
// are not destroyed: the main thread may still be using them, and the
// drain has already removed every shared object. Buffered output is
// flushed first.
[[noreturn]] void EndProcess() {
    std::cout.flush();
    std::fflush(nullptr);
    std::_Exit(0);
}

} // namespace

boost::shared_ptr<Server>& Server::Create(int pid) {
    log4cplus::Logger root = Logging::LoggerFactory::GetLogger("");
    LOG4CPLUS_DEBUG(root, "Server::Create => PID: " << pid);
    if (instance) {
        return instance;
    }
    const std::string name = WorkerNames::RequestSegment(pid);
    try {
        boost::interprocess::shared_memory_object::remove(name.c_str());
    } catch (...) {
        LOG4CPLUS_DEBUG(root, "Server::Create => SegmentRemove EXCEPTION");
    }
    instance.reset(new Server(pid, name.c_str()));
    return instance;
}

Server::Server(int pid, const char* segmentName)
    : pid(pid),
      segment(boost::interprocess::create_only, segmentName, SegmentSize, nullptr,
              Interprocess::SharedAccess::Permissions()),
      segmentName(segmentName),
      stopped(false),
      draining(false) {
    logger = Logging::LoggerFactory::GetLogger("Server");
    readyName = WorkerNames::ReadyMarker(pid);
    Interprocess::SharedAccess::HandOver(this->segmentName, false);
    LOG4CPLUS_DEBUG(logger, "Server => PID: " << pid);
}

Server::~Server() {
    if (!stopped) {
        try {
            Stop(true, false);
        } catch (...) {
        }
    }
}

void Server::Initialize() {
    try {
        requestChannel = RequestChannel::Create(segment, segmentName.c_str());
        RemoveReadyMarker(readyName);
        boost::interprocess::named_semaphore(boost::interprocess::create_only, readyName.c_str(), 1,
                                             Interprocess::SharedAccess::Permissions());
        Interprocess::SharedAccess::HandOver(readyName, true);
        FaultCleaner::Register(boost::bind(&Server::Destroy, pid));
        // Clients of other users in a shared group cannot remove this
        // user's spill files; those, and the files of clients that died,
        // go here.
        Interprocess::SpillFiles::SweepStale();
        return;
    } catch (const std::exception& e) {
        LOG4CPLUS_FATAL(logger, "Server::Initialize => ERROR: " << e.what());
    } catch (...) {
        LOG4CPLUS_FATAL(logger, "Server::Initialize => ERROR");
    }
    RemoveReadyMarker(readyName);
    stopped = true;
    if (requestChannel) {
        DestroyChannel();
    }
    LOG4CPLUS_DEBUG(logger, "Server::Initialize => std::exit(1)");
    std::exit(ExitStatus::StartupFailed);
}

void Server::Start(RequestLedger& requests, Callback callback) {
    ledger = &requests;
    Serve(callback);
}

void Server::Stop(bool wait, bool verbose) {
    if (stopped.exchange(true)) {
        if (verbose) {
            LOG4CPLUS_DEBUG(logger, "Server::Stop => STOPPED");
        }
        return;
    }
    if (verbose) {
        LOG4CPLUS_DEBUG(logger, "Server::Stop {");
    }
    RemoveReadyMarker(readyName);
    if (const boost::shared_ptr<RequestChannel> channel = CurrentChannel()) {
        // The sentinel wakes a serve loop waiting for a request.
        channel->Put(NewRecord(), PutTimeoutMs);
    }
    if (wait) {
        boost::unique_lock<boost::mutex> lock(stopMutex);
        if (verbose) {
            LOG4CPLUS_DEBUG(logger, "Server::Stop => LOCK");
        }
        if (requestChannel
            && !stopCondition.timed_wait(lock, boost::get_system_time() + boost::posix_time::milliseconds(StopWaitMs))
            && verbose) {
            LOG4CPLUS_ERROR(logger, "Server::Stop => TIMEOUT");
        }
    }
    if (verbose) {
        LOG4CPLUS_DEBUG(logger, "Server::Stop }");
        LOG4CPLUS_INFO(logger, "Server::Stopped");
    }
}

void Server::Retire() {
    RemoveReadyMarker(readyName);
}

void Server::Destroy(int pid) {
    try {
        LOG4CPLUS_DEBUG(Logging::LoggerFactory::GetLogger(""), "Server::Serve::_D::Destory");
        RemoveReadyMarker(WorkerNames::ReadyMarker(pid));
    } catch (...) {
        // A fault clean-up, maybe inside a terminate handler: logging what
        // failed could fail the same way, and nothing else is left to try.
    }
}

// Serving: take requests until stopped, idle or failed; then answer what is
// left dead, remove the shared objects, tell a waiting Stop, and wait to be
// interrupted before ending the process.
void Server::Serve(Callback callback) {
    LOG4CPLUS_DEBUG(logger, "Server::Serve => START");
    ServeRequests(callback);
    draining = true;
    LOG4CPLUS_DEBUG(logger, "Server::Serve => STOP 0");
    Drain();
    ReleaseChannel();
    AwaitInterruption();
    LOG4CPLUS_DEBUG(logger, "Server::Serve => STOP 2");
}

void Server::ServeRequests(const Callback& callback) {
    try {
        while (!stopped && ServeOne(callback)) {
        }
        return;
    } catch (const Interprocess::TimeOutException&) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve Interprocess::TimeOutException");
    } catch (const Browser::TimeOutException&) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve TimeOutException");
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "Server::Serve => Exception: " << e.what());
    } catch (...) {
        LOG4CPLUS_ERROR(logger, "Server::Serve EXCEPTION");
    }
    try {
        Stop(false, true);
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "Server::Serve => Exception: " << e.what());
    }
}

// One round of the loop; false leaves it. With no request waiting, waits
// for the next record; then takes what else is queued in the channel and
// hands on the request of the client whose turn it is. Once a record that
// ends serving was taken, nothing more is taken from the channel: the
// requests taken before it are still served, those behind it are answered
// dead by the drain. A request the server stopped before handing on stays
// queued in the ledger, for the drain.
bool Server::ServeOne(const Callback& callback) {
    if (stopped) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve => break");
        return false;
    }
    if (!endTaken) {
        TakeRecords();
    }
    const boost::shared_ptr<ServerRequest> request = ledger->Next();
    if (!request) {
        // Every record taken was refused, or serving ends here.
        return !endTaken;
    }
    if (!stopped) {
        callback(request);
    }
    return !stopped;
}

// Waits for a record when no request waits, then moves the records queued
// in the channel into the waiting queue while it has room, so that their
// segment memory is free for new requests at once. Stops at a record that
// ends serving; those behind it stay in the channel.
void Server::TakeRecords() {
    if (ledger->QueuedCount() == 0) {
        RequestChannel::Element record = NoRecord();
        requestChannel->Take(record, ServerTimes::RequestWaitMs());
        if (!Admit(record)) {
            return;
        }
    }
    while (ledger->QueuedCount() < MaxWaiting) {
        RequestChannel::Element record = NoRecord();
        if (!requestChannel->TakeQueued(record, ServerTimes::RequestWaitMs()) || !Admit(record)) {
            return;
        }
    }
}

// Copies one record's request into the waiting queue and frees its option
// map. Only a record without a name ends serving (the stop sentinel has
// none, and a destroyed channel gives none): false then. One with a name
// but no URL is a request, answered as a failed navigation by the main
// thread.
bool Server::Admit(RequestChannel::Element& record) {
    LOG4CPLUS_DEBUG(logger, "Server::GetRequest => GET");
    if (!record || record->name.empty()) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve => EMPTY");
        if (record) {
            record->Destroy(segment);
        }
        endTaken = true;
        return false;
    }
    if (const boost::shared_ptr<ServerRequest> request = Unpack(*record)) {
        ledger->Queue(request);
    }
    return true;
}

// The request a client's record holds, copied out, with the record's option
// map freed; empty when the record's name is refused.
boost::shared_ptr<ServerRequest> Server::Unpack(Request& record) {
    if (!WorkerNames::IsRequestName(std::string(record.name.begin(), record.name.end()))) {
        Refuse(record);
        return boost::shared_ptr<ServerRequest>();
    }
    record.Settle(segment);
    const boost::shared_ptr<ServerRequest> request = record.ToServerRequest();
    record.Destroy(segment);
    return request;
}

// A record whose name no result may be delivered under (too long for the
// system's names, odd characters, a worker's own namespace) is not served
// and cannot be answered; its option map is freed, and serving goes on.
void Server::Refuse(Request& record) {
    const std::string name(record.name.begin(), record.name.end());
    std::string shown = name.substr(0, 80);
    std::replace_if(shown.begin(), shown.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    LOG4CPLUS_ERROR(logger, "Server::Refuse => refused request name (" << name.size() << " bytes): " << shown);
    try {
        segment.destroy<Request::OptionMap>((name + WireFormat::OptionMapSuffix).c_str());
    } catch (const std::exception& e) {
        LOG4CPLUS_DEBUG(logger, "Server::Refuse => Exception: " << e.what());
    }
    record.options = nullptr;
}

void Server::AnswerDead(const boost::shared_ptr<ServerRequest>& request) const {
    try {
        SendDeadResponse(request);
    } catch (const std::exception& e) {
        LOG4CPLUS_DEBUG(logger, "Server::AnswerDead => Exception: " << e.what());
    }
}

void Server::AnswerQueuedDead() {
    for (const boost::shared_ptr<ServerRequest>& request : ledger->TakeQueued()) {
        AnswerDead(request);
    }
}

void Server::Drain() {
    if (logger.isEnabledFor(log4cplus::DEBUG_LOG_LEVEL)) {
        try {
            LOG4CPLUS_DEBUG(logger, "Server::Serve => len(requestChannel) = "
                                        << (requestChannel ? requestChannel->Size(ChannelLockWaitMs()) : 0));
        } catch (const std::exception& e) {
            LOG4CPLUS_ERROR(logger, "Server::Serve => Exception: " << e.what());
        }
    }
    RemoveReadyMarker(readyName);
    AnswerQueuedDead();
    DestroyChannel();
    boost::interprocess::shared_memory_object::remove(segmentName.c_str());
    LOG4CPLUS_DEBUG(logger, "Server::Serve => STOP 1");
}

// A failure here must not leave the serving thread: the drain goes on, so
// that the segment's name is removed and a waiting Stop is told. A lock
// that a dead client holds is waited for only so long: the queued records
// are then left unanswered, and the names removed all the same.
void Server::DestroyChannel() {
    try {
        RequestChannel::Destroy(segment, segmentName.c_str(),
                                boost::bind(&Server::SendDeadResponses, this, boost::placeholders::_1),
                                ChannelLockWaitMs());
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "Server::Serve => Exception: " << e.what());
    } catch (...) {
        LOG4CPLUS_ERROR(logger, "Server::Serve EXCEPTION");
    }
}

void Server::ReleaseChannel() {
    try {
        {
            boost::lock_guard<boost::mutex> lock(stopMutex);
            requestChannel.reset();
        }
        LOG4CPLUS_DEBUG(logger, "Server::Serve => NOTIFY");
        stopCondition.notify_one();
    } catch (const std::exception& e) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve => NOTIFY => Exception: " << e.what());
    } catch (...) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve => NOTIFY => EXCEPTION");
    }
}

void Server::AwaitInterruption() {
    try {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(ServerTimes::GracePeriodMs()));
        LOG4CPLUS_DEBUG(logger, "Server::Serve => TIMEOUT => std::exit(0)");
        EndProcess();
    } catch (const boost::thread_interrupted&) {
        LOG4CPLUS_DEBUG(logger, "Server::Serve => INTERRUPTTED");
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "Server::Serve => Exception: " << e.what());
    } catch (...) {
        LOG4CPLUS_ERROR(logger, "Server::Serve => EXCEPTION");
    }
}

void Server::SendDeadResponses(RequestChannel::List& list) {
    LOG4CPLUS_DEBUG(logger, "Server::SendDeadResponses");
    for (RequestChannel::Element& record : list) {
        if (!record || record->name.empty()) {
            continue;
        }
        try {
            if (const boost::shared_ptr<ServerRequest> request = Unpack(*record)) {
                SendDeadResponse(request);
            }
        } catch (const std::exception& e) {
            LOG4CPLUS_DEBUG(logger, "Server::SendDeadResponses => Exception: " << e.what());
        } catch (...) {
            LOG4CPLUS_DEBUG(logger, "Server::SendDeadResponses => EXCEPTION");
        }
    }
}

void Server::SendDeadResponse(const boost::shared_ptr<ServerRequest>& request) const {
    static const boost::gil::bgr8c_view_t none;
    LOG4CPLUS_DEBUG(logger, "Server::SendDeadResponse");
    SendResponse(request->name.c_str(), request->url.c_str(), WireFormat::Dead, WireFormat::Dead, none);
}

void Server::SendResponse(const char* name, const char* url, const char* detail, const char* body,
                          const char* encodedSnapshot, std::uint32_t snapshotLength) const {
    LOG4CPLUS_INFO(logger, "Server::SendResponse => " << url);
    try {
        if (!IsResultSegment(name)) {
            throw std::runtime_error(std::string("not a client's result segment: ") + name);
        }
        Segment client(boost::interprocess::open_only, name);
        const boost::shared_ptr<ResultChannel> channel = ResultChannel::Get(client, name);
        ServerResult* result = client.construct<ServerResult>(boost::interprocess::anonymous_instance)(
            client, url, detail, body, encodedSnapshot, snapshotLength);
        ResultChannel::Element element = boost::interprocess::make_managed_unique_ptr(result, client);
        channel->Put(boost::move(element), PutTimeoutMs);
    } catch (const Interprocess::TimeOutException&) {
        LOG4CPLUS_DEBUG(logger, "Server::SendResponse => TIMEOUT");
        throw Browser::TimeOutException();
    } catch (const std::exception& e) {
        LOG4CPLUS_DEBUG(logger, "Server::SendResponse => Exception: " << e.what());
        throw;
    } catch (...) {
        LOG4CPLUS_DEBUG(logger, "Server::SendResponse => EXCEPTION");
        throw;
    }
}

// A shared object a result may go into: a regular object whose
// managed-memory header is initialised and that is large enough for that
// header and a record. Its size is otherwise the client's choice. Opening
// an object whose header is not initialised (zero bytes, say) would wait
// for ever for its initialisation, and mapping one smaller than its header
// would read past its end.
bool Server::IsResultSegment(const char* name) {
    // Boost.Interprocess sets a managed segment's first word to this once
    // the segment is initialised.
    static const std::uint32_t InitializedSegment = 2;
    static const std::size_t SmallestSegment = Segment::segment_manager::get_min_size() + sizeof(ServerResult);
    const int fd = ::shm_open(name, O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    struct stat status;
    std::uint32_t state = 0;
    const bool usable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
                        && static_cast<std::size_t>(status.st_size) >= SmallestSegment
                        && ::pread(fd, &state, sizeof state, 0) == static_cast<ssize_t>(sizeof state)
                        && state == InitializedSegment;
    ::close(fd);
    return usable;
}

bool Server::HasQueuedRequests() {
    const boost::shared_ptr<RequestChannel> channel = CurrentChannel();
    return channel && channel->Size(ChannelLockWaitMs()) > 0;
}

void Server::ProbeRequestChannel() {
    const boost::shared_ptr<RequestChannel> channel = CurrentChannel();
    if (channel && !draining) {
        channel->Size(ChannelLockWaitMs());
    }
}

// The request channel while it exists; the serving thread releases it
// under stopMutex at the end of its drain.
boost::shared_ptr<Server::RequestChannel> Server::CurrentChannel() {
    boost::lock_guard<boost::mutex> lock(stopMutex);
    return requestChannel;
}

int Server::ChannelLockWaitMs() {
    return TimeDivisor::Scaled(ChannelLockMs);
}

void Server::RemoveNames() const {
    WorkerNames::Remove(pid);
}

// No record: what the serve loop takes records into. Allocating nothing, it
// cannot fail when clients have filled the segment.
Server::RequestChannel::Element Server::NoRecord() {
    return RequestChannel::Element(nullptr, segment.get_deleter<Request>());
}

// An empty record: the stop sentinel. It has no option map, so it cannot
// clash with a client's record.
Server::RequestChannel::Element Server::NewRecord() {
    return boost::interprocess::make_managed_unique_ptr(
        segment.construct<Request>(boost::interprocess::anonymous_instance)(segment), segment);
}

} // namespace Browser
} // namespace Orvo
