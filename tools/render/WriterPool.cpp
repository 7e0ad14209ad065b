#include "WriterPool.h"

#include <algorithm>

namespace Orvo {
namespace Render {

namespace {

int ThreadCount(int asked) {
    return asked > 0 ? asked : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

} // namespace

WriterPool::WriterPool(int threadCount, std::size_t queuedPerThread)
    : capacity(std::max<std::size_t>(1, queuedPerThread) * static_cast<std::size_t>(ThreadCount(threadCount))),
      finishing(false) {
    for (int k = 0; k < ThreadCount(threadCount); ++k) {
        threads.emplace_back(&WriterPool::Work, this);
    }
}

WriterPool::~WriterPool() {
    Finish();
}

void WriterPool::Submit(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex);
    jobTaken.wait(lock, [this] { return jobs.size() < capacity; });
    jobs.push_back(std::move(job));
    jobQueued.notify_one();
}

void WriterPool::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        finishing = true;
    }
    jobQueued.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void WriterPool::Work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex);
            jobQueued.wait(lock, [this] { return finishing || !jobs.empty(); });
            if (jobs.empty()) {
                return;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        jobTaken.notify_one();
        job();
    }
}

} // namespace Render
} // namespace Orvo
