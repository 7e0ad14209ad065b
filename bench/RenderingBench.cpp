// Pages through one worker end to end: local pages served on 127.0.0.1,
// rendered with and without snapshots. Prints, per page set, the median
// latency of one page alone, the pages per second with 8 in flight, and at
// the end the worker's peak resident memory after 200 pages.
//
// Page sets: "articles" are saved real-world pages of the corpus directory
// (ORVO_CORPUS_DIR, by default the shared corpus beside the project),
// "long" its 20000-pixel page, "script" its page that builds a 5000-row
// table in script. Without the corpus, synthetic articles stand in. Links
// to other hosts are pointed at the local server. Last, a fresh worker
// renders 24 long pages with snapshots, 8 in flight, and its peak resident
// memory is printed. "tiny" is a page of one paragraph, rendered without a
// delay: its rate shows what the worker's scheduling allows, and the share
// of a core the worker used during the run shows whether its CPU or a timer
// bounds it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "Client/Client.h"
#include "Client/RequestWindow.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "ProcessCpu.h"
#include "ProcessMemory.h"

namespace {

using namespace Orvo::Browser::Client;
using OrvoTest::TestHttpServer;

typedef std::chrono::steady_clock Clock;

OrvoBench::Corpus corpus;
std::map<std::string, std::string>& pages = corpus.pages;

void LoadPages() {
    const std::string directory = OrvoBench::Corpus::Directory();
    if (corpus.Load(directory, &OrvoBench::Corpus::PointLinksHere)) {
        return;
    }
    std::fprintf(stderr, "no corpus at %s: synthetic articles only\n", directory.c_str());
    for (int k = 0; k < 40; ++k) {
        std::string body = "<html><head><title>Article " + std::to_string(k) + "</title></head><body><h1>Title</h1>";
        for (int p = 0; p < 30; ++p) {
            body += "<p>Paragraph " + std::to_string(p) + " of a plain article with <a href='#'>a link</a>.</p>";
        }
        pages["/article-" + std::to_string(k) + ".html"] = body + "</body></html>";
    }
}

const char* const TinyPage = "/synthetic-tiny.html";

void AddTinyPage() {
    pages[TinyPage] = "<html><head><title>Tiny</title></head><body><p>One paragraph.</p></body></html>";
}

TestHttpServer::Response Serve(const TestHttpServer::Request& request) {
    return corpus.Serve(request);
}

std::vector<std::string> Set(const std::string& name) {
    std::vector<std::string> targets;
    for (const auto& page : pages) {
        const bool synthetic = page.first.find("/synthetic-") == 0;
        if ((name == "articles" && !synthetic) || (name == "long" && page.first == "/synthetic-long.html")
            || (name == "script" && page.first == "/synthetic-heavy-js.html")
            || (name == "tiny" && page.first == TinyPage)) {
            targets.push_back(page.first);
        }
    }
    return targets;
}

Orvo::Browser::Request::Options Options(const std::string& set, bool snapshot) {
    Orvo::Browser::Request::Options options;
    options["snapshot"] = snapshot;
    if (set == "tiny") {
        options["delay"] = 0;
    }
    // The worker would end itself between two pages served one at a time.
    options["keep"] = 3600000;
    return options;
}

double Elapsed(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Some saved pages never finish loading here (the worker gives up on them
// after its page time-out); they are dropped from the set after this long (the worker gives up after 5 minutes).
const int PageLimitMs = 10000;

// One page at a time: the median of the latencies of the pages rendered.
// Pages that do not render are removed from targets.
double Latency(Client& client, const TestHttpServer& server, std::vector<std::string>& targets,
               const Orvo::Browser::Request::Options& options, int rounds) {
    std::vector<double> latencies;
    std::vector<std::string> rendered;
    for (int round = 0; round < rounds; ++round) {
        rendered.clear();
        for (const std::string& target : targets) {
            const Clock::time_point start = Clock::now();
            if (client.Render(server.Url(target), options, PageLimitMs).outcome == Outcome::Rendered) {
                latencies.push_back(Elapsed(start));
                rendered.push_back(target);
            } else {
                std::fprintf(stderr, "not rendered: %s\n", target.c_str());
            }
        }
        targets = rendered;
    }
    return OrvoBench::Median(latencies);
}

// count pages with the window full at any time, each result taken as it
// comes: pages per second. A page lost with the worker counts as not
// rendered; nothing is sent again.
double Throughput(RequestWindow& window, const TestHttpServer& server, const std::vector<std::string>& targets,
                  const Orvo::Browser::Request::Options& options, int count, int& failures) {
    const Clock::time_point start = Clock::now();
    int sent = 0;
    int done = 0;
    while (done < count) {
        while (sent < count && window.Usable() && !window.Full()) {
            const std::string url = server.Url(targets[sent % targets.size()]);
            window.Send(sent, url, options, Clock::now() + std::chrono::milliseconds(PageLimitMs));
            ++sent;
        }
        RequestWindow::Settled settled;
        if (window.TakeAny(settled, 0, true)) {
            failures += settled.result.outcome == Outcome::Rendered ? 0 : 1;
            ++done;
        } else if (window.Idle() && !window.Usable()) {
            failures += count - done;
            break;
        }
    }
    return count / (Elapsed(start) / 1000.0);
}

Worker::StartOptions WorkerOptions() {
    Worker::StartOptions options;
    options.program = ORVO_BROWSER_BINARY;
    options.logFile = std::getenv("ORVO_BENCH_LOG") ? std::getenv("ORVO_BENCH_LOG") : "/dev/null";
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    return options;
}

// A window of 8 on a fresh worker, which it ends when it goes.
std::unique_ptr<RequestWindow> NewWindow() {
    std::unique_ptr<RequestWindow> window(
        new RequestWindow(8, []() { return std::unique_ptr<Client>(new Client(Worker::Start(WorkerOptions()))); }));
    std::string error;
    if (!window->Replace(error)) {
        throw std::runtime_error("no worker: " + error);
    }
    return window;
}

// A worker's peak resident memory while snapshots of long pages are made
// and sent, 8 at a time.
void TallSnapshotPeak(const TestHttpServer& server, const std::vector<std::string>& targets) {
    const std::unique_ptr<RequestWindow> window = NewWindow();
    int failures = 0;
    Throughput(*window, server, targets, Options("long", true), 24, failures);
    std::printf("peak resident memory of a fresh worker, 24 snapshots of long pages, 8 in flight: %.1f MiB "
                "(%d not rendered)\n",
                OrvoBench::PeakResidentKiB(window->GetClient()->GetWorker().Pid()) / 1024.0, failures);
}

} // namespace

int main() {
    LoadPages();
    AddTinyPage();
    TestHttpServer server(&Serve);
    std::unique_ptr<RequestWindow> window = NewWindow();
    Client& client = *window->GetClient();

    std::printf("%-10s %-9s %8s %14s %12s %12s\n", "set", "snapshot", "pages", "median ms", "pages/s (8)",
                "worker cpu");
    int failures = 0;
    int served = 0;
    const pid_t worker = client.GetWorker().Pid();
    std::map<std::string, std::vector<std::string>> sets;
    for (const std::string name : {"articles", "long", "script", "tiny"}) {
        std::vector<std::string>& targets = sets[name] = Set(name);
        if (targets.empty()) {
            continue;
        }
        const bool tiny = name == "tiny";
        for (const bool snapshot : {false, true}) {
            const int rounds = tiny ? 50 : targets.size() > 10 ? 1 : 5;
            const double latency = Latency(client, server, targets, Options(name, snapshot), rounds);
            if (targets.empty()) {
                continue;
            }
            const int count = tiny ? 500 : std::max<int>(16, static_cast<int>(targets.size()));
            const double cpuBefore = OrvoBench::CpuSeconds(worker);
            const Clock::time_point start = Clock::now();
            const double rate = Throughput(*window, server, targets, Options(name, snapshot), count, failures);
            const double cpuShare = (OrvoBench::CpuSeconds(worker) - cpuBefore) / (Elapsed(start) / 1000.0);
            served += static_cast<int>(targets.size()) * rounds + count;
            std::printf("%-10s %-9s %8zu %14.1f %12.2f %11.0f%%\n", name.c_str(), snapshot ? "on" : "off",
                        targets.size(), latency, rate, 100 * cpuShare);
        }
    }
    if (served < 200 && !sets["articles"].empty()) {
        Throughput(*window, server, sets["articles"], Options("articles", true), 200 - served, failures);
        served = 200;
    }
    std::printf("peak resident memory of the worker after %d pages: %.1f MiB\n", served,
                OrvoBench::PeakResidentKiB(client.GetWorker().Pid()) / 1024.0);
    std::printf("pages not rendered: %d\n", failures);
    // One worker at a time: this one ends before the next starts.
    window.reset();
    if (!sets["long"].empty()) {
        TallSnapshotPeak(server, sets["long"]);
    }
    return 0;
}
