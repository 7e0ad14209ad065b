#include "RenderPool.h"

#include <algorithm>
#include <iostream>
#include <unordered_map>

#include "Client/RequestWindow.h"
#include "Client/WindowLoop.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

using Browser::Client::Outcome;
using Browser::Client::RequestWindow;
using Browser::Client::WindowLoop;
using Browser::Client::Result;
using Clock = RenderTask::Clock;

namespace {

// How long an idle thread sleeps before it looks at its worker again.
const int IdleWaitMs = 500;
// How long a thread waits before it tries again to start a worker.
const int StartRetryMs = 1000;

// Ends a task the stopping pool will not render.
void GiveUpTask(RenderTask& task) {
    task.Finish(Result::Unanswered(task.url, Outcome::WorkerGone, "the service is stopping"));
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(1, left));
}

} // namespace

// One worker's loop and the tasks its requests stand for, by tag: the
// loop's source of tasks, from the pool's queue. Only its thread touches
// the tasks.
class RenderPool::Slot : public Browser::Client::WindowLoop::Source {
public:
    explicit Slot(RenderPool& pool)
        : pool(pool), loop([this]() { return this->pool.StartWorker(); }, pool.settings.inFlight, GraceMs, *this) {}

    WindowLoop& Loop() { return loop; }

private:
    bool Stopped() override { return pool.Stopping(); }
    bool More() override { return true; }

    void Await() override {
        std::unique_lock<std::mutex> lock(pool.mutex);
        pool.taskQueued.wait_for(lock, std::chrono::milliseconds(IdleWaitMs),
                                 [this] { return pool.stopping || !pool.queue.empty(); });
    }

    // The next queued task; one already answered (its deadline passed
    // while it waited) is finished unsent.
    bool Take(std::size_t& tag, WindowLoop::Task& task) override {
        while (std::shared_ptr<RenderTask> fresh = pool.Dequeue()) {
            if (!Unwanted(*fresh)) {
                tag = ++lastTag;
                tasks.emplace(tag, fresh);
                task = TaskOf(*fresh);
                return true;
            }
        }
        return false;
    }

    bool Again(std::size_t tag, WindowLoop::Task& task) override {
        const std::shared_ptr<RenderTask> again = tasks.at(tag);
        if (Unwanted(*again)) {
            tasks.erase(tag);
            return false;
        }
        task = TaskOf(*again);
        return true;
    }

    void Settle(RequestWindow::Settled& settled) override { Finish(settled.tag, std::move(settled.result)); }
    void Fail(std::size_t tag, int, Result result) override { Finish(tag, std::move(result)); }

    void Finish(std::size_t tag, Result result) {
        const std::shared_ptr<RenderTask> task = tasks.at(tag);
        tasks.erase(tag);
        task->Finish(std::move(result));
    }

    void GiveUp(std::size_t tag) override {
        GiveUpTask(*tasks.at(tag));
        tasks.erase(tag);
    }

    // The tasks wait in the queue while the thread waits a little before
    // it tries again.
    bool NoWorker(const std::string& error) override {
        std::cerr << "orvo-serve: cannot start a worker: " << error << std::endl;
        std::unique_lock<std::mutex> lock(pool.mutex);
        pool.taskQueued.wait_for(lock, std::chrono::milliseconds(StartRetryMs), [this] { return pool.stopping; });
        return false;
    }

    // Whether task is finished already or past its deadline; such a task
    // is finished (as timed out) and not sent.
    static bool Unwanted(RenderTask& task) {
        if (task.Claimed() || Clock::now() >= task.deadline) {
            task.Finish(Result::Unanswered(task.url, Outcome::TimedOut, "the deadline passed before it was sent"));
            return true;
        }
        return false;
    }

    static WindowLoop::Task TaskOf(const RenderTask& task) {
        WindowLoop::Task sent{task.url, task.options, task.deadline};
        sent.options[Browser::Option::Timeout::Name()] = MillisecondsLeft(task.deadline) + WorkerTimeoutMarginMs;
        return sent;
    }

    RenderPool& pool;
    std::unordered_map<std::size_t, std::shared_ptr<RenderTask>> tasks;
    std::size_t lastTag = 0;
    WindowLoop loop;
};

RenderPool::RenderPool(const Settings& settings) : settings(settings), stopping(false) {
    for (int k = 0; k < settings.workers; ++k) {
        slots.emplace_back(new Slot(*this));
    }
}

void RenderPool::Start() {
    for (auto& slot : slots) {
        threads.emplace_back(&WindowLoop::Run, &slot->Loop());
    }
}

RenderPool::~RenderPool() {
    Stop();
}

bool RenderPool::Submit(std::shared_ptr<RenderTask> task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || queue.size() >= settings.maxQueue) {
            return false;
        }
        queue.push_back(std::move(task));
    }
    taskQueued.notify_one();
    return true;
}

RenderPool::Stats RenderPool::GetStats() const {
    Stats stats;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stats.queued = queue.size();
    }
    for (const auto& slot : slots) {
        stats.busyWorkers += slot->Loop().Busy() ? 1 : 0;
        stats.readyWorkers += slot->Loop().Ready() ? 1 : 0;
        stats.restartedWorkers += slot->Loop().Replaced();
        stats.recycledWorkers += slot->Loop().Recycled();
    }
    return stats;
}

void RenderPool::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    taskQueued.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& task : queue) {
        GiveUpTask(*task);
    }
    queue.clear();
}

std::unique_ptr<Browser::Client::Client> RenderPool::StartWorker() const {
    Browser::Client::Worker::StartOptions options;
    options.program = settings.workerProgram;
    options.logFile = settings.workerLog;
    options.arguments = settings.workerArguments;
    if (settings.allowFileUrls) {
        options.arguments.push_back("--allow-file-urls");
    }
    if (!settings.deniedNetworks.empty()) {
        options.arguments.insert(options.arguments.end(), {"--denied-networks", settings.deniedNetworks});
    }
    options.Recycle(settings.recyclePages, settings.recycleRssMb);
    // Snapshots stay encoded: PNG answers are made as their rows decode, so
    // a tall page's picture never exists whole here.
    return std::unique_ptr<Browser::Client::Client>(new Browser::Client::Client(
        Browser::Client::Worker::Start(options), Browser::Client::Client::Snapshots::Encoded));
}

std::shared_ptr<RenderTask> RenderPool::Dequeue() {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.empty()) {
        return nullptr;
    }
    std::shared_ptr<RenderTask> task = std::move(queue.front());
    queue.pop_front();
    return task;
}

bool RenderPool::Stopping() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stopping;
}

} // namespace Serve
} // namespace Orvo
