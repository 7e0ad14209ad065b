// The Chromium engine against the way most users render pages today, in
// one run on the same pages: the corpus served on 127.0.0.1 with links to
// other hosts pointed back at the server, rendered with a full-page PNG at
// a 1280 x 800 viewport by orvo-render --engine chromium and by
// puppeteer-core driving the same chromium (PuppeteerPeer.cjs, each page
// in a browser context of its own, as the engine isolates each request),
// each page taken as it is after 30 s at most, with 1 and with 2 pages in
// flight (orvo-render: that many workers), the
// contenders taking turns round after round (ROUNDS, default 3). Printed
// per round and contender: pages rendered, seconds and pages per second;
// then the medians and each of orvo's ratio to Puppeteer's with the same
// pages in flight.
//
// usage: orvo-bench-chromium NODE_MODULES [ROUNDS [PAGES]]
// NODE_MODULES holds puppeteer-core; PAGES takes the corpus's first pages.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "Rounds.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-bench-chromium NODE_MODULES [ROUNDS [PAGES]]\n");
        return 2;
    }
    OrvoBench::Corpus corpus;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    OrvoTest::TestHttpServer server(
        [&corpus](const OrvoTest::TestHttpServer::Request& request) { return corpus.Serve(request); });
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<std::string> urls = corpus.Urls(server);
    if (argc > 3) {
        urls.resize(std::min(urls.size(), static_cast<std::size_t>(std::max(1, std::atoi(argv[3])))));
    }
    OrvoTest::TemporaryDirectory work;
    std::string list;
    for (const std::string& url : urls) {
        list += url + "\n";
    }
    work.Write("urls.txt", list);
    const std::string input = work.path + "/urls.txt";
    const std::string orvo = std::string(ORVO_RENDER_BINARY) + " --quiet --engine chromium --viewport 1280x800"
                             + " --page-timeout 30000 --input " + input + " --out DIR --workers ";
    const std::string peer = "mkdir -p DIR && NODE_PATH=" + std::string(argv[1]) + " node " + ORVO_BENCH_DIR
                             + "/PuppeteerPeer.cjs " + input + " DIR ";
    const std::string rendered = "\"outcome\":\"rendered\"";
    const std::vector<OrvoBench::Contender> contenders = {
        {"orvo-render --engine chromium, 1 worker", orvo + "1", "results.jsonl", rendered},
        {"puppeteer-core, 1 page at a time", peer + "1 > DIR/peer.txt 2>/dev/null", "peer.txt", "ok\t"},
        {"orvo-render --engine chromium, 2 workers", orvo + "2", "results.jsonl", rendered},
        {"puppeteer-core, 2 pages at a time", peer + "2 > DIR/peer.txt 2>/dev/null", "peer.txt", "ok\t"},
    };
    auto rates = OrvoBench::RunRounds(contenders, contenders.size(), rounds, urls.size(), work.path);
    std::printf("\nmedians\n%-44s %9s %14s\n", "contender", "pages/s", "vs puppeteer");
    for (std::size_t k = 0; k < contenders.size(); ++k) {
        const double rate = OrvoBench::Median(rates[contenders[k].name]);
        const double against = k % 2 == 0 ? OrvoBench::Median(rates[contenders[k + 1].name]) : rate;
        std::printf("%-44s %9.2f %14.2f\n", contenders[k].name.c_str(), rate, against > 0 ? rate / against : 0.0);
    }
    return 0;
}
