#include "RenderPool.h"

#include <algorithm>
#include <iostream>
#include <unordered_map>

#include "Client/RequestWindow.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

using Browser::Client::Outcome;
using Browser::Client::RequestWindow;
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

// A worker with the requests outstanding with it, and the tasks they stand
// for by tag. Only its thread touches it, but for the counts the stats
// read.
struct RenderPool::Slot {
    std::unique_ptr<RequestWindow> window;
    std::unordered_map<std::size_t, std::shared_ptr<RenderTask>> tasks;
    std::size_t lastTag = 0;
    std::atomic<bool> busy{false};
    std::atomic<bool> ready{false};
};

RenderPool::RenderPool(const Settings& settings) : settings(settings), stopping(false), restarted(0), recycled(0) {
    for (int k = 0; k < settings.workers; ++k) {
        slots.emplace_back(new Slot);
        slots.back()->window.reset(new RequestWindow(settings.inFlight, [this]() { return StartWorker(); }));
    }
}

void RenderPool::Start() {
    for (auto& slot : slots) {
        threads.emplace_back(&RenderPool::Serve, this, std::ref(*slot));
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
        stats.busyWorkers += slot->busy ? 1 : 0;
        stats.readyWorkers += slot->ready ? 1 : 0;
    }
    stats.restartedWorkers = restarted;
    stats.recycledWorkers = recycled;
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

void RenderPool::Serve(Slot& slot) {
    RequestWindow& window = *slot.window;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopping) {
                break;
            }
            if (window.Idle() && !window.HasResend() && window.Usable()) {
                taskQueued.wait_for(lock, std::chrono::milliseconds(IdleWaitMs),
                                    [this] { return stopping || !queue.empty(); });
                if (stopping) {
                    break;
                }
            }
        }
        if (window.Retiring() || (window.Idle() && window.NeedsWorker())) {
            Replace(slot);
            continue;
        }
        Fill(slot);
        if (!window.Idle()) {
            CollectAny(slot);
        }
    }
    GiveUp(slot);
    slot.window.reset();
}

// A fresh worker in place of one that retires (it answers what it holds
// meanwhile), ended, died or never started. When none starts, the thread
// waits a little before it tries again; the tasks wait in the queue
// meanwhile.
void RenderPool::Replace(Slot& slot) {
    const bool had = slot.window->GetClient() != nullptr;
    const bool retiring = slot.window->Retiring();
    slot.ready = false;
    std::string error;
    if (slot.window->Replace(error)) {
        slot.ready = true;
        restarted += had ? 1 : 0;
        recycled += retiring ? 1 : 0;
        return;
    }
    std::cerr << "orvo-serve: cannot start a worker: " << error << std::endl;
    std::unique_lock<std::mutex> lock(mutex);
    taskQueued.wait_for(lock, std::chrono::milliseconds(StartRetryMs), [this] { return stopping; });
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
    return std::unique_ptr<Browser::Client::Client>(new Browser::Client::Client(Browser::Client::Worker::Start(options)));
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

// Sends tasks, those to send again first, until the window is full; a task
// already answered (its deadline passed while it waited) is dropped unsent.
void RenderPool::Fill(Slot& slot) {
    RequestWindow& window = *slot.window;
    while (window.Usable() && !window.Full()) {
        std::size_t tag = 0;
        int attempts = 0;
        if (!window.TakeResend(tag, attempts)) {
            std::shared_ptr<RenderTask> fresh = Dequeue();
            if (!fresh) {
                return;
            }
            tag = ++slot.lastTag;
            slot.tasks.emplace(tag, std::move(fresh));
        }
        const std::shared_ptr<RenderTask> task = slot.tasks.at(tag);
        if (task->Claimed() || Clock::now() >= task->deadline) {
            slot.tasks.erase(tag);
            task->Finish(Result::Unanswered(task->url, Outcome::TimedOut, "the deadline passed before it was sent"));
            continue;
        }
        Browser::Request::Options options = task->options;
        options[Browser::Option::Timeout::Name()] = MillisecondsLeft(task->deadline) + WorkerTimeoutMarginMs;
        try {
            const bool sent = window.Send(tag, task->url, options, task->deadline, attempts);
            slot.busy = !window.Idle();
            if (!sent) {
                return;
            }
        } catch (const std::exception& e) {
            slot.tasks.erase(tag);
            task->Finish(Result::Unanswered(task->url, Outcome::Failed, e.what()));
        }
    }
}

// Takes the first outstanding request to be answered or past its grace, in
// whatever order they come, after one look at each. The worker's busy flag
// is set before the task is finished, so that whoever hears of its end sees
// the worker idle.
void RenderPool::CollectAny(Slot& slot) {
    RequestWindow::Settled settled;
    const bool taken = slot.window->TakeAny(settled, GraceMs, false);
    slot.busy = !slot.window->Idle();
    if (!taken) {
        return;
    }
    const std::shared_ptr<RenderTask> task = slot.tasks.at(settled.tag);
    slot.tasks.erase(settled.tag);
    task->Finish(std::move(settled.result));
}

void RenderPool::GiveUp(Slot& slot) {
    for (const std::size_t tag : slot.window->Abandon()) {
        GiveUpTask(*slot.tasks.at(tag));
    }
    slot.tasks.clear();
    slot.busy = false;
}

} // namespace Serve
} // namespace Orvo
