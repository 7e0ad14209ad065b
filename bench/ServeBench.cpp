// orvo-serve on the page corpus, in one run: the corpus served on
// 127.0.0.1 (links to other hosts pointed back at the server), each page
// rendered once per round by each contender, all with 2 workers, 8
// requests in flight per worker, no delay after the page is ready, an
// 800 x 600 viewport and (for PNG) the whole page:
//  - orvo-render, which starts its workers for each run;
//  - orvo-serve's render pool in this process, its answers made as the
//    service makes them, without HTTP: the yardstick of the HTTP layer;
//  - orvo-serve over HTTP, 32 client connections each sending the next
//    page as soon as its answer is read (the queue keeps the workers fed);
//  - a script on /execute doing go, wait(0.5) and html, against
//    /render.html with wait=0.5: what running a script costs.
// Rounds alternate the contenders. Printed per contender: pages answered
// in the last round, the statuses of the others, and the median pages per
// second over the rounds; then the ratios.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <signal.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/HttpClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "ServeProcess.h"
#include "serve/RenderArguments.h"
#include "serve/RenderPool.h"
#include "serve/Reply.h"

namespace {

using OrvoTest::HttpClient;
using OrvoTest::TestHttpServer;

// Rounds unless the first argument gives another number.
const int DefaultRounds = 3;
const int Connections = 32;
// The arguments of every render request: as orvo-render renders pages.
const std::string Common = "&viewport=800x600&timeout=90";
const std::string WholePage = "&render_all=1";
// The script crawlers use most, and the render request that does the same.
const std::string Script = "function main(splash, args)\n"
                           "  assert(splash:go(args.url))\n"
                           "  assert(splash:wait(0.5))\n"
                           "  return splash:html()\n"
                           "end";
const std::string HalfSecond = "&wait=0.5";

using OrvoBench::Statuses;

typedef std::chrono::steady_clock Clock;

std::size_t RenderOverHttp(unsigned short port, const std::vector<std::string>& urls, const std::string& endpoint,
                           const std::string& more, Statuses& others, double& seconds) {
    return OrvoBench::RenderOverHttp(port, urls, endpoint, more, Connections, others, seconds);
}

// Renders every URL with the pool directly, each answer made on encoder
// threads as the service makes it; as RenderOverHttp otherwise.
std::size_t RenderInProcess(Orvo::Serve::RenderPool& pool, const std::vector<std::string>& urls,
                            Orvo::Serve::Endpoint endpoint, const std::string& more, Statuses& others,
                            double& seconds) {
    boost::asio::thread_pool encoders(std::max(1u, std::thread::hardware_concurrency()));
    std::mutex mutex;
    std::condition_variable done;
    std::size_t finished = 0;
    std::size_t answered = 0;
    const auto start = Clock::now();
    for (const std::string& url : urls) {
        const auto texts = Orvo::Serve::RenderArguments::FromQuery("url=" + HttpClient::Encode(url) + more);
        const auto arguments = Orvo::Serve::RenderArguments::Parse(texts, {});
        auto task = std::make_shared<Orvo::Serve::RenderTask>(
            url, arguments.ToOptions(endpoint),
            Clock::now() + std::chrono::milliseconds(arguments.timeoutMs),
            [&, arguments, endpoint](Orvo::Browser::Client::Result result) {
                boost::asio::post(encoders, [&, arguments, endpoint, result = std::move(result)] {
                    const int status = Orvo::Serve::Reply::Rendered(endpoint, arguments, result).status;
                    std::lock_guard<std::mutex> lock(mutex);
                    answered += status == 200 ? 1 : 0;
                    others[status] += status == 200 ? 0 : 1;
                    ++finished;
                    done.notify_all();
                });
            });
        if (!pool.Submit(task)) {
            std::lock_guard<std::mutex> lock(mutex);
            ++others[503];
            ++finished;
        }
    }
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return finished == urls.size(); });
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return answered;
}

std::size_t RenderWithTool(const std::string& list, const std::string& directory, const std::string& flags,
                           double& seconds) {
    const std::string command = std::string(ORVO_RENDER_BINARY) + " --quiet --workers 2 --in-flight 8 --delay 0 --input " + list
                                + " --out " + directory + " " + flags;
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::ifstream results(directory + "/results.jsonl");
    std::size_t rendered = 0;
    for (std::string line; std::getline(results, line);) {
        rendered += line.find("\"outcome\":\"rendered\"") != std::string::npos ? 1 : 0;
    }
    return status == -1 ? 0 : rendered;
}

struct Figures {
    std::string name;
    std::vector<double> rates;
    std::size_t answered = 0;
    Statuses others;
};

