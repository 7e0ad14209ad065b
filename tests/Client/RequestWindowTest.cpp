// The request window against the test worker (orvo-test-worker): requests
// outstanding at once, results as they come, a worker lost and replaced.

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/sync/named_semaphore.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "Client/RequestWindow.h"
#include "Protocol/WorkerNames.h"
#include "Common/TemporaryDirectory.h"

namespace {

using namespace Orvo::Browser::Client;
using Clock = RequestWindow::Clock;

class RequestWindowTest : public ::testing::Test {
protected:
    RequestWindowTest() {
        directory.Write("Orvo.browser.webkit.ini", "[Orvo.browser.webkit.Server]\nlogLevel=INFO\nlogFile=worker.log\n");
    }

    // How the test worker is started.
    Worker::StartOptions Options() const {
        Worker::StartOptions options;
        options.program = ORVO_TEST_WORKER_BINARY;
        options.directory = directory.path;
        options.logFile = directory.path + "/worker.out";
        // The worker waits 18 s for a request before it stops itself.
        options.environment.push_back("ORVO_TEST_TIME_DIVISOR=10");
        return options;
    }

    // A window whose factory starts test workers, counting them.
    std::unique_ptr<RequestWindow> Window(int capacity) {
        return std::unique_ptr<RequestWindow>(new RequestWindow(capacity, [this]() {
            ++started;
            return std::unique_ptr<Client>(new Client(Worker::Start(Options())));
        }));
    }

    static Clock::time_point In(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

    // Takes results until one settles.
    static RequestWindow::Settled Next(RequestWindow& window, int graceMs = 0) {
        RequestWindow::Settled settled;
        const auto giveUp = In(20);
        while (!window.TakeAny(settled, graceMs, false) && !window.Idle() && Clock::now() < giveUp) {
        }
        return settled;
    }

    OrvoTest::TemporaryDirectory directory;
    int started = 0;
};

TEST_F(RequestWindowTest, ItHoldsUpToItsCapacityAndTakesResultsAsTheyCome) {
    std::unique_ptr<RequestWindow> window = Window(3);
    std::string error;
    EXPECT_TRUE(window->NeedsWorker());
    ASSERT_TRUE(window->Replace(error)) << error;
    EXPECT_FALSE(window->NeedsWorker());
    EXPECT_TRUE(window->Idle());
    ASSERT_TRUE(window->Send(1, "test://host/delay?ms=2000", {}, In(20)));
    ASSERT_TRUE(window->Send(2, "test://host/echo?second", {}, In(20)));
    EXPECT_FALSE(window->Full());
    ASSERT_TRUE(window->Send(3, "test://host/echo?third", {}, In(20)));
    EXPECT_TRUE(window->Full());
    std::vector<std::size_t> order;
    for (int k = 0; k < 3; ++k) {
        const RequestWindow::Settled settled = Next(*window);
        EXPECT_EQ(Outcome::Rendered, settled.result.outcome) << settled.result.error;
        EXPECT_EQ(1, settled.attempts);
        EXPECT_EQ(window->GetClient()->GetWorker().Pid(), settled.pid);
        order.push_back(settled.tag);
    }
    EXPECT_EQ(1u, order.back()) << "the slow one comes last";
    EXPECT_TRUE(window->Idle());
}

// Lost with its worker, a request waits to be sent again, to a fresh
// worker; lost a second time, the loss is its result.
TEST_F(RequestWindowTest, ALostRequestIsSentOnceMoreToAFreshWorker) {
    std::unique_ptr<RequestWindow> window = Window(2);
    std::string error;
    ASSERT_TRUE(window->Replace(error)) << error;
    const long first = window->GetClient()->GetWorker().Pid();
    ASSERT_TRUE(window->Send(7, "test://host/never", {}, In(20)));
    ::kill(static_cast<pid_t>(first), SIGKILL);
    RequestWindow::Settled settled;
    const auto giveUp = In(20);
    while (!window->Idle() && Clock::now() < giveUp) {
        EXPECT_FALSE(window->TakeAny(settled, 0, false)) << "a first loss is no result";
    }
    EXPECT_FALSE(window->Usable());
    EXPECT_TRUE(window->NeedsWorker());
    std::size_t tag = 0;
    int attempts = 0;
    ASSERT_TRUE(window->TakeResend(tag, attempts));
    EXPECT_EQ(7u, tag);
    EXPECT_EQ(1, attempts);
    EXPECT_FALSE(window->HasResend());

    ASSERT_TRUE(window->Replace(error)) << error;
    const long second = window->GetClient()->GetWorker().Pid();
    EXPECT_NE(first, second);
    ASSERT_TRUE(window->Send(tag, "test://host/never", {}, In(20), attempts));
    ::kill(static_cast<pid_t>(second), SIGKILL);
    settled = Next(*window);
    EXPECT_EQ(7u, settled.tag);
    EXPECT_EQ(Outcome::WorkerGone, settled.result.outcome);
    EXPECT_EQ(2, settled.attempts);
    EXPECT_EQ(second, settled.pid);
    EXPECT_FALSE(window->HasResend());
    EXPECT_EQ(2, started);
}

TEST_F(RequestWindowTest, ARequestPastItsDeadlineAndGraceIsTimedOut) {
    std::unique_ptr<RequestWindow> window = Window(1);
    std::string error;
    ASSERT_TRUE(window->Replace(error)) << error;
    const auto sent = Clock::now();
    ASSERT_TRUE(window->Send(1, "test://host/never", {}, sent + std::chrono::milliseconds(100)));
    const RequestWindow::Settled settled = Next(*window, 200);
    EXPECT_EQ(Outcome::TimedOut, settled.result.outcome);
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(300)) << "deadline and grace both waited for";
    EXPECT_TRUE(window->Usable()) << "a slow page does not end its worker";
}

// A worker that stopped taking requests refuses the send: the request is
// kept for the next worker, and one that answers dead is not used again.
TEST_F(RequestWindowTest, AWorkerThatStoppedKeepsTheRequestForTheNext) {
    std::unique_ptr<RequestWindow> window = Window(2);
    std::string error;
    ASSERT_TRUE(window->Replace(error)) << error;
    ASSERT_TRUE(window->Send(1, "test://host/stop?ms=0", {}, In(20)));
    ASSERT_EQ(0, window->GetClient()->GetWorker().WaitForExit(10000));
    EXPECT_FALSE(window->Send(2, "test://host/echo", {}, In(20)));
    EXPECT_FALSE(window->Usable());
    const std::vector<std::size_t> tags = window->Abandon();
    EXPECT_EQ((std::set<std::size_t>{1, 2}), std::set<std::size_t>(tags.begin(), tags.end()))
        << "the outstanding one and the one kept to send again";
    EXPECT_TRUE(window->Idle());
    EXPECT_FALSE(window->HasResend());
}

TEST_F(RequestWindowTest, TheWindowEndsTheWorkerItStarted) {
    long pid = 0;
    {
        std::unique_ptr<RequestWindow> window = Window(1);
        std::string error;
        ASSERT_TRUE(window->Replace(error)) << error;
        pid = window->GetClient()->GetWorker().Pid();
        ASSERT_TRUE(window->Send(1, "test://host/never", {}, In(20)));
    }
    EXPECT_NE(0, ::kill(static_cast<pid_t>(pid), 0)) << "ended and reaped";
}

// A worker started for a client that cannot reach it (here no descriptor
// is left to open its request segment with) is ended, not left running
// unseen until this process ends.
TEST_F(RequestWindowTest, AStartedWorkerItsClientCannotReachIsEnded) {
    std::unique_ptr<Worker> worker = Worker::Start(Options());
    const pid_t pid = worker->Pid();
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &none));
    bool threw = false;
    try {
        Client client(std::move(worker));
    } catch (const std::exception&) {
        threw = true;
    }
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_TRUE(threw);
    EXPECT_NE(0, ::kill(pid, 0)) << "ended and reaped";
}

} // namespace

