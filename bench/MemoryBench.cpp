// Long-lived workers' resident memory over thousands of corpus pages with
// snapshots (3,000 unless the first argument says otherwise), 8 requests
// in flight (2 for a Chromium worker), in three parts (a third argument,
// "worker", "serve" or "chromium", runs one; the first two run unless one
// is named):
//
// 1. one worker driven through the client library: its resident memory is
//    read after every page, and per 500 pages the median and the peak of
//    those readings are printed, then how the median grew from the second
//    500 pages to the last, and what the worker holds once idle;
// 2. orvo-serve over HTTP with one worker recycled past MAX_RSS MB (the
//    second argument, 500 unless said): the same readings of the service's
//    own memory and of its workers', how many pages were answered 200 and
//    how many workers were recycled;
// 3. as 1 with a Chromium worker, whose memory is its browser's too: the
//    resident sizes of the worker and every browser process summed, and
//    their proportional sizes summed (shared pages split among sharers).
//
// For comparisons in part 1: ORVO_BENCH_WORKER names another worker
// program (an older build's), and ORVO_BENCH_WORKER_ENV adds NAME=VALUE
// entries (space-separated) to the worker's environment (allocators,
// malloc settings).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Client/Client.h"
#include "Client/RequestWindow.h"
#include "Common/HttpClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "ProcessMemory.h"
#include "ServeProcess.h"

namespace {

using namespace Orvo::Browser::Client;
using OrvoTest::TestHttpServer;

const int BlockPages = 500;
// The Chromium worker takes about one page a second: shorter blocks show
// its trend over the first thousand pages.
const int ChromiumBlockPages = 200;
const int InFlight = 8;
// A Chromium worker renders one page at a time: more in flight would only
// wait in its queue, past their time limit.
const int ChromiumInFlight = 2;
const int PageLimitMs = 30000;
const int PageMarginMs = 2000;
const int IdleWaitMs = 5000;

OrvoBench::Corpus corpus;

double MiB(long kib) {
    return kib / 1024.0;
}

// Readings of resident memory (KiB) in columns, taken once per page and
// summed up per block of pages: each column's median and peak.
class Blocks {
public:
    Blocks(const std::vector<std::string>& columns, int blockPages)
        : names(columns), blockPages(blockPages), readings(columns.size()), medians(columns.size()) {
        std::printf("%8s", "pages");
        for (const std::string& column : columns) {
            std::printf(" %14s %14s", (column + " median").c_str(), (column + " peak").c_str());
        }
        std::printf(" %8s %7s\n", "pages/s", "failed");
        start = std::chrono::steady_clock::now();
    }

