// How the real worker ends when it is killed, stopped by a signal or left
// with a request channel whose lock a dead client holds, seen by a client
// written from the protocol alone (OrvoTest::ProtocolClient): every request
// it held is answered, its names are gone, and its log holds every line it
// wrote.

#include <atomic>
#include <cstdio>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/sync/named_mutex.hpp>
#include <gtest/gtest.h>
#include <signal.h>

#include "Client/StaleObjects.h"
#include "Client/Worker.h"
#include "Common/ChildProcess.h"
#include "Common/ProtocolClient.h"
#include "Common/SharedObjects.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Protocol/Channel.h"
#include "Protocol/ExitStatus.h"
#include "Protocol/Request.h"
#include "Protocol/WorkerNames.h"

namespace {

using OrvoTest::SharedObjects;
using Orvo::Browser::Request;
using Orvo::Browser::WorkerNames;
using OrvoTest::ProtocolClient;
using OrvoTest::TestHttpServer;
typedef Orvo::Interprocess::Channel<Orvo::Browser::Segment, Request> RequestChannel;

// Pages of the test server; /gate (with any query) answers only once the
// test opens it.
class Site {
public:
    Site() : server([this](const TestHttpServer::Request& request) { return Answer(request); }) {}
    ~Site() { Open(); }

    void Open() { open = true; }
    std::string Url(const std::string& target) const { return server.Url(target); }

private:
    TestHttpServer::Response Answer(const TestHttpServer::Request& request) {
        TestHttpServer::Response response;
        response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
        if (request.target == "/hold") {
            response.hold = true;
            return response;
        }
        if (request.target.compare(0, 5, "/gate") == 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!open && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        response.body = "<html><body><p>page " + request.target + "</p></body></html>";
        return response;
    }

    std::atomic<bool> open{false};
    TestHttpServer server;
};

class WorkerEnds : public ::testing::Test {
protected:
    // Starts the worker on Qt's offscreen platform, its standard output and
    // error appended to worker.out; with the default ini, it logs at DEBUG
    // into worker.log.
    void StartWorker(const std::vector<std::string>& environment = {},
                     const std::vector<std::string>& arguments = {},
                     const std::string& ini = "logLevel=DEBUG\nlogFile=%/worker.log\n") {
        std::string settings = ini;
        const std::string::size_type at = settings.find('%');
        if (at != std::string::npos) {
            settings.replace(at, 1, directory.path);
        }
        directory.Write("worker.ini", "[Orvo.browser.webkit.Server]\n" + settings);
        std::vector<std::string> argv{ORVO_BROWSER_BINARY, "--config", directory.path + "/worker.ini"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
        env.insert(env.end(), environment.begin(), environment.end());
        worker = OrvoTest::StartProgram(argv, env, directory.path + "/worker.out");
        pid = worker->Pid();
        ASSERT_TRUE(ProtocolClient::AwaitReady(pid, 30000)) << directory.Read("worker.out");
        client.reset(new ProtocolClient(pid, "OrvoTestEnds"));
    }

    std::string Log() const { return directory.Read("worker.log"); }

    bool AwaitLog(const std::string& text, int timeoutMs = 30000) const {
        return directory.AwaitText("worker.log", text, timeoutMs);
    }

    // Sends url under a new name; returns the name.
    std::string Send(const std::string& url) {
        const std::string name = client->NewName();
        client->Put(url, name, {{"snapshot", false}, {"keep", 60000}});
        return name;
    }

    // Sends url and waits until the worker opened its page.
    std::string Open(const std::string& url) {
        const std::string name = Send(url);
        EXPECT_TRUE(AwaitLog("RequestHandler::ProcessRequest => " + url)) << Log();
        return name;
    }

    ProtocolClient::Answer Answer(const std::string& name, int timeoutMs = 30000) {
        ProtocolClient::Answer answer;
        EXPECT_TRUE(client->Take(name, answer, timeoutMs)) << "no answer for " << name;
        return answer;
    }

    std::vector<std::string> NamesLeft() const { return SharedObjects("Orvo_Browser_" + std::to_string(pid) + "_"); }


    Site site;
    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<OrvoTest::ChildProcess> worker;
    long pid = 0;
    std::unique_ptr<ProtocolClient> client;
};

// Standard output is a file, as under orvo-render, orvo-serve or a service
// manager: the lines of a request's last moments are in it although the
// worker was killed right after answering.
TEST_F(WorkerEnds, EveryLogLineIsInTheFileWhenTheWorkerIsKilled) {
    StartWorker({}, {}, "logLevel=INFO\n");
    const std::string url = site.Url("/plain");
    const std::string name = Send(url);
    EXPECT_EQ(url, Answer(name).pageUrl);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(-SIGKILL, worker->Wait(10000));
    // What the killed worker left, as a client's sweep removes it.
    Orvo::Browser::Client::StaleObjects::Sweep();
    const std::string output = directory.Read("worker.out");
    EXPECT_NE(std::string::npos, output.find(" - INFO - Thread: ")) << output;
    EXPECT_NE(std::string::npos, output.find(" - RequestHandler::ProcessRequest => " + url + " (" + name + ")\n"))
        << output;
    EXPECT_NE(std::string::npos, output.find(" - Server::SendResponse => " + url + "\n")) << output;
}

// A client killed while it holds the request channel's lock leaves it taken
// for good. The worker notices in every state (within its lock deadline of
// 5 s, divided by 5 here), says so at FATAL, answers what it held, removes
// its names and ends with a status of its own.
class WedgedRequestChannel : public WorkerEnds {
protected:
    void SetUp() override { StartWorker({"ORVO_TEST_TIME_DIVISOR=5"}); }

