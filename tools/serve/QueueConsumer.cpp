#include "QueueConsumer.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "HttpSession.h"
#include "Protocol/TimeDivisor.h"

namespace Orvo {
namespace Serve {

namespace {

typedef std::chrono::steady_clock Clock;
using Queue::RedisConnection;
using Queue::RedisError;
using Queue::RedisReply;
using Queue::StreamEntry;

const char AllClaimed[] = "0-0";

// How often Redis has delivered the pending entry id (1 when not pending).
long Deliveries(RedisConnection& redis, const Queue::JobStreams& streams, const std::string& id) {
    const RedisReply pending = redis.Command({"XPENDING", streams.jobs, streams.group, id, id, "1"});
    if (pending.elements.empty() || pending.elements[0].elements.size() < 4) {
        return 1;
    }
    return pending.elements[0].elements[3].integer;
}

} // namespace

// A job held: its stream entry, how often it was delivered, and since when
// this consumer holds it.
struct QueueConsumer::Job {
    StreamEntry entry;
    long deliveries;
    Clock::time_point taken;
};

// A job whose answer is ready to be settled with Redis.
struct QueueConsumer::Ending {
    Job job;
    Reply reply;
};

QueueConsumer::QueueConsumer(const Settings& settings, boost::asio::io_context& io, HttpService& service,
                             Metrics& metrics, AccessLog& log)
    : settings(settings), streams(settings.name), io(io), service(service), metrics(metrics), log(log),
      claimCursor(AllClaimed), held(0), rendering(0), stopReading(false), stopped(false) {
    metrics.QueueReachable(true);
    metrics.JobsHeld(0);
}

QueueConsumer::~QueueConsumer() {
    Stop();
}

void QueueConsumer::Start() {
    log.Message("taking jobs from " + streams.jobs + " of " + settings.address.Text() + " as "
                + settings.consumer);
    reader = std::thread(&QueueConsumer::Read, this);
    writer = std::thread(&QueueConsumer::Write, this);
}

void QueueConsumer::StopReading() {
    std::lock_guard<std::mutex> lock(mutex);
    stopReading = true;
    roomOrEnding.notify_all();
}

void QueueConsumer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopReading = true;
        stopped = true;
        roomOrEnding.notify_all();
    }
    if (reader.joinable()) {
        reader.join();
    }
    if (writer.joinable()) {
        writer.join();
    }
}

bool QueueConsumer::Stopping(bool outright) {
    std::lock_guard<std::mutex> lock(mutex);
    return outright ? stopped : stopReading;
}

void QueueConsumer::LinkChanged(const std::string& role, bool reachable, const std::string& why) {
    metrics.QueueReachable(reachable);
    if (reachable) {
        log.Message("queue: " + settings.address.Text() + " reachable again (" + role + ")");
    } else {
        log.Message("queue: " + settings.address.Text() + " unreachable (" + role + "): " + why
                    + "; trying again");
    }
}

void QueueConsumer::EnsureGroup(RedisConnection& redis) {
    try {
        redis.Command({"XGROUP", "CREATE", streams.jobs, streams.group, "0", "MKSTREAM"});
    } catch (const RedisError& e) {
        if (e.Lost() || std::string(e.what()).compare(0, 9, "BUSYGROUP") != 0) {
            throw;
        }
    }
}

void QueueConsumer::Read() {
    Queue::RedisLink link(settings.address,
                          [this](bool reachable, const std::string& why) { LinkChanged("jobs", reachable, why); });
    const auto stopping = [this] { return Stopping(false); };
    Clock::time_point nextClaim = Clock::now();
    while (!stopping()) {
        try {
            ReadOnce(link.Get([this](RedisConnection& redis) { EnsureGroup(redis); }), nextClaim);
        } catch (const RedisError& e) {
            link.Fail(e, stopping);
        }
    }
}

