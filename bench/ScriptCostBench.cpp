// What a script costs on each engine, in one run: the first pages of the
// corpus served on 127.0.0.1, each rendered once per round by
// /render.json with html=1&png=1 and by a script on /execute doing go,
// wait(0), html and png, on orvo-serve with one worker of each engine, 4
// requests at a time, an 800 x 600 viewport. Rounds alternate the
// contenders. Printed per engine: the median pages per second of each and
// the script's cost against the render endpoint.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/HttpClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "ServeProcess.h"

namespace {

using OrvoTest::HttpClient;

const int DefaultRounds = 3;
const std::size_t Pages = 30;
const int Connections = 4;
const std::string Common = "&viewport=800x600&timeout=90";
const std::string Script = "function main(splash, args)\n"
                           "  assert(splash:go(args.url))\n"
                           "  assert(splash:wait(0))\n"
                           "  return {html = splash:html(), png = splash:png()}\n"
                           "end";

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : DefaultRounds;
    OrvoBench::Corpus corpus;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    OrvoTest::TestHttpServer server(
        [&corpus](const OrvoTest::TestHttpServer::Request& request) { return corpus.Serve(request); });
    std::vector<std::string> urls = corpus.Urls(server);
    urls.resize(std::min(urls.size(), Pages));
    OrvoTest::TemporaryDirectory work;
    OrvoBench::ServeProcess service(work.path + "/serve.log", {"--chromium-workers", "1"}, 1, 1);
    const unsigned short port = service.AwaitReady();
    if (port == 0) {
        std::fprintf(stderr, "orvo-serve did not start; see %s/serve.log\n", work.path.c_str());
        return 1;
    }
    const std::vector<std::string> engines = {"webkit", "chromium"};
    // Per engine: the render endpoint's rates, then the script's.
    std::vector<std::vector<double>> rates(engines.size() * 2);
    std::vector<OrvoBench::Statuses> others(rates.size());
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < rates.size(); ++k) {
            const std::string engine = "&engine=" + engines[k / 2];
            const bool script = k % 2 == 1;
            double seconds = 0;
            others[k].clear();
            OrvoBench::RenderOverHttp(port, urls, script ? "/execute" : "/render.json",
                                      Common + engine
                                          + (script ? "&lua_source=" + HttpClient::Encode(Script) : "&html=1&png=1"),
                                      Connections, others[k], seconds);
            rates[k].push_back(urls.size() / seconds);
            std::fprintf(stderr, "round %d: %s %s %.2f pages/s\n", round + 1, engines[k / 2].c_str(),
                         script ? "script" : "render.json", rates[k].back());
        }
    }
    std::printf("%zu pages, one worker per engine, %d at a time, %d rounds\n", urls.size(), Connections, rounds);
    for (std::size_t e = 0; e < engines.size(); ++e) {
        const double rendered = OrvoBench::Median(rates[e * 2]);
        const double scripted = OrvoBench::Median(rates[e * 2 + 1]);
        std::size_t failed = 0;
        for (std::size_t k = e * 2; k < e * 2 + 2; ++k) {
            for (const auto& status : others[k]) {
                failed += status.second;
            }
        }
        std::printf("%-8s render.json html+png %.2f pages/s, script go+wait(0)+html+png %.2f pages/s: "
                    "script at %.3f of the endpoint's rate (cost %+.1f %%); %zu not 200 in the last round\n",
                    engines[e].c_str(), rendered, scripted, scripted / rendered, (1 - scripted / rendered) * 100,
                    failed);
    }
    return 0;
}