    void Wedge() {
        const std::string mutexName = RequestChannel::MutexName(WorkerNames::RequestSegment(pid).c_str());
        OrvoTest::ChildProcess holder([&mutexName] {
            boost::interprocess::named_mutex mutex(boost::interprocess::open_only, mutexName.c_str());
            mutex.lock();
            ::raise(SIGKILL);
            return 0;
        });
        ASSERT_EQ(-SIGKILL, holder.Wait(10000));
    }

    void ExpectGivenUp() {
        EXPECT_EQ(Orvo::Browser::ExitStatus::ChannelWedged, worker->Wait(30000)) << Log();
        const std::string log = Log();
        EXPECT_NE(std::string::npos, log.find(" - FATAL - Thread: ")) << log;
        EXPECT_NE(std::string::npos, log.find("the request channel's lock is held past its deadline")) << log;
        EXPECT_EQ(std::vector<std::string>(), NamesLeft());
    }
};

TEST_F(WedgedRequestChannel, AFreshWorkerGivesUp) {
    Wedge();
    ExpectGivenUp();
}

TEST_F(WedgedRequestChannel, AnIdleWorkerGivesUp) {
    const std::string name = Send(site.Url("/plain"));
    EXPECT_EQ(site.Url("/plain"), Answer(name).pageUrl);
    Wedge();
    ExpectGivenUp();
}

TEST_F(WedgedRequestChannel, ABusyWorkerGivesUpAndAnswersItsPageDead) {
    const std::string name = Open(site.Url("/hold"));
    Wedge();
    ExpectGivenUp();
    const ProtocolClient::Answer answer = Answer(name, 1000);
    EXPECT_EQ(site.Url("/hold"), answer.pageUrl);
    EXPECT_EQ("DEAD", answer.detail);
}

// SIGTERM (what a service manager sends), SIGINT and SIGHUP stop the worker
// as its own stop does: nothing more is taken, what it holds is answered,
// its names go, and it exits 0 with an INFO line naming the signal.
class StopSignal : public WorkerEnds, public ::testing::WithParamInterface<int> {
protected:
    void ExpectStoppedCleanly() {
        EXPECT_EQ(0, worker->Wait(30000)) << Log();
        const std::string log = Log();
        const std::string name = GetParam() == SIGTERM ? "SIGTERM" : GetParam() == SIGINT ? "SIGINT" : "SIGHUP";
        EXPECT_NE(std::string::npos, log.find(" - INFO - Thread: ")) << log;
        EXPECT_NE(std::string::npos, log.find(" - QMainRequestHandler::StopOnSignal => " + name + "\n")) << log;
        EXPECT_NE(std::string::npos, log.find(" - Exit Main: 0\n")) << log;
        EXPECT_EQ(std::vector<std::string>(), NamesLeft());
    }
};

TEST_P(StopSignal, AnIdleWorkerEndsCleanly) {
    StartWorker();
    ::kill(pid, GetParam());
    ExpectStoppedCleanly();
}

TEST_P(StopSignal, APageThatFinishesAfterTheSignalIsRendered) {
    StartWorker();
    const std::string name = Open(site.Url("/gate"));
    ::kill(pid, GetParam());
    ASSERT_TRUE(AwaitLog("QMainRequestHandler::StopOnSignal => ")) << Log();
    site.Open();
    const ProtocolClient::Answer answer = Answer(name);
    EXPECT_NE(std::string::npos, answer.body.find("page /gate")) << answer.body << "\n" << Log();
    ExpectStoppedCleanly();
}

INSTANTIATE_TEST_SUITE_P(WorkerEnds, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// A worker started through the client library ends with the process that
// started it, also when that process is killed outright: it stops as on
// SIGTERM, so the page it holds is still answered to its other clients.
TEST_F(WorkerEnds, AWorkerEndsWhenTheProcessThatStartedItIsKilled) {
    directory.Write("worker.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=" + directory.path
                                      + "/worker.log\n");
    OrvoTest::ChildProcess starter([&] {
        Orvo::Browser::Client::Worker::StartOptions options;
        options.program = ORVO_BROWSER_BINARY;
        options.arguments = {"--config", directory.path + "/worker.ini"};
        options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
        options.logFile = directory.path + "/worker.out";
        const std::unique_ptr<Orvo::Browser::Client::Worker> started = Orvo::Browser::Client::Worker::Start(options);
        directory.Write("worker.pid.new", std::to_string(started->Pid()));
        std::rename((directory.path + "/worker.pid.new").c_str(), (directory.path + "/worker.pid").c_str());
        for (;;) {
            ::pause();
        }
        return 0;
    });
    const auto started = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (directory.Read("worker.pid").empty() && std::chrono::steady_clock::now() < started) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(directory.Read("worker.pid").empty()) << directory.Read("worker.out");
    pid = std::stol(directory.Read("worker.pid"));
    client.reset(new ProtocolClient(pid, "OrvoTestEnds"));
    const std::string gated = Open(site.Url("/gate"));
    ::kill(starter.Pid(), SIGKILL);
    EXPECT_EQ(-SIGKILL, starter.Wait(10000));
    ASSERT_TRUE(AwaitLog(" - QMainRequestHandler::StopOnParentGone => the process that started this worker "
                         "ended\n")) << Log();
    const std::string log = Log();
    const std::size_t line = log.rfind('\n', log.find("StopOnParentGone")) + 1;
    EXPECT_EQ(line + 23, log.find(" - WARN - Thread: ", line)) << log;
    site.Open();
    EXPECT_NE(std::string::npos, Answer(gated).body.find("page /gate"));
    ASSERT_TRUE(AwaitLog(" - Exit Main: 0\n")) << Log();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!OrvoTest::Ended(static_cast<pid_t>(pid)) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(OrvoTest::Ended(static_cast<pid_t>(pid)));
    EXPECT_EQ(std::vector<std::string>(), NamesLeft());
}

// Two pages open (the most it may), one more in the hand-over slot, one
// waiting for the slot and one in the request channel when SIGTERM comes:
// those three are answered dead at once, the page that finishes within the
// grace is rendered, and the one that never does is answered dead when the
// grace (5 s) runs out.
TEST_F(WorkerEnds, SigtermAnswersEveryRequestItHolds) {
    StartWorker({}, {"--max-pages", "2"});
    const std::string held = Open(site.Url("/hold"));
    const std::string gated = Open(site.Url("/gate"));
    const std::string inSlot = Send(site.Url("/plain?slot"));
    const std::string waiting = Send(site.Url("/plain?waiting"));
    ASSERT_TRUE(AwaitLog("ServerMediator::ProcessRequest: " + site.Url("/plain?waiting"))) << Log();
    const std::string queued = Send(site.Url("/plain?queued"));
    ::kill(pid, SIGTERM);
    for (const std::string& name : {inSlot, waiting, queued}) {
        EXPECT_EQ("DEAD", Answer(name).detail) << name;
    }
    site.Open();
    const ProtocolClient::Answer answer = Answer(gated);
    EXPECT_NE(std::string::npos, answer.body.find("page /gate")) << answer.body;
    EXPECT_EQ("DEAD", Answer(held).detail);
    EXPECT_EQ(0, worker->Wait(30000)) << Log();
    EXPECT_NE(std::string::npos, Log().find(" - QMainRequestHandler::StopOnSignal => SIGTERM\n")) << Log();
    EXPECT_EQ(std::vector<std::string>(), NamesLeft());
}

} // namespace

namespace {

// A worker past its recycling limit retires without losing a request: its
// ready marker goes at once, every request it was sent (also one a client
// put into the channel after the marker went) is rendered, not answered
// dead, and once none is left it exits with a status of its own, its names
// gone.
TEST_F(WorkerEnds, AWorkerRetiresAfterItsPagesAndAnswersEveryRequestItWasSent) {
    StartWorker({}, {"--recycle-pages", "3"});
    std::vector<std::string> names{Open(site.Url("/gate?1")), Open(site.Url("/gate?2"))};
    EXPECT_TRUE(ProtocolClient::AwaitReady(pid, 0));
    names.push_back(Open(site.Url("/gate?3")));
    ASSERT_TRUE(AwaitLog(" - QMainRequestHandler::Retire => took 3 requests (limit 3)\n")) << Log();
    EXPECT_FALSE(ProtocolClient::AwaitReady(pid, 0));
    names.push_back(Send(site.Url("/gate?late-1")));
    names.push_back(Send(site.Url("/gate?late-2")));
    site.Open();
    for (const std::string& name : names) {
        const ProtocolClient::Answer answer = Answer(name);
        EXPECT_NE(std::string::npos, answer.body.find("page /gate?")) << name << ": " << answer.detail;
    }
    EXPECT_EQ(Orvo::Browser::ExitStatus::Recycled, worker->Wait(30000)) << Log();
    EXPECT_NE(std::string::npos, Log().find("QMainRequestHandler::Retire => every request answered after 5\n"))
        << Log();
    EXPECT_EQ(std::vector<std::string>(), NamesLeft());
}

// With a memory limit below what any worker holds, the worker retires at
// its first look, before it was sent anything.
TEST_F(WorkerEnds, AWorkerPastItsMemoryLimitRetires) {
    directory.Write("worker.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=" + directory.path
                                      + "/worker.log\n");
    worker = OrvoTest::StartProgram(
        {ORVO_BROWSER_BINARY, "--config", directory.path + "/worker.ini", "--recycle-rss", "1"},
        {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}, directory.path + "/worker.out");
    pid = worker->Pid();
    EXPECT_EQ(Orvo::Browser::ExitStatus::Recycled, worker->Wait(30000)) << Log();
    const std::string log = Log();
    EXPECT_NE(std::string::npos, log.find(" - QMainRequestHandler::Retire => resident memory ")) << log;
    EXPECT_NE(std::string::npos, log.find(" MB (limit 1 MB)\n")) << log;
    EXPECT_EQ(std::vector<std::string>(), NamesLeft());
}

} // namespace