// Waits for room, then claims idle jobs when it is time, or reads new ones.
void QueueConsumer::ReadOnce(RedisConnection& redis, Clock::time_point& nextClaim) {
    const int room = AwaitRoom();
    if (room == 0) {
        return;
    }
    if (Clock::now() >= nextClaim) {
        Claim(redis, room);
        // A scan that stopped half-way goes on at once.
        const int every = claimCursor == AllClaimed ? Browser::TimeDivisor::Scaled(ClaimEveryMs) : 0;
        nextClaim = Clock::now() + std::chrono::milliseconds(every);
        return;
    }
    const RedisReply reply = redis.Command({"XREADGROUP", "GROUP", streams.group, settings.consumer, "COUNT",
                                            std::to_string(room), "BLOCK", std::to_string(ReadBlockMs), "STREAMS",
                                            streams.jobs, ">"},
                                           ReadBlockMs);
    for (const RedisReply& stream : reply.elements) {
        if (stream.elements.size() == 2) {
            for (const StreamEntry& entry : StreamEntry::List(stream.elements[1])) {
                Hold(entry, 1);
            }
        }
    }
}

int QueueConsumer::AwaitRoom() {
    std::unique_lock<std::mutex> lock(mutex);
    roomOrEnding.wait(lock, [this] { return stopReading || rendering < settings.capacity; });
    return stopReading ? 0 : static_cast<int>(settings.capacity - rendering);
}

// Takes over jobs that stayed pending with some consumer for too long: it
// died, or lost its way to Redis.
void QueueConsumer::Claim(RedisConnection& redis, int room) {
    const RedisReply reply =
        redis.Command({"XAUTOCLAIM", streams.jobs, streams.group, settings.consumer,
                       std::to_string(settings.claimIdleMs), claimCursor, "COUNT", std::to_string(room)});
    if (reply.elements.size() < 2) {
        return;
    }
    claimCursor = reply.elements[0].text;
    for (const StreamEntry& entry : StreamEntry::List(reply.elements[1])) {
        Hold(entry, Deliveries(redis, streams, entry.id));
    }
}

void QueueConsumer::Hold(const StreamEntry& entry, long deliveries) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++held;
        ++rendering;
        metrics.JobsHeld(held);
    }
    service.RequestRead();
    Begin(Job{entry, deliveries, Clock::now()});
}

// Hands the job to the service, or, delivered too often, to the writer.
void QueueConsumer::Begin(const Job& job) {
    if (job.deliveries > settings.maxDeliveries) {
        Reply given = Reply::Error(
            503, "TooManyDeliveries", "The job was delivered more often than a job may be without an answer",
            {{"deliveries", job.deliveries}, {"max_deliveries", settings.maxDeliveries}},
            Reply::Outcome::TooManyDeliveries);
        return Finished(job, given);
    }
    const std::string args = job.entry.Field("args");
    if (args.size() > HttpSession::BodyLimit) {
        return Finished(job, Reply::Error(413, "RequestTooLarge", "The job's args are larger than 1 MB",
                                          {{"limit", HttpSession::BodyLimit}}, Reply::Outcome::TooLarge));
    }
    const std::string endpoint = job.entry.Field("endpoint");
    boost::asio::post(io, [this, job, endpoint, args] {
        service.HandleJob(endpoint, args, Clock::now(), [this, job](const Reply& reply) { Finished(job, reply); });
    });
}

