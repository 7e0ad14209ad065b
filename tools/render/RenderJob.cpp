#include "RenderJob.h"

#include <chrono>
#include <thread>

namespace Orvo {
namespace Render {

using Browser::Client::Outcome;
using Browser::Client::RequestWindow;
using Browser::Client::Result;

namespace {

// Long enough that the run's own gaps (starting a worker, writing files)
// do not end a worker that has more to do; orvo-render ends its workers.
const int DefaultKeepMs = 10000;

} // namespace

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
        slots.emplace_back(&RenderJob::Serve, this);
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

// One worker slot. A worker that retires is replaced at once and answers
// what it holds beside its successor. With nothing outstanding and URLs
// left, the worker is gone or was never there: a fresh one (attached
// again, with a worker given), or the next URL fails with the reason.
void RenderJob::Serve() {
    RequestWindow window(settings.inFlight, [this]() { return NewClient(); });
    std::string error;
    window.Replace(error);
    for (;;) {
        if (window.Retiring() && !interrupted && HasNext(window)) {
            window.Replace(error);
        }
        if (window.Usable() && !interrupted) {
            Fill(window);
        }
        if (!window.Idle()) {
            CollectAny(window);
            continue;
        }
        if (interrupted || !HasNext(window)) {
            break;
        }
        if (!window.Usable()) {
            window.Replace(error);
        }
        std::size_t index = 0;
        int attempts = 0;
        if (!window.Usable() && Next(window, index, attempts)) {
            Finish(index, Result::Unanswered(records[index].url, Outcome::WorkerGone, error), 0, 0, attempts);
        }
    }
}

std::unique_ptr<Browser::Client::Client> RenderJob::NewClient() const {
    if (settings.workerPid != 0) {
        return std::unique_ptr<Browser::Client::Client>(
            new Browser::Client::Client(Browser::Client::Worker::Attach(settings.workerPid)));
    }
    Browser::Client::Worker::StartOptions startOptions;
    startOptions.logFile = workerLog;
    if (settings.allowFileUrls) {
        startOptions.arguments.push_back("--allow-file-urls");
    }
    if (settings.engine != "webkit") {
        startOptions.arguments.insert(startOptions.arguments.end(), {"--engine", settings.engine});
    }
    startOptions.Recycle(settings.recyclePages, settings.recycleRssMb);
    return std::unique_ptr<Browser::Client::Client>(
        new Browser::Client::Client(Browser::Client::Worker::Start(startOptions)));
}

bool RenderJob::HasNext(const RequestWindow& window) {
    std::lock_guard<std::mutex> lock(mutex);
    return window.HasResend() || next < records.size();
}

// The next URL to send, those lost with a worker first, with how many times
// it was sent.
bool RenderJob::Next(RequestWindow& window, std::size_t& index, int& attempts) {
    attempts = 0;
    if (window.TakeResend(index, attempts)) {
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (next >= records.size()) {
        return false;
    }
    index = next++;
    return true;
}

void RenderJob::Fill(RequestWindow& window) {
    std::size_t index = 0;
    int attempts = 0;
    while (window.Usable() && !window.Full() && Next(window, index, attempts)) {
        try {
            const auto deadline = RequestWindow::Clock::now() + std::chrono::seconds(settings.timeoutSeconds);
            if (!window.Send(index, records[index].url, options, deadline, attempts)) {
                return;
            }
        } catch (const std::exception& e) {
            Finish(index, Result::Unanswered(records[index].url, Outcome::Failed, e.what()), 0, 0, attempts);
        }
    }
}

// Takes the first outstanding request to be answered or past its time, in
// whatever order they come. A request lost with its worker is sent once
// more, to a fresh worker, unless the run is interrupted; an interruption
// gives up what is outstanding (reported as interrupted).
void RenderJob::CollectAny(RequestWindow& window) {
    RequestWindow::Settled settled;
    while (!window.TakeAny(settled, 0, interrupted)) {
        if (interrupted) {
            window.Abandon();
        }
        if (window.Idle()) {
            return;
        }
    }
    if (settled.result.outcome == Outcome::TimedOut) {
        settled.result.error = "no result within " + std::to_string(settings.timeoutSeconds) + " s";
    }
    Finish(settled.tag, std::move(settled.result), settled.ms, settled.pid, settled.attempts);
}

// The listener runs outside the lock: it may take the record's payloads
// off to be written elsewhere.
void RenderJob::Finish(std::size_t index, Result result, double ms, long pid, int attempts) {
    Record record;
    {
        std::lock_guard<std::mutex> lock(mutex);
        record = records[index];
    }
    record.result = std::move(result);
    record.result.url = record.url;
    record.ms = ms;
    record.pid = pid;
    record.attempts = attempts;
    if (settings.workerPid == 0) {
        record.engine = settings.engine;
    }
    record.done = true;
    if (listener) {
        listener(record);
    }
    std::lock_guard<std::mutex> lock(mutex);
    records[index] = std::move(record);
}

} // namespace Render
} // namespace Orvo
