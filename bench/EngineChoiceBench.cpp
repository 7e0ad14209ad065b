// How well engine=auto chooses, in one run of orvo-serve with 2 WebKit and
// 2 Chromium workers:
//  - the modern-web probes (ModernProbes.h), each rendered on webkit, on
//    chromium and on auto (render.json, wait 1 s): which pass where, and
//    for auto which engine answered and why. A probe that fails on WebKit
//    and passes on Chromium should go to Chromium; one that passes on
//    WebKit should stay there.
//  - the page corpus on webkit and on auto (4 connections, no wait): how
//    many pages auto sends to Chromium and why, and the pages per second
//    of each.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Common/HttpClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "ModernProbes.h"
#include "ServeProcess.h"

namespace {

using OrvoTest::HttpClient;

struct Answer {
    int status = 0;
    bool passed = false;
    std::string engine;
    std::string reason;
};

Answer Render(HttpClient& client, const std::string& url, const std::string& engine, const std::string& wait) {
    Answer answer;
    try {
        const HttpClient::Response response =
            client.Get("/render.json?url=" + HttpClient::Encode(url) + "&engine=" + engine + "&wait=" + wait);
        answer.status = response.status;
        const nlohmann::json page = nlohmann::json::parse(response.body, nullptr, false);
        answer.passed = page.is_object() && page.value("title", std::string()) == "pass";
        answer.engine = page.is_object() ? page.value("engine", std::string()) : std::string();
        const auto reason = response.headers.find("x-orvo-engine-reason");
        answer.reason = reason != response.headers.end() ? reason->second : std::string();
    } catch (const std::exception&) {
    }
    return answer;
}

// The kind of a reason: its text up to the first colon.
std::string Kind(const std::string& reason) {
    const std::size_t colon = reason.find(':');
    return colon == std::string::npos ? reason : reason.substr(0, colon) + ": " + reason.substr(colon + 2, 11);
}

void RunProbes(unsigned short port, const OrvoTest::TestHttpServer& server) {
    HttpClient client(port);
    std::map<std::string, std::map<std::string, int>> passes;  // group -> engine -> count
    std::map<std::string, int> groupSizes;
    int sentNeeded = 0, keptNeeded = 0, sentNotNeeded = 0, keptNotNeeded = 0, autoPassed = 0;
    std::printf("%-14s %-22s %-7s %-8s %-9s %s\n", "group", "probe", "webkit", "chromium", "auto", "reason");
    for (const OrvoBench::Probe& probe : OrvoBench::ModernProbes()) {
        const std::string url = server.Url(std::string("/probe/") + probe.name);
        const Answer webkit = Render(client, url, "webkit", "1");
        const Answer chromium = Render(client, url, "chromium", "1");
        const Answer chosen = Render(client, url, "auto", "1");
        ++groupSizes[probe.group];
        passes[probe.group]["webkit"] += webkit.passed;
        passes[probe.group]["chromium"] += chromium.passed;
        passes[probe.group]["auto"] += chosen.passed;
        autoPassed += chosen.passed;
        const bool needed = !webkit.passed && chromium.passed;
        const bool sent = chosen.engine == "chromium";
        sentNeeded += needed && sent;
        keptNeeded += needed && !sent;
        sentNotNeeded += !needed && sent;
        keptNotNeeded += !needed && !sent;
        std::printf("%-14s %-22s %-7s %-8s %-9s %s\n", probe.group, probe.name, webkit.passed ? "pass" : "FAIL",
                    chromium.passed ? "pass" : "FAIL", (std::string(chosen.passed ? "pass" : "FAIL") + "/"
                                                        + (sent ? "C" : "W")).c_str(),
                    chosen.reason.substr(0, 60).c_str());
    }
    std::printf("\nper group (passed of probes): webkit, chromium, auto\n");
    for (const auto& group : groupSizes) {
        std::printf("  %-10s %2d: %2d %2d %2d\n", group.first.c_str(), group.second, passes[group.first]["webkit"],
                    passes[group.first]["chromium"], passes[group.first]["auto"]);
    }
    std::printf("auto: %d passed; needed Chromium and sent %d, needed and kept on WebKit %d; "
                "did not need it and sent %d, did not and kept %d\n\n",
                autoPassed, sentNeeded, keptNeeded, sentNotNeeded, keptNotNeeded);
}

// Renders urls on engine from 4 connections; returns pages per second and
// counts auto's reasons.
double RunCorpus(unsigned short port, const std::vector<std::string>& urls, const std::string& engine,
                 std::map<std::string, int>& reasons, int& toChromium, int& failed) {
    std::atomic<std::size_t> next(0);
    std::mutex mutex;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> connections;
    for (int k = 0; k < 4; ++k) {
        connections.emplace_back([&] {
            HttpClient client(port);
            for (std::size_t index = next++; index < urls.size(); index = next++) {
                const Answer answer = Render(client, urls[index], engine, "0");
                std::lock_guard<std::mutex> lock(mutex);
                failed += answer.status != 200;
                if (answer.engine == "chromium" && engine == "auto") {
                    ++toChromium;
                    ++reasons[Kind(answer.reason)];
                }
            }
        });
    }
    for (std::thread& connection : connections) {
        connection.join();
    }
    return urls.size() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main() {
    OrvoBench::Corpus corpus;
    const bool withCorpus = corpus.LoadPointingHere();
    std::map<std::string, std::string> probes;
    for (const OrvoBench::Probe& probe : OrvoBench::ModernProbes()) {
        probes[std::string("/probe/") + probe.name] = OrvoBench::ProbePage(probe);
    }
    OrvoTest::TestHttpServer server([&](const OrvoTest::TestHttpServer::Request& request) {
        OrvoTest::TestHttpServer::Response response;
        const auto probe = probes.find(request.target);
        if (probe != probes.end()) {
            response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
            response.body = probe->second;
        } else if (request.target == "/probe-module.js") {
            response.headers = {{"Content-Type", "text/javascript"}};
            response.body = OrvoBench::ProbeModule;
        } else if (request.target == "/probe-data.json") {
            response.headers = {{"Content-Type", "application/json"}};
            response.body = OrvoBench::ProbeData;
        } else {
            response = corpus.Serve(request);
        }
        return response;
    });
    OrvoTest::TemporaryDirectory directory;
    OrvoBench::ServeProcess serve(directory.path + "/serve.log", {"--chromium-workers", "2"}, 2, 2);
    const unsigned short port = serve.AwaitReady();
    if (port == 0) {
        std::fprintf(stderr, "orvo-serve did not start\n");
        return 1;
    }
    RunProbes(port, server);
    if (!withCorpus) {
        return 0;
    }
    const std::vector<std::string> urls = corpus.Urls(server);
    std::map<std::string, int> reasons;
    int toChromium = 0;
    int webkitFailed = 0;
    int autoFailed = 0;
    const double webkitRate = RunCorpus(port, urls, "webkit", reasons, toChromium, webkitFailed);
    const double autoRate = RunCorpus(port, urls, "auto", reasons, toChromium, autoFailed);
    std::printf("corpus, %zu pages: webkit %.2f pages/s (%d not 200), auto %.2f pages/s (%d not 200); "
                "auto sent %d to chromium\n",
                urls.size(), webkitRate, webkitFailed, autoRate, autoFailed, toChromium);
    for (const auto& reason : reasons) {
        std::printf("  %3d  %s\n", reason.second, reason.first.c_str());
    }
    return 0;
}