void QueueConsumer::Finished(const Job& job, const Reply& reply) {
    if (reply.outcome == Reply::Outcome::QueueFull) {
        auto timer = std::make_shared<boost::asio::steady_timer>(io, std::chrono::milliseconds(FullPoolRetryMs));
        timer->async_wait([this, job, timer](boost::system::error_code) { Begin(job); });
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    --rendering;
    endings.push_back(Ending{job, reply});
    roomOrEnding.notify_all();
}

void QueueConsumer::Write() {
    Queue::RedisLink link(settings.address,
                          [this](bool reachable, const std::string& why) { LinkChanged("results", reachable, why); });
    const auto stopping = [this] { return Stopping(true); };
    for (;;) {
        Ending ending;
        {
            std::unique_lock<std::mutex> lock(mutex);
            roomOrEnding.wait(lock, [this] { return stopped || !endings.empty(); });
            if (stopped) {
                return;
            }
            ending = endings.front();
            endings.pop_front();
        }
        for (bool settled = false; !settled;) {
            try {
                Settle(link.Get(), ending);
                settled = true;
            } catch (const RedisError& e) {
                if (!e.Lost()) {
                    // Redis will not take it (the group or stream is gone):
                    // there is nothing left to acknowledge.
                    log.Message("queue: job " + ending.job.entry.id + " not settled: " + e.what());
                    Release("unsettled");
                    settled = true;
                    continue;
                }
                link.Fail(e, stopping);
                if (stopping()) {
                    return;
                }
            }
        }
    }
}

// Adds the job's result and acknowledges it; a job whose worker was lost
// is claimed again and rendered anew until it has been delivered
// maxDeliveries times, then it goes to the dead stream as well.
void QueueConsumer::Settle(RedisConnection& redis, Ending& ending) {
    Job& job = ending.job;
    const bool lost = ending.reply.outcome == Reply::Outcome::WorkerLost;
    if (lost && job.deliveries < settings.maxDeliveries) {
        const RedisReply claimed =
            redis.Command({"XCLAIM", streams.jobs, streams.group, settings.consumer, "0", job.entry.id});
        if (StreamEntry::List(claimed).empty()) {
            // Acknowledged or deleted meanwhile: someone else ended it.
            return Release("ended_elsewhere");
        }
        ++job.deliveries;
        metrics.CountJob("redelivered");
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++rendering;
        }
        return Begin(job);
    }
    bool dead = lost || ending.reply.outcome == Reply::Outcome::TooManyDeliveries;
    if (dead) {
        AddDead(redis, job, ending.reply.body);
    }
    try {
        AddResult(redis, job, ending.reply);
    } catch (const RedisError& e) {
        if (e.Lost()) {
            throw;
        }
        // The reply key will never take a result (it holds another type):
        // the job ends in the dead stream, saying why, instead of coming
        // back for ever.
        if (!dead) {
            AddDead(redis, job, Reply::Error(500, "ResultNotWritten", "The job's result could not be written",
                                             {{"reason", e.what()}}, Reply::Outcome::Internal)
                                    .body);
        }
        dead = true;
    }
    redis.Command({"XACK", streams.jobs, streams.group, job.entry.id});
    // The group is the stream's only reader: an ended job need not stay.
    redis.Command({"XDEL", streams.jobs, job.entry.id});
    Release(dead ? "dead" : "answered");
}

void QueueConsumer::AddDead(RedisConnection& redis, const Job& job, const std::string& error) {
    std::vector<std::string> command{"XADD", streams.dead, "MAXLEN", "~", std::to_string(settings.maxLength), "*"};
    for (const auto& field : job.entry.fields) {
        command.insert(command.end(), {field.first, field.second});
    }
    command.insert(command.end(),
                   {"entry", job.entry.id, "attempts", std::to_string(job.deliveries), "error", error});
    redis.Command(command);
}

void QueueConsumer::AddResult(RedisConnection& redis, const Job& job, const Reply& reply) {
    const Reply out = reply.body.size() <= settings.maxResultBytes
                          ? reply
                          : Reply::Error(413, "ResultTooLarge", "The result is larger than a result may be",
                                         {{"size", reply.body.size()}, {"limit", settings.maxResultBytes}},
                                         Reply::Outcome::TooLarge);
    const std::string stream = job.entry.Field("reply").empty() ? streams.results : job.entry.Field("reply");
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - job.taken).count();
    std::vector<std::string> command{"XADD", stream, "MAXLEN", "~", std::to_string(settings.maxLength), "*",
                                     "id", job.entry.Field("id"),
                                     "status", std::to_string(out.status),
                                     "content_type", out.contentType,
                                     "body", out.body,
                                     "attempts", std::to_string(job.deliveries),
                                     "consumer", settings.consumer,
                                     "ms", std::to_string(ms)};
    if (out.status != 200) {
        command.insert(command.end(), {"error", out.body});
    }
    redis.Command(command);
}

void QueueConsumer::Release(const std::string& outcome) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        --held;
        metrics.JobsHeld(held);
        roomOrEnding.notify_all();
    }
    metrics.CountJob(outcome);
    service.AnswerWritten();
}

} // namespace Serve
} // namespace Orvo
