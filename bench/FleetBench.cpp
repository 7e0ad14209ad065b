// The fleet on the page corpus, in one run on this machine: the corpus
// served on 127.0.0.1 (links to other hosts pointed back at the server),
// each page rendered once per round as /render.html (800 x 600 viewport)
// by each contender, every instance with 2 workers and 8 requests in
// flight per worker:
//  - one orvo-serve over HTTP, 32 client connections;
//  - the same instance taking the same requests as jobs from a Redis
//    stream: what the queue costs per page;
//  - three instances sharing one queue: how a fleet scales (on one
//    machine its cores bound it; see the figures' note).
// Rounds alternate the contenders. Printed: pages answered, median pages
// per second, the ratios, and per page the Redis commands the queue ran
// (from INFO commandstats) and the bytes its results put through Redis.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Common/RedisServer.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "ServeProcess.h"
#include "queue/JobStreams.h"

namespace {

using OrvoTest::TestHttpServer;
using Orvo::Queue::RedisReply;
using Orvo::Queue::StreamEntry;
typedef std::chrono::steady_clock Clock;

const int DefaultRounds = 3;
const int Connections = 32;
const std::string Query = "&viewport=800x600&timeout=90";

struct Run {
    std::size_t answered = 0;
    double seconds = 0;
    std::size_t resultBytes = 0;
    long long commands = 0;
};

// Every command Redis has run so far.
long long CommandsRun(OrvoTest::RedisServer& redis) {
    const std::string stats = redis.Command({"INFO", "commandstats"}).text;
    long long total = 0;
    for (std::size_t at = stats.find("calls="); at != std::string::npos; at = stats.find("calls=", at + 1)) {
        total += std::stoll(stats.substr(at + 6));
    }
    return total;
}

// Adds a job per URL to queue and reads their results from a reply stream
// of the run's own.
Run RenderThroughQueue(OrvoTest::RedisServer& redis, const std::string& queue, const std::vector<std::string>& urls,
                       const std::string& reply) {
    Run run;
    const long long before = CommandsRun(redis);
    const Orvo::Queue::JobStreams streams(queue);
    const auto start = Clock::now();
    for (std::size_t k = 0; k < urls.size(); ++k) {
        const nlohmann::json args = {{"url", urls[k]}, {"viewport", "800x600"}, {"timeout", 90}};
        redis.Command({"XADD", streams.jobs, "*", "id", std::to_string(k), "endpoint", "render.html", "args",
                       args.dump(), "reply", reply});
    }
    std::set<std::string> seen;
    std::string last = "0-0";
    while (seen.size() < urls.size()) {
        const RedisReply got = redis.Command({"XREAD", "COUNT", "200", "BLOCK", "1000", "STREAMS", reply, last});
        for (const RedisReply& stream : got.elements) {
            for (const StreamEntry& entry : StreamEntry::List(stream.elements.at(1))) {
                last = entry.id;
                if (seen.insert(entry.Field("id")).second) {
                    run.answered += entry.Field("status") == "200" ? 1 : 0;
                    run.resultBytes += entry.Field("body").size();
                }
            }
        }
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    redis.Command({"DEL", reply});
    run.commands = CommandsRun(redis) - before;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultRounds;
    OrvoBench::Corpus corpus;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    TestHttpServer server([&corpus](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    const std::vector<std::string> urls = corpus.Urls(server);
    OrvoTest::TemporaryDirectory work;
    OrvoTest::RedisServer redis;
    std::vector<std::unique_ptr<OrvoBench::ServeProcess>> instances;
    const auto start = [&](const std::string& name, const std::string& queue) {
        instances.emplace_back(new OrvoBench::ServeProcess(work.path + "/" + name + ".log",
                                                           {"--queue", redis.Url(), "--queue-name", queue}));
    };
    start("solo", "solo");
    for (int k = 0; k < 3; ++k) {
        start("fleet" + std::to_string(k), "fleet");
    }
    std::vector<unsigned short> ports;
    for (const auto& instance : instances) {
        ports.push_back(instance->AwaitReady());
        if (ports.back() == 0) {
            std::fprintf(stderr, "orvo-serve did not start; see %s\n", work.path.c_str());
            return 1;
        }
    }
    std::vector<double> http;
    std::vector<double> solo;
    std::vector<double> fleet;
    std::size_t answered[3] = {0, 0, 0};
    Run last;
    for (int round = 0; round < rounds; ++round) {
        double seconds = 0;
        OrvoBench::Statuses others;
        answered[0] = OrvoBench::RenderOverHttp(ports[0], urls, "/render.html", Query, Connections, others, seconds);
        http.push_back(urls.size() / seconds);
        last = RenderThroughQueue(redis, "solo", urls, "solo:bench");
        answered[1] = last.answered;
        solo.push_back(urls.size() / last.seconds);
        const Run shared = RenderThroughQueue(redis, "fleet", urls, "fleet:bench");
        answered[2] = shared.answered;
        fleet.push_back(urls.size() / shared.seconds);
        std::fprintf(stderr, "round %d: HTTP %.2f, queue %.2f, 3 instances %.2f pages/s\n", round + 1, http.back(),
                     solo.back(), fleet.back());
    }
    std::printf("%zu pages, /render.html, each instance 2 workers with 8 in flight, %d rounds\n"
                "%-40s %9s %15s %13s\n",
                urls.size(), rounds, "contender", "answered", "median pages/s", "ms per page");
    const char* names[3] = {"1 instance over HTTP", "1 instance through the queue", "3 instances through the queue"};
    const double rates[3] = {OrvoBench::Median(http), OrvoBench::Median(solo), OrvoBench::Median(fleet)};
    for (int k = 0; k < 3; ++k) {
        std::printf("%-40s %9zu %15.2f %13.2f\n", names[k], answered[k], rates[k], 1000 / rates[k]);
    }
    std::printf("queue against HTTP: %.3f of the rate, %+.2f ms per page\n", rates[1] / rates[0],
                1000 / rates[1] - 1000 / rates[0]);
    std::printf("3 instances against 1: %.3f (on %u cores)\n", rates[2] / rates[1],
                std::thread::hardware_concurrency());
    std::printf("per page, through the queue: %.1f Redis commands, %.0f bytes of result\n",
                static_cast<double>(last.commands) / urls.size(), static_cast<double>(last.resultBytes) / urls.size());
    return 0;
}
