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

// A collection looks at each outstanding request this long, so that any of
// them is taken the moment it is answered and an interruption is seen soon.
const int PeekMs = 2;
const int EndWaitMs = 10000;
const int MaxAttempts = 2;
// Long enough that the run's own gaps (starting a worker, writing files)
// do not end a worker that has more to do; orvo-render ends its workers.
const int DefaultKeepMs = 10000;

double Since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

// One request sent and not yet settled.
struct RenderJob::InFlight {
    std::size_t index;
    std::unique_ptr<PendingRequest> pending;
    Clock::time_point sent;
    Clock::time_point deadline;
    long pid;
};

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
    : settings(settings), interrupted(interrupted), workerLog(workerLog), options(settings.options), next(0) {
    options.emplace("keep", DefaultKeepMs);
    for (std::size_t k = 0; k < settings.urls.size(); ++k) {
        Record record;
        record.index = k + 1;
        record.url = settings.urls[k];
        records.push_back(record);
    }
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
            record.result = Result::Unanswered(record.url, Outcome::Failed, interrupted ? "interrupted" : "not sent");
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
            CollectAny(slot);
            continue;
        }
        std::size_t index = 0;
        if (interrupted || !Next(slot, index)) {
            break;
        }
        slot.again.push_front(index);
        // Nothing outstanding and URLs left: the worker is gone or was
        // never there. A fresh one, or the URL fails with the reason.
        if (settings.workerPid == 0 || !slot.client) {
            EndWorker(slot);
            slot.client = NewClient(slot.error);
            slot.workerEnded = false;
        }
        if (!slot.client || slot.workerEnded) {
            slot.again.pop_front();
            Finish(index, Result::Unanswered(records[index].url, Outcome::WorkerGone, slot.error), 0, 0);
            slot.client.reset();
        }
    }
    EndWorker(slot);
}

// A worker this run started is ended once the run has no more for it (or
// is interrupted), and waited for, so that nothing of the run remains: the
// client removes what the worker leaves.
void RenderJob::EndWorker(Slot& slot) {
    if (slot.client && slot.client->GetWorker().Owned()) {
        ::kill(slot.client->GetWorker().Pid(), SIGTERM);
        slot.client->GetWorker().WaitForExit(EndWaitMs);
    }
}

std::unique_ptr<Browser::Client::Client> RenderJob::NewClient(std::string& error) {
    try {
        if (settings.workerPid != 0) {
            return std::unique_ptr<Browser::Client::Client>(
                new Browser::Client::Client(Browser::Client::Worker::Attach(settings.workerPid)));
        }
        Browser::Client::Worker::StartOptions startOptions;
        startOptions.logFile = workerLog;
        if (settings.allowFileUrls) {
            startOptions.arguments.push_back("--allow-file-urls");
        }
        return std::unique_ptr<Browser::Client::Client>(
            new Browser::Client::Client(Browser::Client::Worker::Start(startOptions)));
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
            const Clock::time_point now = Clock::now();
            InFlight request{index, slot.client->Submit(records[index].url, options), now,
                             now + std::chrono::seconds(settings.timeoutSeconds), slot.client->GetWorker().Pid()};
            slot.window.push_back(std::move(request));
            std::lock_guard<std::mutex> lock(mutex);
            ++records[index].attempts;
        } catch (const Browser::Client::WorkerUnavailable& e) {
            slot.again.push_front(index);
            slot.workerEnded = true;
            slot.error = e.what();
        } catch (const std::exception& e) {
            Finish(index, Result::Unanswered(records[index].url, Outcome::Failed, e.what()), 0, 0);
        }
    }
}

// Takes the first outstanding request to be answered, given up or past its
// time, in whatever order they come.
void RenderJob::CollectAny(Slot& slot) {
    for (;;) {
        for (std::size_t k = 0; k < slot.window.size(); ++k) {
            InFlight& request = slot.window[k];
            Result result = slot.client->Collect(*request.pending, PeekMs);
            if (result.outcome == Outcome::TimedOut) {
                if (!interrupted && Clock::now() < request.deadline) {
                    continue;
                }
                result.error = interrupted ? "interrupted"
                                           : "no result within " + std::to_string(settings.timeoutSeconds) + " s";
            }
            InFlight answered = std::move(request);
            slot.window.erase(slot.window.begin() + static_cast<std::ptrdiff_t>(k));
            Settle(slot, answered, std::move(result));
            return;
        }
    }
}

// A request lost with its worker (dead, or the worker gone) is sent once
// more, to a fresh worker; every other result is final. A worker answers
// dead only while it ends, so it takes no more requests even while its
// ready marker is still there.
void RenderJob::Settle(Slot& slot, InFlight& request, Result result) {
    const double ms = Since(request.sent);
    request.pending.reset();
    const bool lost = result.outcome == Outcome::Dead || result.outcome == Outcome::WorkerGone;
    if (lost) {
        slot.workerEnded =
            slot.workerEnded || result.outcome == Outcome::Dead || !slot.client->GetWorker().IsReady();
        std::unique_lock<std::mutex> lock(mutex);
        if (records[request.index].attempts < MaxAttempts && !interrupted) {
            slot.again.push_back(request.index);
            return;
        }
    }
    Finish(request.index, std::move(result), ms, request.pid);
}

// The listener runs outside the lock: it may take the record's payloads
// off to be written elsewhere.
void RenderJob::Finish(std::size_t index, Result result, double ms, long pid) {
    Record record;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record = records[index];
    }
    record.result = std::move(result);
    record.result.url = record.url;
    record.ms = ms;
    record.pid = pid;
    record.done = true;
    if (listener) {
        listener(record);
    }
    std::lock_guard<std::mutex> lock(mutex);
    records[index] = std::move(record);
}

} // namespace Render
} // namespace Orvo
