#ifndef ORVO_TESTS_TOOLS_ORVOSERVEFIXTURE_H
#define ORVO_TESTS_TOOLS_ORVOSERVEFIXTURE_H

// What the end-to-end tests of orvo-serve share: the pages of a test site,
// the service run as its own process, and checks of its answers.

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/HttpClient.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"

namespace OrvoServeTest {

using OrvoTest::HttpClient;
using OrvoTest::TestHttpServer;
using nlohmann::json;

TestHttpServer::Response Html(const std::string& body, int status = 200);

// The pages the tests render; see the tests for what each shows.
TestHttpServer::Response Site(const TestHttpServer::Request& request);

// The process ids of pid's children.
std::vector<pid_t> Children(pid_t pid);

bool Alive(pid_t pid);

template <class Condition>
bool WaitFor(Condition condition, int timeoutMs = 30000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The names in /dev/shm that name pid: its workers' and its clients'.
std::vector<std::string> SharedObjectsOf(const std::vector<pid_t>& pids);

QImage Picture(const std::string& bytes);

// An error answer of the given status and type, in the documented shape.
void ExpectError(const HttpClient::Response& response, int status, const std::string& type);

// Runs orvo-serve on a port of its own, logging into a temporary directory;
// the test ends it with SIGTERM and checks that it stopped cleanly.
class OrvoServe : public ::testing::Test {
protected:
    OrvoServe() : server(&Site) {}

    ~OrvoServe() override {
        if (process) {
            Stop();
        }
    }

    void Start(const std::vector<std::string>& arguments = {}, const std::vector<std::string>& environment = {}) {
        std::vector<std::string> argv = launcher;
        argv.insert(argv.end(), {ORVO_SERVE_BINARY, "--listen", "127.0.0.1:0", "--log", LogPath()});
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> settings{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
        settings.insert(settings.end(), environment.begin(), environment.end());
        process = OrvoTest::StartProgram(argv, settings, directory.path + "/serve.out");
        const std::string marker = "orvo-serve: listening on 127.0.0.1:";
        ASSERT_TRUE(WaitFor([&] { return Log().find(marker) != std::string::npos; })) << Log();
        const std::string log = Log();
        port = static_cast<unsigned short>(std::stoi(log.substr(log.find(marker) + marker.size())));
        client.reset(new HttpClient(port));
    }

    // SIGTERM; returns the exit status. Workers still there afterwards fail
    // the test and are killed.
    int Stop() {
        const std::vector<pid_t> workers = Children(process->Pid());
        ::kill(process->Pid(), SIGTERM);
        const int status = process->Wait(120000);
        for (const pid_t worker : workers) {
            if (!WaitFor([worker] { return !Alive(worker); }, 1000)) {
                ADD_FAILURE() << "worker " << worker << " outlived the service";
                ::kill(worker, SIGKILL);
            }
        }
        process.reset();
        return status;
    }

    std::string LogPath() const { return directory.path + "/serve.log"; }
    std::string Log() const { return directory.Read("serve.log"); }

    // A render request's target with url and further arguments.
    std::string Target(const std::string& endpoint, const std::string& page, const std::string& more = "") const {
        return "/" + endpoint + "?url=" + HttpClient::Encode(server.Url(page)) + more;
    }

    // Whether the service's metrics hold line; the fetch is counted.
    bool MetricsShow(const std::string& line) { return client->Get("/metrics").body.find(line) != std::string::npos; }

    // The workers the service runs now.
    std::vector<pid_t> Workers() const { return Children(process->Pid()); }

    // A command and its arguments that Start runs the service through.
    std::vector<std::string> launcher;
    TestHttpServer server;
    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<OrvoTest::ChildProcess> process;
    unsigned short port = 0;
    std::unique_ptr<HttpClient> client;
};

} // namespace OrvoServeTest

#endif
