#ifndef ORVO_TOOLS_SERVE_METRICS_H
#define ORVO_TOOLS_SERVE_METRICS_H

#include <array>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "RenderPool.h"

namespace Orvo {
namespace Serve {

// The service's counters, written out in Prometheus's text format:
// requests answered by endpoint and outcome, a histogram of the time
// render requests took from arrival to answer, the pool's gauges, and
// with a job queue its state and jobs.
// Safe to use from several threads.
class Metrics {
public:
    // Upper bounds of the render-time buckets, in seconds.
    static constexpr std::array<double, 12> Buckets{0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 20, 30, 60, 90};

    void CountRequest(const std::string& endpoint, const std::string& outcome);
    void ObserveRender(double seconds);
    // Renders observed so far.
    unsigned long Renders() const;

    // The job queue's state; its metrics are written once it is told.
    void QueueReachable(bool reachable);
    void JobsHeld(long held);
    // outcome: "answered", "dead" or "redelivered".
    void CountJob(const std::string& outcome);

    std::string Text(const RenderPool::Stats& pool) const;

private:
    // Guards everything below.
    mutable std::mutex mutex;
    std::map<std::pair<std::string, std::string>, unsigned long> requests;
    std::array<unsigned long, Buckets.size()> bucketCounts{};
    unsigned long renders = 0;
    double renderSeconds = 0;
    bool queued = false;
    bool queueReachable = false;
    long jobsHeld = 0;
    std::map<std::string, unsigned long> jobs;
};

} // namespace Serve
} // namespace Orvo

#endif
