// The protocol alone: requests from this process to the serving kernel and
// back, with a test program as the worker's main thread answering each one
// at once (no WebKit). Time per iteration is the latency of one request, or
// of a batch of 16 in flight; items per second is the throughput.

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Client/Client.h"

namespace {

using namespace Orvo::Browser::Client;

const char* const Plain = "test://host/echo";
const char* const WithSnapshot = "test://host/snapshot?width=1280&height=4000";

std::unique_ptr<Client> client;

Client& SharedClient() {
    if (!client) {
        Worker::StartOptions options;
        options.program = ORVO_TEST_WORKER_BINARY;
        options.logFile = "/dev/null";
        client.reset(new Client(Worker::Start(options)));
    }
    return *client;
}

// Stops the worker the way its main thread does, so that it leaves nothing.
void StopWorker() {
    if (client) {
        client->Render("test://host/stop?ms=0", {}, 100);
        client->GetWorker().WaitForExit(20000);
        client.reset();
    }
}

void RoundTrip(benchmark::State& state, const char* url) {
    Client& client = SharedClient();
    const int inFlight = static_cast<int>(state.range(0));
    for (auto _ : state) {
        std::vector<std::unique_ptr<PendingRequest>> pending;
        for (int k = 0; k < inFlight; ++k) {
            pending.push_back(client.Submit(url, {}));
        }
        for (auto& request : pending) {
            const Result result = client.Collect(*request, 30000);
            if (result.outcome != Outcome::Rendered) {
                state.SkipWithError(result.error.c_str());
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * inFlight);
}

void RoundTripPlain(benchmark::State& state) {
    RoundTrip(state, Plain);
}
BENCHMARK(RoundTripPlain)->Arg(1)->Arg(16)->Unit(benchmark::kMicrosecond)->UseRealTime();

void RoundTripSnapshot(benchmark::State& state) {
    RoundTrip(state, WithSnapshot);
}
BENCHMARK(RoundTripSnapshot)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    StopWorker();
    return 0;
}
