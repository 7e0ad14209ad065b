#include "WriterPool.h"

#include <algorithm>

namespace Orvo {
namespace Render {

WriterPool::WriterPool(int threadCount, std::size_t capacity)
    : capacity(std::max<std::size_t>(1, capacity)), finishing(false) {
    const int count = threadCount > 0 ? threadCount : std::max(1u, std::thread::hardware_concurrency());
    for (int k = 0; k < count; ++k) {
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
