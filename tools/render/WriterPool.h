#ifndef ORVO_TOOLS_RENDER_WRITERPOOL_H
#define ORVO_TOOLS_RENDER_WRITERPOOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvo {
namespace Render {

// Runs jobs on a fixed number of threads behind a bounded queue. Submit
// returns as soon as the job is queued, and waits only while the queue is
// full: results waiting to be written stay few however fast they come.
// Finish (also run by the destructor) waits for every job queued and ends
// the threads.
class WriterPool {
public:
    // threads 0 means one per core; the queue holds queuedPerThread jobs
    // per thread.
    WriterPool(int threads, std::size_t queuedPerThread);
    ~WriterPool();

    WriterPool(const WriterPool&) = delete;
    WriterPool& operator=(const WriterPool&) = delete;

    void Submit(std::function<void()> job);
    void Finish();

private:
    void Work();

    const std::size_t capacity;
    // Guards jobs and finishing.
    std::mutex mutex;
    std::condition_variable jobQueued;
    std::condition_variable jobTaken;
    std::deque<std::function<void()>> jobs;
    bool finishing;
    std::vector<std::thread> threads;
};

} // namespace Render
} // namespace Orvo

#endif
