#include "Client/Client.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "Client/FileReference.h"
#include "Client/SegmentFull.h"
#include "Client/SnapshotStream.h"
#include "Client/WorkerUnavailable.h"
#include "Protocol/PageFaults.h"
#include "Protocol/SharedAccess.h"
#include "Protocol/SpillFiles.h"
#include "Protocol/TimeOutException.h"
#include "Protocol/WireFormat.h"
#include "Protocol/WorkerNames.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

// Room in shared memory, beyond its URL, that a request needs before it is
// sent: its option map and the first pages of its result segment, with
// ample margin.
const unsigned long long SharedRoomMargin = 4ull << 20;

// How many names a request tries before it gives up.
const int MaxNameAttempts = 100;

// The longest wait for a result channel's lock in one look.
const int LockSliceMs = 100;

std::atomic<unsigned long> clients(0);

// The field's pages in the segment and those of a large copy are new to
// this process: they are mapped in at once rather than fault by fault.
std::string Copy(const String& field) {
    PageFaults::AheadOfRead(field.data(), field.size());
    std::string copy;
    copy.reserve(field.size());
    PageFaults::AheadOfWrite(copy.data(), field.size());
    copy.assign(field.data(), field.size());
    return copy;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 9
           && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Segment OpenRequestSegment(Worker& worker) {
    if (!worker.IsReady()) {
        throw WorkerUnavailable("the worker " + std::to_string(worker.Pid()) + " does not take requests");
    }
    return Segment(boost::interprocess::open_only, WorkerNames::RequestSegment(worker.Pid()).c_str());
}

Outcome Classify(const Result& result) {
    if (result.detail == WireFormat::Dead && result.body == WireFormat::Dead) {
        return Outcome::Dead;
    }
    // An empty record is unusable, except as the failed navigation of an
    // empty URL, which has nothing to fill in.
    if (result.pageUrl.empty() && result.detail.empty() && result.body.empty() && result.encodedSnapshot.empty()
        && !result.url.empty()) {
        return Outcome::Failed;
    }
    // A failed navigation has no body, and its status as detail; none when
    // the server never answered.
    if (result.body.empty() && (result.detail.empty() || AllDigits(result.detail))) {
        return Outcome::NavigationError;
    }
    return Outcome::Rendered;
}

// Refuses a request while the system has too little room left for shared
// objects to take this request's record and result segment: writing past
// that room would kill this process.
void CheckSharedRoom(const std::string& url) {
    const unsigned long long free = Interprocess::SharedAccess::FreeBytes();
    if (free < SharedRoomMargin + url.size()) {
        throw std::runtime_error("shared memory is full (" + std::to_string(free)
                                 + " bytes free in /dev/shm): the request was not sent");
    }
}

} // namespace

// A worker started for this client that it cannot talk to (no descriptor
// left, say, or no longer ready) is ended: no one else holds it, and it
// would run on unseen until this process ends.
Client::Client(std::unique_ptr<Worker> worker, Snapshots snapshots)
    : worker(std::move(worker)),
      snapshots(snapshots),
      prefix(WireFormat::ClientPrefix + std::to_string(::getpid()) + "_" + std::to_string(clients++) + "_"),
      counter(0) {
    try {
        requestSegment = OpenRequestSegment(*this->worker);
        requestChannel = RequestChannel::Get(requestSegment, WorkerNames::RequestSegment(this->worker->Pid()).c_str());
    } catch (...) {
        this->worker->End();
        throw;
    }
    Interprocess::SpillFiles::SweepStale();
}

std::string Client::NewName() {
    return prefix + std::to_string(counter++);
}

std::size_t Client::RequestBytes(const std::string& url, const Request::Options& options) {
    std::size_t bytes = url.size();
    for (const auto& option : options) {
        const std::string* text = boost::any_cast<std::string>(&option.second);
        bytes += option.first.size() + (text != nullptr ? text->size() : 0);
    }
    return bytes;
}

// Another local user may have taken names this client would use (the
// names are predictable): such a name is passed over for the next.
std::unique_ptr<PendingRequest> Client::NewPending(const std::string& url) {
    for (int attempt = 1;; ++attempt) {
        try {
            return std::unique_ptr<PendingRequest>(new PendingRequest(url, NewName()));
        } catch (const boost::interprocess::interprocess_exception& e) {
            if (e.get_error_code() != boost::interprocess::already_exists_error || attempt == MaxNameAttempts) {
                throw;
            }
        }
    }
}

