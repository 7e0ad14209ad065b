#ifndef ORVO_TOOLS_SERVE_QUEUECONSUMER_H
#define ORVO_TOOLS_SERVE_QUEUECONSUMER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "AccessLog.h"
#include "HttpService.h"
#include "Metrics.h"
#include "Reply.h"
#include "queue/JobStreams.h"
#include "queue/RedisLink.h"

namespace Orvo {
namespace Serve {

// Takes render jobs from a Redis stream (JobStreams) through its consumer
// group and answers each as the HTTP service answers the same request,
// into the job's reply stream; a job is acknowledged (and deleted from the
// stream) only after its result is added, so a job whose consumer dies is
// never lost: it stays pending and another consumer claims it once it has
// been idle for claimIdleMs.
//
// The reader thread keeps at most capacity jobs rendering at once (the
// pool's room: a job whose answer is being written no longer takes any)
// and claims idle jobs every ClaimEveryMs; the writer thread adds results
// and acknowledges, in the order jobs end. A job whose worker was lost is
// claimed again by this consumer (counting a delivery) and rendered anew;
// one delivered maxDeliveries times without an answer goes to the dead
// stream, with a result saying so, and is acknowledged. Redis unreachable:
// both threads try again with backoff, say so in the log and the metrics,
// and keep what they hold until it can be written.
class QueueConsumer {
public:
    struct Settings {
        Queue::RedisAddress address;
        std::string name = "orvo";
        // HOSTNAME:PID.
        std::string consumer;
        int capacity = 8;
        int maxDeliveries = 3;
        std::size_t maxResultBytes = 32 << 20;
        long maxLength = 100000;
        // How long a job stays pending, unacknowledged, before another
        // consumer takes it over: longer than any job can take here.
        int claimIdleMs = 120000;
    };

    // How often idle jobs are claimed (scaled by the test divisor).
    static constexpr int ClaimEveryMs = 10000;
    // How long the reader waits on the stream for new jobs at a time.
    static constexpr int ReadBlockMs = 1000;
    // A job the pool had no room for is given to it again this much later.
    static constexpr int FullPoolRetryMs = 1000;

    QueueConsumer(const Settings& settings, boost::asio::io_context& io, HttpService& service, Metrics& metrics,
                  AccessLog& log);
    // Stop.
    ~QueueConsumer();

    QueueConsumer(const QueueConsumer&) = delete;
    QueueConsumer& operator=(const QueueConsumer&) = delete;

    void Start();

    // No job is read or claimed any more; those held are still finished.
    void StopReading();

    // Ends both threads at once; a job held and not yet acknowledged stays
    // pending in Redis for another consumer.
    void Stop();

private:
    struct Job;
    struct Ending;

    void Read();
    void ReadOnce(Queue::RedisConnection& redis, std::chrono::steady_clock::time_point& nextClaim);
    int AwaitRoom();
    void Claim(Queue::RedisConnection& redis, int room);
    void Hold(const Queue::StreamEntry& entry, long deliveries);
    void Begin(const Job& job);
    void Finished(const Job& job, const Reply& reply);

    void Write();
    void Settle(Queue::RedisConnection& redis, Ending& ending);
    // Adds the job, its delivery count and error to the dead stream.
    void AddDead(Queue::RedisConnection& redis, const Job& job, const std::string& error);
    void AddResult(Queue::RedisConnection& redis, const Job& job, const Reply& reply);
    void Release(const std::string& outcome);

    // Whether Stop (outright) or StopReading was called.
    bool Stopping(bool outright);
    void EnsureGroup(Queue::RedisConnection& redis);
    void LinkChanged(const std::string& role, bool reachable, const std::string& why);

    const Settings settings;
    const Queue::JobStreams streams;
    boost::asio::io_context& io;
    HttpService& service;
    Metrics& metrics;
    AccessLog& log;
    std::string claimCursor;

    // Guards held, rendering, endings, stopReading and stopped;
    // roomOrEnding wakes the reader (room) and the writer (an ending or a
    // stop).
    std::mutex mutex;
    std::condition_variable roomOrEnding;
    // Jobs taken and not yet acknowledged; of those, the ones rendering.
    long held;
    long rendering;
    std::deque<Ending> endings;
    bool stopReading;
    bool stopped;

    std::thread reader;
    std::thread writer;
};

} // namespace Serve
} // namespace Orvo

#endif