    // One page done; the block is printed when it is full or last.
    void Add(const std::vector<long>& kib, bool failed, bool last) {
        for (std::size_t k = 0; k < kib.size(); ++k) {
            readings[k].push_back(kib[k]);
        }
        failures += failed ? 1 : 0;
        if (++done % blockPages != 0 && !last) {
            return;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%8d", done);
        for (std::vector<long>& column : readings) {
            std::printf(" %14.1f %14.1f", MiB(OrvoBench::Median(column)),
                        MiB(*std::max_element(column.begin(), column.end())));
        }
        std::printf(" %8.2f %7d\n", readings[0].size() / seconds, failures);
        std::fflush(stdout);
        for (std::size_t k = 0; k < readings.size(); ++k) {
            medians[k].push_back(OrvoBench::Median(readings[k]));
            readings[k].clear();
        }
        start = std::chrono::steady_clock::now();
    }

    // How each column's median grew from the second block to the last.
    void PrintGrowth() const {
        for (std::size_t k = 0; k < names.size() && medians[k].size() >= 3; ++k) {
            std::printf("%s: median growth from pages %d-%d to the last block: %+.1f %%\n", names[k].c_str(),
                        blockPages + 1, 2 * blockPages, 100.0 * (medians[k].back() - medians[k][1]) / medians[k][1]);
        }
    }

private:
    const std::vector<std::string> names;
    const int blockPages;
    std::vector<std::vector<long>> readings;
    std::vector<std::vector<long>> medians;
    int done = 0;
    int failures = 0;
    std::chrono::steady_clock::time_point start;
};

Worker::StartOptions WorkerOptions(bool chromium) {
    Worker::StartOptions options;
    if (chromium) {
        options.arguments = {"--engine", "chromium"};
    }
    options.program = std::getenv("ORVO_BENCH_WORKER") ? std::getenv("ORVO_BENCH_WORKER") : ORVO_BROWSER_BINARY;
    options.logFile = std::getenv("ORVO_BENCH_LOG") ? std::getenv("ORVO_BENCH_LOG") : "/dev/null";
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    if (const char* extra = std::getenv("ORVO_BENCH_WORKER_ENV")) {
        std::istringstream entries(extra);
        for (std::string entry; entries >> entry;) {
            options.environment.push_back(entry);
        }
    }
    return options;
}

Orvo::Browser::Request::Options PageOptions() {
    Orvo::Browser::Request::Options options;
    options["snapshot"] = true;
    options["keep"] = 3600000;
    // A page that never settles (one corpus page re-requests a missing
    // image forever) is answered with what it has within the bench's limit.
    options["timeout"] = PageLimitMs - PageMarginMs;
    return options;
}

// The readings of part 1 (the worker's resident memory) or of part 3 (the
// worker's and its browser's, summed two ways).
std::vector<long> Readings(pid_t worker, bool chromium) {
    if (!chromium) {
        return {OrvoBench::ResidentKiB(worker)};
    }
    const OrvoBench::TreeMemory tree = OrvoBench::TreeMemoryOf(worker);
    return {tree.residentKiB, tree.proportionalKiB};
}

void OneWorker(const TestHttpServer& server, int count, bool chromium) {
    const std::vector<std::string> urls = corpus.Urls(server);
    const int inFlight = chromium ? ChromiumInFlight : InFlight;
    // A Chromium worker's requests wait for the pages before them.
    const int waitLimitMs = chromium ? inFlight * PageLimitMs : PageLimitMs;
    RequestWindow window(inFlight, [chromium]() {
        return std::unique_ptr<Client>(new Client(Worker::Start(WorkerOptions(chromium))));
    });
    std::string error;
    if (!window.Replace(error)) {
        throw std::runtime_error("no worker: " + error);
    }
    const pid_t pid = window.GetClient()->GetWorker().Pid();
    std::printf("\none %s worker, %d in flight, %d corpus pages with snapshots; at start %.1f MiB\n",
                chromium ? "Chromium" : "WebKit", inFlight, count, MiB(Readings(pid, chromium)[0]));
    Blocks blocks(chromium ? std::vector<std::string>{"rss sum", "pss sum"} : std::vector<std::string>{"worker"},
                  chromium ? ChromiumBlockPages : BlockPages);
    int sent = 0;
    int done = 0;
    while (done < count && window.Usable()) {
        while (sent < count && !window.Full()) {
            window.Send(sent, urls[sent % urls.size()], PageOptions(),
                        RequestWindow::Clock::now() + std::chrono::milliseconds(waitLimitMs));
            ++sent;
        }
        RequestWindow::Settled settled;
        if (window.TakeAny(settled, 0, true)) {
            ++done;
            blocks.Add(Readings(pid, chromium), settled.result.outcome != Outcome::Rendered, done == count);
        }
    }
    blocks.PrintGrowth();
    std::printf("peak resident memory of the worker alone: %.1f MiB\n", MiB(OrvoBench::PeakResidentKiB(pid)));
    std::this_thread::sleep_for(std::chrono::milliseconds(IdleWaitMs));
    std::printf("idle %d s after the last page: %.1f MiB (%s)\n", IdleWaitMs / 1000, MiB(Readings(pid, chromium)[0]),
                chromium ? "rss sum" : "worker");
}

long WorkersKiB(pid_t service) {
    const std::vector<pid_t> workers = OrvoBench::ChildrenOf(service);
    return std::accumulate(workers.begin(), workers.end(), 0L,
                           [](long sum, pid_t worker) { return sum + OrvoBench::ResidentKiB(worker); });
}

void ServiceWithRecycling(const TestHttpServer& server, int count, int maxRss) {
    const std::vector<std::string> corpusUrls = corpus.Urls(server);
    std::vector<std::string> urls;
    for (int k = 0; k < count; ++k) {
        urls.push_back(corpusUrls[static_cast<std::size_t>(k) % corpusUrls.size()]);
    }
    OrvoTest::TemporaryDirectory work;
    OrvoBench::ServeProcess service(work.path + "/serve.log", {"--max-rss", std::to_string(maxRss)}, 1);
    const unsigned short port = service.AwaitReady();
    if (port == 0) {
        throw std::runtime_error("orvo-serve did not start");
    }
    std::printf("\norvo-serve, 1 worker recycled past %d MB, 8 connections, %d corpus pages as whole-page PNG; "
                "service at start %.1f MiB\n",
                maxRss, count, MiB(OrvoBench::ResidentKiB(service.Pid())));
    Blocks blocks({"workers", "service"}, BlockPages);
    int answered = 0;
    OrvoBench::Statuses others;
    double seconds = 0;
    const std::size_t succeeded = OrvoBench::RenderOverHttp(
        port, urls, "/render.png", "&viewport=800x600&render_all=1&timeout=90", InFlight, others, seconds,
        [&](int status) {
            blocks.Add({WorkersKiB(service.Pid()), OrvoBench::ResidentKiB(service.Pid())}, status != 200,
                       ++answered == count);
        });
    blocks.PrintGrowth();
    const std::string metrics = OrvoTest::HttpClient(port).Get("/metrics").body;
    const std::string recycled = "\norvo_serve_workers_recycled_total ";
    const std::size_t at = metrics.find(recycled);
    const long recycledCount = at == std::string::npos ? -1 : std::atol(metrics.c_str() + at + recycled.size());
    std::printf("answered 200: %zu of %d; workers recycled: %ld; service peak %.1f MiB\n", succeeded, count,
                recycledCount, MiB(OrvoBench::PeakResidentKiB(service.Pid())));
    std::this_thread::sleep_for(std::chrono::milliseconds(IdleWaitMs));
    std::printf("idle %d s after the last page: service %.1f MiB, workers %.1f MiB\n", IdleWaitMs / 1000,
                MiB(OrvoBench::ResidentKiB(service.Pid())), MiB(WorkersKiB(service.Pid())));
    for (const auto& other : others) {
        if (other.second != 0) {
            std::printf("  status %d: %zu\n", other.first, other.second);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 3000;
    const int maxRss = argc > 2 ? std::atoi(argv[2]) : 500;
    const std::string part = argc > 3 ? argv[3] : "";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (count < 1 || maxRss < 1 || (part != "" && part != "worker" && part != "serve" && part != "chromium")
        || !corpus.LoadPointingHere()) {
        std::fprintf(stderr, "usage: orvo-bench-memory [PAGES [MAX_RSS_MB [worker|serve|chromium]]], with the corpus in place\n");
        return 1;
    }
    TestHttpServer server([](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    if (part == "" || part == "worker") {
        OneWorker(server, count, false);
    }
    if (part == "chromium") {
        OneWorker(server, count, true);
    }
    if (part == "" || part == "serve") {
        ServiceWithRecycling(server, count, maxRss);
    }
    return 0;
}