std::unique_ptr<PendingRequest> Client::Submit(const std::string& url, const Request::Options& options) {
    if (!worker->IsReady()) {
        throw WorkerUnavailable("the worker " + std::to_string(worker->Pid()) + " no longer takes requests");
    }
    const std::size_t bytes = RequestBytes(url, options);
    if (bytes > MaxRequestBytes) {
        throw std::length_error("the request is " + std::to_string(bytes) + " bytes, more than the "
                                + std::to_string(MaxRequestBytes) + " a worker takes");
    }
    CheckSharedRoom(url);
    std::unique_ptr<PendingRequest> pending = NewPending(url);
    Request* request = nullptr;
    try {
        request = requestSegment.construct<Request>(boost::interprocess::anonymous_instance)(requestSegment, url,
                                                                                           pending->Name(), options);
    } catch (const boost::interprocess::bad_alloc&) {
        throw SegmentFull("the request segment of worker " + std::to_string(worker->Pid())
                          + " is full: too many requests wait there; send again once some are answered");
    }
    RequestChannel::Element record = boost::interprocess::make_managed_unique_ptr(request, requestSegment);
    try {
        requestChannel->Put(boost::move(record), SubmitLockMs);
    } catch (const Interprocess::TimeOutException&) {
        record->Destroy(requestSegment);
        throw WorkerUnavailable("the worker " + std::to_string(worker->Pid()) + " did not accept the request in time");
    } catch (...) {
        record->Destroy(requestSegment);
        throw;
    }
    return pending;
}

// Results are looked for, not waited for on the channel's condition: its
// inner lock is taken without a time limit, and a worker killed while it
// signalled would hold it for good. The mutex is a semaphore whose waits
// are timed, so a dead holder costs one time-out. The looks back off from
// FirstLook to LastLook apart, so a quick answer is seen quickly and a slow
// one costs little.
Result Client::Collect(PendingRequest& pending, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    PendingRequest::ResultChannel::Element record(nullptr, pending.ResultSegment().get_deleter<ServerResult>());
    std::chrono::microseconds pause = FirstLook;
    for (;;) {
        const long remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const bool alive = worker->IsAlive();
        try {
            // Once the worker is gone, one last look without waiting.
            pending.Channel().TakeQueued(record, alive ? static_cast<int>(std::clamp<long>(remaining, 1, LockSliceMs))
                                                       : -1);
        } catch (const Interprocess::TimeOutException&) {
        }
        if (record) {
            return Read(pending, record);
        }
        if (!alive) {
            return Unanswered(pending, Outcome::WorkerGone,
                              "the worker " + std::to_string(worker->Pid()) + " ended without answering");
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return Unanswered(pending, Outcome::TimedOut, "no result within " + std::to_string(timeoutMs) + " ms");
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, LastLook);
    }
}

Result Client::Render(const std::string& url, const Request::Options& options, int timeoutMs) {
    std::unique_ptr<PendingRequest> pending;
    try {
        pending = Submit(url, options);
    } catch (const WorkerUnavailable& e) {
        return Result::Unanswered(url, Outcome::WorkerGone, e.what());
    } catch (const std::exception& e) {
        return Result::Unanswered(url, Outcome::Failed, e.what());
    }
    return Collect(*pending, timeoutMs);
}

Result Client::Read(PendingRequest& pending, PendingRequest::ResultChannel::Element& record) {
    Result result;
    result.url = pending.Url();
    result.name = pending.Name();
    result.pageUrl = Copy(record->pageUrl);
    result.detail = Copy(record->detail);
    result.body = Copy(record->body);
    result.encodedSnapshot = Copy(record->snapshot);
    record.reset();
    if (!FileReference::Resolve(result.body, result.error)
        || !FileReference::Resolve(result.encodedSnapshot, result.error)) {
        FileReference::Discard(result.encodedSnapshot);
        result.outcome = Outcome::Failed;
        return result;
    }
    result.outcome = Classify(result);
    if (result.outcome == Outcome::NavigationError && !result.detail.empty()) {
        result.status = std::stoi(result.detail);
    }
    if (!result.encodedSnapshot.empty() && !ReadSnapshot(result)) {
        result.outcome = Outcome::Failed;
    }
    return result;
}

bool Client::ReadSnapshot(Result& result) const {
    if (snapshots == Snapshots::Decoded) {
        return Snapshot::Decode(result.encodedSnapshot, result.snapshot, result.error);
    }
    SnapshotStream stream;
    if (!stream.Open(result.encodedSnapshot, result.error)) {
        return false;
    }
    result.snapshot.width = stream.Width();
    result.snapshot.height = stream.Height();
    return true;
}

Result Client::Unanswered(const PendingRequest& pending, Outcome outcome, const std::string& error) {
    Result result = Result::Unanswered(pending.Url(), outcome, error);
    result.name = pending.Name();
    return result;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
