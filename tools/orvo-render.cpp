// orvo-render: renders URLs with Orvo Browser workers and writes the
// results to a directory. See --help.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "Client/StaleObjects.h"
#include "Process/HeapRelease.h"
#include "render/CommandLine.h"
#include "render/OutputWriter.h"
#include "render/QueueJob.h"
#include "render/RenderJob.h"
#include "render/WriterPool.h"

namespace {

using Orvo::Browser::Client::Outcome;
using namespace Orvo::Render;

const int UsageStatus = 2;
const int InterruptedStatus = 130;
// Results waiting for a writer thread, per thread: enough to keep them busy,
// few enough that memory stays bounded.
const std::size_t QueuedPerWriter = 2;

std::atomic<bool> interrupted(false);

void OnInterrupt(int) {
    interrupted = true;
}

bool Answered(const Record& record) {
    return record.result.outcome == Outcome::Rendered || record.result.outcome == Outcome::NavigationError;
}

// The progress line on a terminal, and the summary. Done may be called
// from several threads.
class Progress {
public:
    Progress(std::size_t total, bool shown) : total(total), shown(shown), start(std::chrono::steady_clock::now()) {}

    void Done(const Record& record) {
        std::lock_guard<std::mutex> lock(mutex);
        ++done;
        failures += Answered(record) ? 0 : 1;
        if (shown) {
            std::fprintf(stderr, "\r%zu/%zu pages, %zu failed, %.1f pages/s ", done, total, failures, Rate());
        }
    }

    void Summary(const std::vector<Record>& records, const std::string& results) const {
        std::size_t rendered = 0;
        std::size_t errors = 0;
        for (const Record& record : records) {
            rendered += record.result.outcome == Outcome::Rendered ? 1 : 0;
            errors += record.result.outcome == Outcome::NavigationError ? 1 : 0;
        }
        std::fprintf(stderr, "%s%zu pages: %zu rendered, %zu navigation errors, %zu without result; %.1f pages/s; see %s\n",
                     shown ? "\n" : "", records.size(), rendered, errors, records.size() - rendered - errors, Rate(),
                     results.c_str());
    }

private:
    // Called with the lock held, or once the writers are done.
    double Rate() const {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return seconds > 0 ? done / seconds : 0;
    }

    const std::size_t total;
    const bool shown;
    const std::chrono::steady_clock::time_point start;
    // Guards done and failures.
    mutable std::mutex mutex;
    std::size_t done = 0;
    std::size_t failures = 0;
};

} // namespace

int main(int argc, char** argv) {
    // Its writer threads hold whole-page images; freed, they go back.
    Orvo::Browser::HeapRelease::TuneAllocator();
    Settings settings;
    std::string error;
    const CommandLine::Action action =
        CommandLine::Parse(std::vector<std::string>(argv + 1, argv + argc), std::cin, settings, error);
    if (action == CommandLine::Action::Help) {
        std::cout << CommandLine::Usage();
        return 0;
    }
    if (action == CommandLine::Action::Version) {
        std::cout << "orvo-render " << ORVO_VERSION << "\n";
        return 0;
    }
    if (action == CommandLine::Action::UsageError) {
        std::cerr << "orvo-render: " << error << "\n" << "Try 'orvo-render --help'.\n";
        return UsageStatus;
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(signal, &OnInterrupt);
    }
    const std::size_t swept = Orvo::Browser::Client::StaleObjects::Sweep();
    if (swept != 0 && !settings.quiet) {
        std::fprintf(stderr, "orvo-render: removed %zu shared objects of processes that no longer exist\n", swept);
    }
    try {
        OutputWriter writer(settings);
        Progress progress(settings.urls.size(), !settings.quiet && ::isatty(2));
        RenderJob job(settings, interrupted, (settings.outDirectory + "/worker.log"));
        QueueJob fleet(settings, interrupted);
        std::mutex errorMutex;
        std::string writeError;
        // Guarded by errorMutex: why each record whose snapshot proved
        // unusable failed, by index.
        std::map<std::size_t, std::string> unusable;
        std::vector<Record> records;
        {
            WriterPool pool(settings.writers, QueuedPerWriter);
            const auto onDone = [&](Record& record) {
                writer.Name(record);
                auto payload = std::make_shared<Record>(record.TakePayload());
                pool.Submit([&, payload, record]() {
                    try {
                        const std::string reason = writer.WriteFiles(*payload);
                        std::lock_guard<std::mutex> lock(errorMutex);
                        if (!reason.empty()) {
                            unusable[record.index] = reason;
                        }
                    } catch (const std::exception& e) {
                        std::lock_guard<std::mutex> lock(errorMutex);
                        writeError = e.what();
                    }
                    progress.Done(record);
                });
            };
            records = settings.queue.empty() ? job.Run(onDone) : fleet.Run(onDone);
        }
        for (Record& record : records) {
            const auto failed = unusable.find(record.index);
            if (failed != unusable.end()) {
                OutputWriter::Unusable(record, failed->second);
            }
        }
        writer.WriteResults(records);
        if (!settings.quiet) {
            progress.Summary(records, writer.ResultsPath());
        }
        if (!writeError.empty()) {
            std::cerr << "orvo-render: " << writeError << "\n";
            return 1;
        }
        if (interrupted) {
            return InterruptedStatus;
        }
        for (const Record& record : records) {
            if (!Answered(record)) {
                return 1;
            }
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "orvo-render: " << e.what() << "\n";
        return 1;
    }
}
