// The saved corpus pages as they are, links to outside hosts intact, on a
// machine where those hosts cannot be reached: run inside a loopback-only
// network namespace (make bench does: unshare -n, then lo up), every outside
// name fails to resolve. Each page is rendered alone; printed are how many
// finished within 30 s, the median and the slowest time, and the pages that
// took longest.
//
// The request's timeout is set well past 30 s, so that a page that would
// never finish shows as one that took that long.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <signal.h>

#include "Client/Client.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"

namespace {

using namespace Orvo::Browser::Client;
using OrvoTest::TestHttpServer;

typedef std::chrono::steady_clock Clock;

const double FinishLimitMs = 30000;
const int PageTimeoutMs = 60000;

} // namespace

int main() {
    OrvoBench::Corpus corpus;
    if (!corpus.Load(OrvoBench::Corpus::Directory())) {
        std::fprintf(stderr, "no corpus at %s\n", OrvoBench::Corpus::Directory().c_str());
        return 1;
    }
    TestHttpServer server([&corpus](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    Worker::StartOptions options;
    options.program = ORVO_BROWSER_BINARY;
    options.logFile = std::getenv("ORVO_BENCH_LOG") ? std::getenv("ORVO_BENCH_LOG") : "/dev/null";
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    Client client(Worker::Start(options));

    Orvo::Browser::Request::Options request;
    request["snapshot"] = false;
    request["keep"] = 3600000;
    request["timeout"] = PageTimeoutMs;
    std::vector<std::pair<double, std::string>> times;
    int rendered = 0;
    for (const auto& page : corpus.pages) {
        const Clock::time_point start = Clock::now();
        const Result result = client.Render(server.Url(page.first), request, PageTimeoutMs + 10000);
        times.emplace_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count(), page.first);
        rendered += result.outcome == Outcome::Rendered ? 1 : 0;
    }
    std::sort(times.begin(), times.end());
    const auto finished = std::count_if(times.begin(), times.end(), [](const std::pair<double, std::string>& time) {
        return time.first < FinishLimitMs;
    });
    std::printf("corpus offline: %zu pages, %ld finished within 30 s, %d rendered; median %.0f ms, slowest %.0f ms\n",
                times.size(), static_cast<long>(finished), rendered, times[times.size() / 2].first,
                times.back().first);
    for (std::size_t k = times.size() >= 5 ? times.size() - 5 : 0; k < times.size(); ++k) {
        std::printf("  %8.0f ms  %s\n", times[k].first, times[k].second.c_str());
    }
    // It would wait an hour to end itself: the client removes what it leaves.
    ::kill(client.GetWorker().Pid(), SIGKILL);
    client.GetWorker().WaitForExit(60000);
    return 0;
}