std::string Describe(const Statuses& others) {
    std::string text;
    for (const auto& status : others) {
        if (status.second != 0) {
            text += " " + std::to_string(status.second) + "x" + (status.first == 0 ? "none" : std::to_string(status.first));
        }
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultRounds;
    OrvoBench::Corpus corpus;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    TestHttpServer server([&corpus](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    OrvoTest::TemporaryDirectory work;
    const std::vector<std::string> urls = corpus.Urls(server);
    std::string lines;
    for (const std::string& url : urls) {
        lines += url + "\n";
    }
    work.Write("urls.txt", lines);
    OrvoBench::ServeProcess service(work.path + "/serve.log");
    const unsigned short port = service.AwaitReady();
    if (port == 0) {
        std::fprintf(stderr, "orvo-serve did not start; see %s/serve.log\n", work.path.c_str());
        return 1;
    }
    Orvo::Serve::RenderPool::Settings settings;
    settings.workers = 2;
    settings.workerProgram = ORVO_BROWSER_BINARY;
    settings.workerLog = work.path + "/pool.log";
    Orvo::Serve::RenderPool pool(settings);
    pool.Start();
    const std::string list = work.path + "/urls.txt";
    using Orvo::Serve::Endpoint;
    std::vector<Figures> figures = {{"orvo-render, HTML (--no-snapshot)", {}, 0, {}},
                                    {"render pool in process, HTML", {}, 0, {}},
                                    {"orvo-serve over HTTP, /render.html", {}, 0, {}},
                                    {"orvo-render, PNG", {}, 0, {}},
                                    {"render pool in process, PNG", {}, 0, {}},
                                    {"orvo-serve over HTTP, /render.png", {}, 0, {}},
                                    {"orvo-serve over HTTP, /render.html wait=0.5", {}, 0, {}},
                                    {"orvo-serve over HTTP, /execute go+wait(0.5)+html", {}, 0, {}}};
    const std::string script = "&timeout=90&lua_source=" + HttpClient::Encode(Script);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < figures.size(); ++k) {
            double seconds = 0;
            Statuses others;
            const std::string directory = work.path + "/run" + std::to_string(round) + "_" + std::to_string(k);
            std::size_t answered = 0;
            switch (k) {
            case 0: answered = RenderWithTool(list, directory, "--no-snapshot", seconds); break;
            case 1: answered = RenderInProcess(pool, urls, Endpoint::Html, Common, others, seconds); break;
            case 2: answered = RenderOverHttp(port, urls, "/render.html", Common, others, seconds); break;
            case 3: answered = RenderWithTool(list, directory, "", seconds); break;
            case 4: answered = RenderInProcess(pool, urls, Endpoint::Png, Common + WholePage, others, seconds); break;
            case 5: answered = RenderOverHttp(port, urls, "/render.png", Common + WholePage, others, seconds); break;
            case 6: answered = RenderOverHttp(port, urls, "/render.html", Common + HalfSecond, others, seconds); break;
            default: answered = RenderOverHttp(port, urls, "/execute", script, others, seconds);
            }
            figures[k].answered = answered;
            figures[k].others = others;
            figures[k].rates.push_back(urls.size() / seconds);
            std::fprintf(stderr, "round %d: %s %.2f pages/s\n", round + 1, figures[k].name.c_str(),
                         figures[k].rates.back());
        }
    }
    std::printf("%zu pages, 2 workers, 8 in flight each, %d rounds\n%-40s %9s %15s  %s\n", urls.size(), rounds,
                "contender", "answered", "median pages/s", "other statuses (last round)");
    for (const Figures& figure : figures) {
        std::printf("%-40s %9zu %15.2f %s\n", figure.name.c_str(), figure.answered,
                    OrvoBench::Median(figure.rates),
                    Describe(figure.others).c_str());
    }
    for (std::size_t k = 0; k < 6; k += 3) {
        const double http = OrvoBench::Median(figures[k + 2].rates);
        std::printf("%s: HTTP at %.3f of orvo-render's rate, %.3f of the pool's in process (HTTP layer cost %+.1f %%)\n",
                    k == 0 ? "HTML" : "PNG", http / OrvoBench::Median(figures[k].rates),
                    http / OrvoBench::Median(figures[k + 1].rates),
                    (1 - http / OrvoBench::Median(figures[k + 1].rates)) * 100);
    }
    const double rendered = OrvoBench::Median(figures[6].rates);
    const double scripted = OrvoBench::Median(figures[7].rates);
    std::printf("Scripts: /execute at %.3f of /render.html's rate with the same wait (script cost %+.1f %%), "
                "%.2f scripts/s on 2 workers\n",
                scripted / rendered, (1 - scripted / rendered) * 100, scripted);
    return 0;
}
