// The soak: many requests over two workers while one of them is killed
// every few seconds and replaced, against fixture pages of every kind. It
// prints what happened to each request, the workers' memory, and what was
// left behind; it fails when a request got no record or two, or something
// was left.
//
// orvo-soak [REQUESTS] (default 10,000)

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <signal.h>
#include <unistd.h>

#include "Client/Client.h"
#include "Client/RequestWindow.h"
#include "Common/TestHttpServer.h"
#include "ProcessMemory.h"

namespace {

using namespace Orvo::Browser::Client;
using OrvoTest::TestHttpServer;

const int Workers = 2;
const int InFlightPerWorker = 16;
const int KillEveryMs = 4000;
const int CollectLimitMs = 30000;
const int SampleEvery = 100;
// A stuck page is answered at this deadline, well before the client's limit.
const int StuckPageTimeoutMs = 3000;

TestHttpServer::Response Fixture(const TestHttpServer::Request& request) {
    TestHttpServer::Response response;
    response.headers = {{"Content-Type", "text/html"}};
    if (request.target.rfind("/missing", 0) == 0) {
        response.status = 404;
        response.body = "<html><body>gone</body></html>";
    } else if (request.target.rfind("/stuck", 0) == 0) {
        response.hold = true;
    } else if (request.target.rfind("/tall", 0) == 0) {
        response.body = "<html><body style='margin:0'><div style='height:6000px;background:#36c'></div></body></html>";
    } else {
        response.delayMs = request.target.rfind("/slow", 0) == 0 ? 1500 : 0;
        response.body = "<html><head><title>t</title></head><body><p>" + request.target + "</p></body></html>";
    }
    return response;
}

// The kinds of page, in the proportions they are asked for.
struct Kind {
    const char* name;
    int weight;
};
const Kind Kinds[] = {{"fast", 50}, {"slow", 10}, {"missing", 15}, {"unreachable", 10}, {"tall", 10}, {"stuck", 5}};

std::string KindOf(int request) {
    int slot = request % 100;
    for (const Kind& kind : Kinds) {
        if (slot < kind.weight) {
            return kind.name;
        }
        slot -= kind.weight;
    }
    return "fast";
}

std::set<std::string> Entries(const std::string& directory, const std::string& prefix) {
    std::set<std::string> found;
    for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        if (name.find(prefix) != std::string::npos) {
            found.insert(name);
        }
    }
    return found;
}

class Soak {
public:
    Soak(int total, TestHttpServer& server) : total(total), server(server) {}

    void Run() {
        std::vector<std::thread> threads;
        for (int slot = 0; slot < Workers; ++slot) {
            threads.emplace_back(&Soak::Serve, this, slot);
        }
        std::thread killer(&Soak::Kill, this);
        for (std::thread& thread : threads) {
            thread.join();
        }
        finished = true;
        killer.join();
    }

    // The shared objects of the workers this soak started still there.
    std::size_t WorkerObjectsLeft() const {
        std::size_t left = 0;
        for (pid_t pid : started) {
            left += Entries("/dev/shm", "Orvo_Browser_" + std::to_string(pid) + "_").size();
        }
        return left;
    }

    int Report() const {
        std::printf("requests sent:            %d\n", sent.load());
        for (const auto& outcome : outcomes) {
            std::printf("  %-22s  %d\n", OutcomeName(outcome.first), outcome.second);
        }
        std::printf("requests with no record:  %d\n", noRecord.load());
        std::printf("requests with two:        %d\n", twoRecords.load());
        std::printf("worker restarts:          %d (killed %d)\n", restarts.load(), kills.load());
        for (int slot = 0; slot < Workers; ++slot) {
            std::printf("worker slot %d: peak resident %ld KiB\n", slot, peakKiB[slot]);
        }
        std::printf("mean resident memory of a worker, first thousand requests: %ld KiB; last thousand: %ld KiB; "
                    "growth %+ld KiB\n",
                    Mean(firstThousand), Mean(lastThousand), Mean(lastThousand) - Mean(firstThousand));
        return noRecord == 0 && twoRecords == 0 ? 0 : 1;
    }

private:
    std::unique_ptr<Client> StartClient(int slot) {
        Worker::StartOptions options;
        options.program = ORVO_BROWSER_BINARY;
        options.logFile = "/dev/null";
        std::unique_ptr<Client> client(new Client(Worker::Start(options)));
        std::lock_guard<std::mutex> lock(mutex);
        pids[slot] = client->GetWorker().Pid();
        started.insert(pids[slot]);
        return client;
    }

    Orvo::Browser::Request::Options OptionsFor(const std::string& kind) const {
        Orvo::Browser::Request::Options options;
        options["snapshot"] = kind == "tall";
        options["keep"] = 3600000;
        if (kind == "stuck") {
            options["timeout"] = StuckPageTimeoutMs;
        }
        return options;
    }

    std::string UrlFor(int request, const std::string& kind) const {
        if (kind == "unreachable") {
            return "http://127.0.0.1:1/" + std::to_string(request);
        }
        return server.Url("/" + kind + "/" + std::to_string(request));
    }