namespace {

// A worker that stops taking requests while it holds some (its ready marker
// gone, as when it retires) is replaced at once: it answers what it holds
// beside the fresh worker, nothing is sent twice, and it is ended once it
// holds nothing (here after the window's wait for it to end by itself).
TEST_F(RequestWindowTest, AReplacedWorkerAnswersWhatItHoldsBesideTheFreshOne) {
    std::unique_ptr<RequestWindow> window = Window(4);
    std::string error;
    ASSERT_TRUE(window->Replace(error)) << error;
    const pid_t old = window->GetClient()->GetWorker().Pid();
    ASSERT_TRUE(window->Send(1, "test://host/delay?ms=1500", {}, In(20)));
    ASSERT_TRUE(window->Send(2, "test://host/delay?ms=1500", {}, In(20)));
    boost::interprocess::named_semaphore::remove(Orvo::Browser::WorkerNames::ReadyMarker(old).c_str());
    EXPECT_TRUE(window->NeedsWorker());
    ASSERT_TRUE(window->Retiring());
    ASSERT_TRUE(window->Replace(error)) << error;
    const pid_t fresh = window->GetClient()->GetWorker().Pid();
    EXPECT_NE(old, fresh);
    EXPECT_FALSE(window->Retiring());
    ASSERT_TRUE(window->Send(3, "test://host/echo?fresh", {}, In(20)));
    std::map<std::size_t, RequestWindow::Settled> settled;
    for (int k = 0; k < 3; ++k) {
        RequestWindow::Settled next = Next(*window);
        settled[next.tag] = std::move(next);
    }
    ASSERT_EQ(3u, settled.size());
    for (const std::size_t tag : {1, 2, 3}) {
        EXPECT_EQ(Outcome::Rendered, settled[tag].result.outcome) << tag << ": " << settled[tag].result.error;
        EXPECT_EQ(1, settled[tag].attempts) << tag;
        EXPECT_EQ(tag == 3 ? fresh : old, settled[tag].pid) << tag;
    }
    EXPECT_FALSE(window->HasResend());
    EXPECT_EQ(0, ::kill(old, 0)) << "the old worker is given time to end by itself";
    RequestWindow::Settled none;
    const auto giveUp = In(30);
    while (::kill(old, 0) == 0 && Clock::now() < giveUp) {
        window->TakeAny(none, 0, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(0, ::kill(old, 0)) << "ended and reaped once it held nothing";
    EXPECT_EQ(0, ::kill(fresh, 0));
}

} // namespace
