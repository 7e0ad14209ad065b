#include "RenderJob.h"

#include <chrono>
#include <thread>

#include "Client/WorkerUnavailable.h"

#include <signal.h>

namespace Orvo {
namespace Render {

using Browser::Client::Outcome;
using Browser::Client::PendingRequest;
using Browser::Client::Result;

namespace {

typedef std::chrono::steady_clock Clock;

// Collect waits in slices this long, so that an interruption is seen soon.
const int SliceMs = 200;
const int EndWaitMs = 5000;

struct InFlight {
    std::size_t index;
    std::unique_ptr<PendingRequest> pending;
    Clock::time_point sent;
};

double Since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

Result Unsent(const std::string& url, Outcome outcome, const std::string& error) {
    Result result;
    result.url = url;
    result.outcome = outcome;
    result.error = error;
    return result;
}

} // namespace

// A worker and the requests outstanding with it; URLs to send again come
// first.
struct RenderJob::Slot {
    std::unique_ptr<Browser::Client::Client> client;
    std::deque<InFlight> window;
    std::deque<std::size_t> again;
    bool workerEnded = false;
    std::string error;
};

RenderJob::RenderJob(const Settings& settings, const std::atomic<bool>& interrupted, const std::string& workerLog)
    : settings(settings), interrupted(interrupted), workerLog(workerLog), next(0) {
    for (std::size_t k = 0; k < settings.urls.size(); ++k) {
        Record record;
        record.index = k + 1;
        record.url = settings.urls[k];
        records.push_back(record);
    }
    retried.assign(records.size(), false);
}

std::vector<Record> RenderJob::Run(const Listener& onDone) {
    listener = onDone;
    std::vector<std::thread> slots;
    const int count = settings.workerPid != 0 ? 1 : settings.workers;
    for (int slot = 0; slot < count; ++slot) {
        slots.emplace_back(&RenderJob::Serve, this, slot);
    }
    for (std::thread& slot : slots) {
        slot.join();
    }
    for (Record& record : records) {
        if (!record.done) {
            record.result = Unsent(record.url, Outcome::Failed, interrupted ? "interrupted" : "not sent");
        }
    }
    return records;
}

void RenderJob::Serve(int) {
    Slot slot;
    slot.client = NewClient(slot.error);
    for (;;) {
        if (slot.client && !interrupted) {
            Fill(slot);
        }
        if (!slot.window.empty()) {
            CollectOne(slot);
            continue;
        }
        std::size_t index = 0;
        if (interrupted) {
            EndWorker(slot);
            return;
        }
        if (!Next(slot, index)) {
            return;
        }
        slot.again.push_front(index);
        // Nothing outstanding and URLs left: the worker is gone or was
        // never there. A fresh one, or the URL fails with the reason.
        if (settings.workerPid == 0 || !slot.client) {
            slot.client = NewClient(slot.error);
            slot.workerEnded = false;
        }
        if (!slot.client || slot.workerEnded) {
            slot.again.pop_front();
            Finish(index, Unsent(records[index].url, Outcome::WorkerGone, slot.error), 0);
            slot.client.reset();
        }
        slot.workerEnded = false;
    }
}

// After an interruption a worker of this run would go on with pages that
// nobody waits for: it is ended, and the client removes what it leaves.
void RenderJob::EndWorker(Slot& slot) {
    if (slot.client && slot.client->GetWorker().Owned()) {
        ::kill(slot.client->GetWorker().Pid(), SIGKILL);
        slot.client->GetWorker().WaitForExit(EndWaitMs);
    }
}

std::unique_ptr<Browser::Client::Client> RenderJob::NewClient(std::string& error) {
    try {
        if (settings.workerPid != 0) {
            return std::unique_ptr<Browser::Client::Client>(
                new Browser::Client::Client(Browser::Client::Worker::Attach(settings.workerPid)));
        }
        Browser::Client::Worker::StartOptions options;
        options.logFile = workerLog;
        return std::unique_ptr<Browser::Client::Client>(
            new Browser::Client::Client(Browser::Client::Worker::Start(options)));
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

bool RenderJob::Next(Slot& slot, std::size_t& index) {
    if (!slot.again.empty()) {
        index = slot.again.front();
        slot.again.pop_front();
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (next >= records.size()) {
        return false;
    }
    index = next++;
    return true;
}

void RenderJob::Fill(Slot& slot) {
    std::size_t index = 0;
    while (!slot.workerEnded && static_cast<int>(slot.window.size()) < settings.inFlight && Next(slot, index)) {
        try {
            InFlight request{index, slot.client->Submit(records[index].url, settings.options), Clock::now()};
            slot.window.push_back(std::move(request));
        } catch (const Browser::Client::WorkerUnavailable& e) {
            slot.again.push_front(index);
            slot.workerEnded = true;
            slot.error = e.what();
        } catch (const std::exception& e) {
            Finish(index, Unsent(records[index].url, Outcome::Failed, e.what()), 0);
        }
    }
}

Result RenderJob::Await(Slot& slot, PendingRequest& pending) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(settings.timeoutSeconds);
    for (;;) {
        const Result result = slot.client->Collect(pending, SliceMs);
        if (result.outcome != Outcome::TimedOut) {
            return result;
        }
        if (interrupted || Clock::now() >= deadline) {
            Result late = result;
            late.error = interrupted ? "interrupted" : "no result within " + std::to_string(settings.timeoutSeconds) + " s";
            return late;
        }
    }
}

void RenderJob::CollectOne(Slot& slot) {
    InFlight request = std::move(slot.window.front());
    slot.window.pop_front();
    const Result result = Await(slot, *request.pending);
    const double ms = Since(request.sent);
    request.pending.reset();
    const bool lost = result.outcome == Outcome::Dead || result.outcome == Outcome::WorkerGone;
    if (lost) {
        slot.workerEnded = slot.workerEnded || !slot.client->GetWorker().IsReady();
        if (!retried[request.index] && !interrupted) {
            retried[request.index] = true;
            slot.again.push_back(request.index);
            return;
        }
    }
    Finish(request.index, result, ms);
}

void RenderJob::Finish(std::size_t index, const Result& result, double ms) {
    std::lock_guard<std::mutex> lock(mutex);
    Record& record = records[index];
    record.result = result;
    record.result.url = record.url;
    record.ms = ms;
    record.done = true;
    if (listener) {
        listener(record);
    }
}

} // namespace Render
} // namespace Orvo
