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

void RenderJob::Serve() {
    Browser::Client::WindowLoop loop([this]() { return NewClient(); }, settings.inFlight, 0, *this);
    loop.Run();
}

std::unique_ptr<Browser::Client::Client> RenderJob::NewClient() const {
    // PNG and JPEG files are made from the snapshots as they came; only a
    // BMP file is written from a decoded picture.
    const auto snapshots = settings.imageFormat == "bmp" ? Browser::Client::Client::Snapshots::Decoded
                                                         : Browser::Client::Client::Snapshots::Encoded;
    if (settings.workerPid != 0) {
        return std::unique_ptr<Browser::Client::Client>(
            new Browser::Client::Client(Browser::Client::Worker::Attach(settings.workerPid), snapshots));
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
        new Browser::Client::Client(Browser::Client::Worker::Start(startOptions), snapshots));
}

bool RenderJob::More() {
    std::lock_guard<std::mutex> lock(mutex);
    return next < records.size();
}

bool RenderJob::Take(std::size_t& index, Task& task) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (next >= records.size()) {
            return false;
        }
        index = next++;
    }
    return Again(index, task);
}

bool RenderJob::Again(std::size_t index, Task& task) {
    task.url = records[index].url;
    task.options = options;
    task.deadline = RequestWindow::Clock::now() + std::chrono::seconds(settings.timeoutSeconds);
    return true;
}

void RenderJob::Settle(RequestWindow::Settled& settled) {
    if (settled.result.outcome == Outcome::TimedOut) {
        settled.result.error = "no result within " + std::to_string(settings.timeoutSeconds) + " s";
    }
    Finish(settled.tag, std::move(settled.result), settled.ms, settled.pid, settled.attempts);
}

void RenderJob::Fail(std::size_t index, int attempts, Result result) {
    Finish(index, std::move(result), 0, 0, attempts);
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
