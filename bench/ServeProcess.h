#ifndef ORVO_BENCH_SERVEPROCESS_H
#define ORVO_BENCH_SERVEPROCESS_H

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "Common/ChildProcess.h"
#include "Common/HttpClient.h"

namespace OrvoBench {

// orvo-serve as a child process of a benchmark, with workers (2 unless
// said) of 8 requests in flight each, listening on a port of its own and
// logging to log; more arguments may follow, and start more workers when
// they say so (moreWorkers: how many, all engines counted). Ended with
// SIGTERM. ORVO_BENCH_SERVE names another orvo-serve program, to compare
// builds.
class ServeProcess {
public:
    ServeProcess(const std::string& log, const std::vector<std::string>& more = {}, int workers = 2,
                 int moreWorkers = 0)
        : log(log), ready(workers + moreWorkers) {
        const char* const program = std::getenv("ORVO_BENCH_SERVE");
        std::vector<std::string> argv{program != nullptr ? program : ORVO_SERVE_BINARY, "--listen", "127.0.0.1:0",
                                      "--workers", std::to_string(workers), "--in-flight", "8", "--log", log};
        argv.insert(argv.end(), more.begin(), more.end());
        process = OrvoTest::StartProgram(argv);
    }

    ~ServeProcess() {
        ::kill(process->Pid(), SIGTERM);
        process->Wait(120000);
    }

    pid_t Pid() const { return process->Pid(); }

    // The port, once the service says where it listens and its workers
    // are ready; 0 when it does not within a minute.
    unsigned short AwaitReady() const {
        const std::string marker = "orvo-serve: listening on 127.0.0.1:";
        for (int k = 0; k < 600; ++k) {
            std::ifstream file(log);
            const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            const std::size_t at = text.find(marker);
            if (at != std::string::npos) {
                const auto port = static_cast<unsigned short>(std::stoi(text.substr(at + marker.size())));
                OrvoTest::HttpClient client(port);
                const std::string line = "orvo_serve_workers_ready " + std::to_string(ready) + "\n";
                if (client.Get("/metrics").body.find(line) != std::string::npos) {
                    return port;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return 0;
    }

private:
    const std::string log;
    // Workers ready once the service has started them all.
    const int ready;
    std::unique_ptr<OrvoTest::ChildProcess> process;
};

// Statuses other than 200 and how often each came.
typedef std::map<int, std::size_t> Statuses;

// Renders every URL through the service at port, from connections client
// connections each sending the next URL as soon as its answer is read;
// returns how many were answered 200, counts the other statuses (0: no
// answer), and sets seconds. answered, when given, hears of each answer's
// status, one at a time.
inline std::size_t RenderOverHttp(unsigned short port, const std::vector<std::string>& urls,
                                  const std::string& endpoint, const std::string& more, int connections,
                                  Statuses& others, double& seconds,
                                  const std::function<void(int status)>& answered = nullptr) {
    std::atomic<std::size_t> next(0);
    std::mutex mutex;
    std::size_t succeeded = 0;
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int k = 0; k < connections; ++k) {
        clients.emplace_back([&] {
            OrvoTest::HttpClient client(port);
            for (std::size_t index = next++; index < urls.size(); index = next++) {
                int status = 0;
                try {
                    status = client.Get(endpoint + "?url=" + OrvoTest::HttpClient::Encode(urls[index]) + more).status;
                } catch (const std::exception&) {
                }
                std::lock_guard<std::mutex> lock(mutex);
                succeeded += status == 200 ? 1 : 0;
                others[status] += status == 200 ? 0 : 1;
                if (answered) {
                    answered(status);
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return succeeded;
}

} // namespace OrvoBench

#endif
