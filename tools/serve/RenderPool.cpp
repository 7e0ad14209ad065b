#include "RenderPool.h"

#include <algorithm>
#include <iostream>

#include <signal.h>

#include "Client/WorkerUnavailable.h"

namespace Orvo {
namespace Serve {

using Browser::Client::Outcome;
using Browser::Client::PendingRequest;
using Browser::Client::Result;
using Clock = RenderTask::Clock;

namespace {

// A collection looks at each outstanding request this long, so that any of
// them is taken the moment it is answered and new tasks are sent soon.
const int PeekMs = 2;
// How long an idle thread sleeps before it looks at its worker again.
const int IdleWaitMs = 500;
// How long a thread waits before it tries again to start a worker.
const int StartRetryMs = 1000;
const int EndWaitMs = 10000;
const int MaxAttempts = 2;

// Ends a task the stopping pool will not render.
void GiveUpTask(RenderTask& task) {
    task.Finish(Result::Unanswered(task.url, Outcome::WorkerGone, "the service is stopping"));
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(1, left));
}

// One request sent and not yet settled.
struct InFlight {
    std::shared_ptr<RenderTask> task;
    std::unique_ptr<PendingRequest> pending;
};

} // namespace

// A worker and the requests outstanding with it; tasks to send again come
// first. Only its thread touches it, but for the counts the stats read.
struct RenderPool::Slot {
    std::unique_ptr<Browser::Client::Client> client;
    std::deque<InFlight> window;
    std::deque<std::shared_ptr<RenderTask>> again;
    bool workerEnded = true;
    std::atomic<bool> busy{false};
    std::atomic<bool> ready{false};
};

RenderPool::RenderPool(const Settings& settings) : settings(settings), stopping(false), restarted(0) {
    for (int k = 0; k < settings.workers; ++k) {
        slots.emplace_back(new Slot);
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
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (stopping) {
                break;
            }
            if (slot.window.empty() && slot.again.empty() && slot.client && !slot.workerEnded) {
                taskQueued.wait_for(lock, std::chrono::milliseconds(IdleWaitMs),
                                    [this] { return stopping || !queue.empty(); });
                if (stopping) {
                    break;
                }
            }
        }
        if (slot.window.empty() && (slot.workerEnded || !slot.client || !slot.client->GetWorker().IsReady())) {
            Replace(slot);
            continue;
        }
        Fill(slot);
        if (!slot.window.empty()) {
            CollectAny(slot);
        }
    }
    GiveUp(slot);
    EndWorker(slot);
}

// A fresh worker in place of one that ended, died or never started. When
// none starts, the thread waits a little before it tries again; the tasks
// wait in the queue meanwhile.
void RenderPool::Replace(Slot& slot) {
    const bool had = slot.client != nullptr;
    EndWorker(slot);
    slot.client.reset();
    slot.ready = false;
    try {
        Browser::Client::Worker::StartOptions options;
        options.program = settings.workerProgram;
        options.logFile = settings.workerLog;
        if (settings.allowFileUrls) {
            options.arguments.push_back("--allow-file-urls");
        }
        slot.client.reset(new Browser::Client::Client(Browser::Client::Worker::Start(options)));
        slot.workerEnded = false;
        slot.ready = true;
        restarted += had ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << "orvo-serve: cannot start a worker: " << e.what() << std::endl;
        std::unique_lock<std::mutex> lock(mutex);
        taskQueued.wait_for(lock, std::chrono::milliseconds(StartRetryMs), [this] { return stopping; });
    }
}

// The worker is ended and waited for, so that nothing of it remains: the
// client removes what it leaves. One that does not end in time is killed.
void RenderPool::EndWorker(Slot& slot) {
    if (slot.client && slot.client->GetWorker().IsAlive()) {
        Browser::Client::Worker& worker = slot.client->GetWorker();
        ::kill(worker.Pid(), SIGTERM);
        if (worker.WaitForExit(EndWaitMs) == Browser::Client::Worker::StillRunning) {
            ::kill(worker.Pid(), SIGKILL);
            worker.WaitForExit(EndWaitMs);
        }
    }
}

std::shared_ptr<RenderTask> RenderPool::Next(Slot& slot) {
    if (!slot.again.empty()) {
        std::shared_ptr<RenderTask> task = std::move(slot.again.front());
        slot.again.pop_front();
        return task;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.empty()) {
        return nullptr;
    }
    std::shared_ptr<RenderTask> task = std::move(queue.front());
    queue.pop_front();
    return task;
}

// Sends tasks until the window is full; a task already answered (its
// deadline passed while it waited) is dropped unsent.
void RenderPool::Fill(Slot& slot) {
    while (!slot.workerEnded && static_cast<int>(slot.window.size()) < settings.inFlight) {
        std::shared_ptr<RenderTask> task = Next(slot);
        if (!task) {
            return;
        }
        if (task->Claimed() || Clock::now() >= task->deadline) {
            task->Finish(Result::Unanswered(task->url, Outcome::TimedOut, "the deadline passed before it was sent"));
            continue;
        }
        Browser::Request::Options options = task->options;
        options["timeout"] = MillisecondsLeft(task->deadline) + WorkerTimeoutMarginMs;
        try {
            slot.window.push_back(InFlight{task, slot.client->Submit(task->url, options)});
            ++task->attempts;
            slot.busy = true;
        } catch (const Browser::Client::WorkerUnavailable&) {
            slot.again.push_front(task);
            slot.workerEnded = true;
        } catch (const std::exception& e) {
            task->Finish(Result::Unanswered(task->url, Outcome::Failed, e.what()));
        }
    }
}

// Takes the first outstanding request to be answered or past its grace, in
// whatever order they come, after one look at each.
void RenderPool::CollectAny(Slot& slot) {
    for (std::size_t k = 0; k < slot.window.size(); ++k) {
        InFlight& request = slot.window[k];
        Result result = slot.client->Collect(*request.pending, PeekMs);
        if (result.outcome == Outcome::TimedOut
            && Clock::now() < request.task->deadline + std::chrono::milliseconds(GraceMs)) {
            continue;
        }
        Settle(slot, k, std::move(result));
        return;
    }
}

// A task lost with its worker goes again, to a fresh worker, once; every
// other result is final. A worker answers dead only while it ends, so it
// takes no more requests even while its ready marker is still there.
void RenderPool::Settle(Slot& slot, std::size_t index, Result result) {
    std::shared_ptr<RenderTask> task = std::move(slot.window[index].task);
    slot.window.erase(slot.window.begin() + static_cast<std::ptrdiff_t>(index));
    // Before the task is finished, so that whoever hears of its end sees
    // the worker idle.
    slot.busy = !slot.window.empty();
    const bool lost = result.outcome == Outcome::Dead || result.outcome == Outcome::WorkerGone;
    if (lost) {
        slot.workerEnded = true;
        if (task->attempts < MaxAttempts && !task->Claimed()) {
            slot.again.push_back(std::move(task));
            return;
        }
    }
    task->Finish(std::move(result));
}

void RenderPool::GiveUp(Slot& slot) {
    for (InFlight& request : slot.window) {
        GiveUpTask(*request.task);
    }
    slot.window.clear();
    for (auto& task : slot.again) {
        GiveUpTask(*task);
    }
    slot.again.clear();
    slot.busy = false;
}

} // namespace Serve
} // namespace Orvo