    // One worker slot: keeps InFlightPerWorker requests outstanding, and
    // starts a fresh worker when the one it used has gone. A request lost
    // with the worker is counted as such, not sent again; one the gone
    // worker no longer took is sent to the fresh one.
    void Serve(int slot) {
        RequestWindow window(InFlightPerWorker, [this, slot]() { return StartClient(slot); });
        std::string error;
        window.Replace(error);
        for (;;) {
            Fill(window);
            RequestWindow::Settled settled;
            if (window.TakeAny(settled, 0, true)) {
                Collected(settled);
            } else if (window.Idle() && !window.HasResend() && next >= total) {
                break;
            }
            if (window.Idle() && window.NeedsWorker()) {
                Remember(slot, window);
                window.Replace(error);
                ++restarts;
            }
        }
        Remember(slot, window);
    }

    void Fill(RequestWindow& window) {
        while (!window.Full() && !window.NeedsWorker()) {
            std::size_t request = 0;
            int attempts = 0;
            if (!window.TakeResend(request, attempts)) {
                const int fresh = next++;
                if (fresh >= total) {
                    return;
                }
                request = static_cast<std::size_t>(fresh);
            }
            const std::string kind = KindOf(static_cast<int>(request));
            const auto deadline = RequestWindow::Clock::now() + std::chrono::milliseconds(CollectLimitMs);
            if (!window.Send(request, UrlFor(static_cast<int>(request), kind), OptionsFor(kind), deadline, attempts)) {
                return;
            }
            ++sent;
        }
    }

    // A request not answered within CollectLimitMs has no record; one
    // whose channel holds a record more after its result was taken has two.
    void Collected(RequestWindow::Settled& settled) {
        if (settled.result.outcome == Outcome::TimedOut) {
            ++noRecord;
        }
        try {
            if (settled.pending && settled.pending->Channel().Size(1000) != 0) {
                ++twoRecords;
            }
        } catch (...) {
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++outcomes[settled.result.outcome];
        const int done = ++collected;
        if (done % SampleEvery == 0) {
            SampleResident(done);
        }
    }

    // Every SampleEvery requests, the resident memory of each live worker
    // goes to the first thousand's or the last thousand's samples.
    void SampleResident(int done) {
        std::vector<long>* samples = done <= 1000 ? &firstThousand : done > total - 1000 ? &lastThousand : nullptr;
        for (int slot = 0; samples != nullptr && slot < Workers; ++slot) {
            const long resident = OrvoBench::ResidentKiB(pids[slot]);
            if (resident > 0) {
                samples->push_back(resident);
            }
        }
    }

    static long Mean(const std::vector<long>& samples) {
        long sum = 0;
        for (long sample : samples) {
            sum += sample;
        }
        return samples.empty() ? 0 : sum / static_cast<long>(samples.size());
    }

    void Kill() {
        int victim = 0;
        while (!finished) {
            for (int waited = 0; waited < KillEveryMs && !finished; waited += 100) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (!finished && pids[victim] > 0) {
                peakKiB[victim] = std::max(peakKiB[victim], OrvoBench::PeakResidentKiB(pids[victim]));
                ::kill(pids[victim], SIGKILL);
                ++kills;
            }
            victim = (victim + 1) % Workers;
        }
    }

    // The peak resident memory of the window's worker, before it goes.
    void Remember(int slot, RequestWindow& window) {
        if (window.GetClient() == nullptr) {
            return;
        }
        const long peak = OrvoBench::PeakResidentKiB(window.GetClient()->GetWorker().Pid());
        std::lock_guard<std::mutex> lock(mutex);
        peakKiB[slot] = std::max(peakKiB[slot], peak);
    }

    const int total;
    TestHttpServer& server;
    std::atomic<int> next{0};
    std::atomic<int> sent{0};
    std::atomic<int> noRecord{0};
    std::atomic<int> twoRecords{0};
    std::atomic<int> restarts{0};
    std::atomic<int> kills{0};
    std::atomic<bool> finished{false};
    // Guards the fields below.
    mutable std::mutex mutex;
    std::map<Outcome, int> outcomes;
    int collected = 0;
    pid_t pids[Workers] = {};
    std::set<pid_t> started;
    long peakKiB[Workers] = {};
    std::vector<long> firstThousand;
    std::vector<long> lastThousand;
};

} // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 10000;
    const std::set<std::string> filesBefore = Entries("/tmp", "_BWIMPL_");
    const std::string clientObjects = "OrvoClient_" + std::to_string(::getpid()) + "_";
    int status = 0;
    std::size_t objectsLeft = 0;
    {
        TestHttpServer server(&Fixture);
        Soak soak(total, server);
        const auto start = std::chrono::steady_clock::now();
        soak.Run();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        status = soak.Report();
        objectsLeft += soak.WorkerObjectsLeft();
        std::printf("time: %.0f s (%.1f requests/s)\n", seconds, total / seconds);
    }
    objectsLeft += Entries("/dev/shm", clientObjects).size();
    std::size_t filesLeft = 0;
    for (const std::string& file : Entries("/tmp", "_BWIMPL_")) {
        filesLeft += filesBefore.count(file) == 0 ? 1 : 0;
    }
    std::printf("objects left in /dev/shm: %zu\nfiles left in /tmp:       %zu\n", objectsLeft, filesLeft);
    return status != 0 || objectsLeft != 0 || filesLeft != 0 ? 1 : 0;
}
