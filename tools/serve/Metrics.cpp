#include "Metrics.h"

#include <sstream>

namespace Orvo {
namespace Serve {

void Metrics::CountRequest(const std::string& endpoint, const std::string& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    ++requests[{endpoint, outcome}];
}

unsigned long Metrics::Renders() const {
    std::lock_guard<std::mutex> lock(mutex);
    return renders;
}

void Metrics::ObserveRender(double seconds) {
    std::lock_guard<std::mutex> lock(mutex);
    for (std::size_t k = 0; k < Buckets.size(); ++k) {
        bucketCounts[k] += seconds <= Buckets[k] ? 1 : 0;
    }
    ++renders;
    renderSeconds += seconds;
}

void Metrics::QueueReachable(bool reachable) {
    std::lock_guard<std::mutex> lock(mutex);
    queued = true;
    queueReachable = reachable;
}

void Metrics::JobsHeld(long held) {
    std::lock_guard<std::mutex> lock(mutex);
    jobsHeld = held;
}

void Metrics::CountJob(const std::string& outcome) {
    std::lock_guard<std::mutex> lock(mutex);
    ++jobs[outcome];
}

std::string Metrics::Text(const RenderPool::Stats& pool) const {
    std::ostringstream out;
    std::lock_guard<std::mutex> lock(mutex);
    out << "# HELP orvo_serve_requests_total HTTP requests answered, by endpoint and outcome.\n"
        << "# TYPE orvo_serve_requests_total counter\n";
    for (const auto& count : requests) {
        out << "orvo_serve_requests_total{endpoint=\"" << count.first.first << "\",outcome=\"" << count.first.second
            << "\"} " << count.second << "\n";
    }
    out << "# HELP orvo_serve_render_seconds Time from a render request's arrival to its answer.\n"
        << "# TYPE orvo_serve_render_seconds histogram\n";
    for (std::size_t k = 0; k < Buckets.size(); ++k) {
        out << "orvo_serve_render_seconds_bucket{le=\"" << Buckets[k] << "\"} " << bucketCounts[k] << "\n";
    }
    out << "orvo_serve_render_seconds_bucket{le=\"+Inf\"} " << renders << "\n"
        << "orvo_serve_render_seconds_sum " << renderSeconds << "\n"
        << "orvo_serve_render_seconds_count " << renders << "\n"
        << "# HELP orvo_serve_queue_length Render requests waiting for a worker.\n"
        << "# TYPE orvo_serve_queue_length gauge\n"
        << "orvo_serve_queue_length " << pool.queued << "\n"
        << "# HELP orvo_serve_workers_busy Workers with requests outstanding.\n"
        << "# TYPE orvo_serve_workers_busy gauge\n"
        << "orvo_serve_workers_busy " << pool.busyWorkers << "\n"
        << "# HELP orvo_serve_workers_ready Workers started and taking requests.\n"
        << "# TYPE orvo_serve_workers_ready gauge\n"
        << "orvo_serve_workers_ready " << pool.readyWorkers << "\n"
        << "# HELP orvo_serve_workers_restarted_total Workers started in place of one that ended.\n"
        << "# TYPE orvo_serve_workers_restarted_total counter\n"
        << "orvo_serve_workers_restarted_total " << pool.restartedWorkers << "\n"
        << "# HELP orvo_serve_workers_recycled_total Workers replaced while they ran but took no more requests.\n"
        << "# TYPE orvo_serve_workers_recycled_total counter\n"
        << "orvo_serve_workers_recycled_total " << pool.recycledWorkers << "\n";
    if (queued) {
        out << "# HELP orvo_serve_queue_reachable Whether the job queue's Redis answered last.\n"
            << "# TYPE orvo_serve_queue_reachable gauge\n"
            << "orvo_serve_queue_reachable " << (queueReachable ? 1 : 0) << "\n"
            << "# HELP orvo_serve_queue_jobs_held Jobs taken from the queue and not yet acknowledged.\n"
            << "# TYPE orvo_serve_queue_jobs_held gauge\n"
            << "orvo_serve_queue_jobs_held " << jobsHeld << "\n"
            << "# HELP orvo_serve_queue_jobs_total Jobs ended, by outcome.\n"
            << "# TYPE orvo_serve_queue_jobs_total counter\n";
        for (const auto& count : jobs) {
            out << "orvo_serve_queue_jobs_total{outcome=\"" << count.first << "\"} " << count.second << "\n";
        }
    }
    return out.str();
}

} // namespace Serve
} // namespace Orvo
