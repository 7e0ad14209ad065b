#ifndef ORVO_TOOLS_RENDER_QUEUEJOB_H
#define ORVO_TOOLS_RENDER_QUEUEJOB_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Protocol/Option.h"
#include "Record.h"
#include "Settings.h"
#include "queue/JobStreams.h"
#include "queue/RedisLink.h"

namespace Orvo {
namespace Render {

// Renders every URL of the settings with a fleet of orvo-serve instances
// that take their work from a Redis queue: adds one render.json job per URL
// (its id the URL's number) with a reply stream of this run's own, reads
// that stream until every URL has a result, and makes each result a
// Record, as a local run's. A result that comes twice (a job rendered
// again after its instance died) is taken once. Redis lost: it tries again
// with backoff and says so on standard error. Interrupted: the jobs not yet
// answered are deleted from the queue and reported failed.
class QueueJob {
public:
    typedef std::function<void(Record&)> Listener;

    // How long one read of the reply stream waits.
    static constexpr int ReadBlockMs = 1000;

    QueueJob(const Settings& settings, const std::atomic<bool>& interrupted);

    // Runs to the end; onDone hears of each URL as it is finished, on the
    // calling thread. Returns the records in input order.
    std::vector<Record> Run(const Listener& onDone);

    // The HTTP API's arguments that ask for what the settings' request
    // options ask of a worker.
    static nlohmann::json Arguments(const Settings& settings, const std::string& url);

    // Whether Arguments carries the option of row to the fleet.
    static bool Carries(const Browser::Option::Row& row);

    // A record for the result entry of the URL numbered index.
    static Record FromResult(const Queue::StreamEntry& entry, std::size_t index, const std::string& url);

private:
    void AddJobs(Queue::RedisLink& link);
    void ReadResults(Queue::RedisLink& link, const Listener& onDone);
    void Forget(Queue::RedisLink& link);
    bool Stopping() const;

    const Settings& settings;
    const std::atomic<bool>& interrupted;
    const Queue::JobStreams streams;
    const std::string replyStream;
    std::vector<Record> records;
    // The job entries added, by URL number; an entry goes once its URL is done.
    std::map<std::size_t, std::string> entries;
    std::size_t done;
};

} // namespace Render
} // namespace Orvo

#endif
