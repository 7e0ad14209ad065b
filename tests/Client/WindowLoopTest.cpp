// The window loop against the test worker (orvo-test-worker), from one
// table: what becomes of each task of a list when every page is answered,
// when a worker stops under a task, when no worker starts, and when the
// source stops while pages are outstanding.

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Client/WindowLoop.h"
#include "Common/TemporaryDirectory.h"

namespace {

using namespace Orvo::Browser::Client;

// Hands out a list of URLs in order and notes what becomes of each: its
// outcome's name (or "given up"), its error and how many sends it took.
// Stops once stopAfter tasks are settled, when stopAfter is above 0; a
// worker that does not start fails the next URL.
class ListSource : public WindowLoop::Source {
public:
    ListSource(const std::vector<std::string>& urls, int stopAfter) : urls(urls), stopAfter(stopAfter) {}

    struct Fate {
        std::string outcome;
        std::string error;
        int attempts = 0;
        int settledTimes = 0;
    };

    std::map<std::size_t, Fate> fates;
    int noWorker = 0;

private:
    bool Stopped() override { return stopAfter > 0 && settled >= stopAfter; }
    bool More() override { return next < urls.size(); }
    void Await() override {}

    bool Take(std::size_t& tag, WindowLoop::Task& task) override {
        if (next >= urls.size()) {
            return false;
        }
        tag = next++;
        return Again(tag, task);
    }

    bool Again(std::size_t tag, WindowLoop::Task& task) override {
        task.url = urls[tag];
        task.deadline = RequestWindow::Clock::now() + std::chrono::seconds(20);
        return true;
    }

    void Settle(RequestWindow::Settled& done) override {
        Note(done.tag, OutcomeName(done.result.outcome), done.result.error, done.attempts);
        ++settled;
    }

    void Fail(std::size_t tag, int attempts, Result result) override {
        Note(tag, OutcomeName(result.outcome), result.error, attempts);
    }

    void GiveUp(std::size_t tag) override { Note(tag, "given up", "", 0); }

    bool NoWorker(const std::string&) override {
        ++noWorker;
        return true;
    }

    void Note(std::size_t tag, const std::string& outcome, const std::string& error, int attempts) {
        Fate& fate = fates[tag];
        fate.outcome = outcome;
        fate.error = error;
        fate.attempts = attempts;
        ++fate.settledTimes;
    }

    const std::vector<std::string> urls;
    const int stopAfter;
    std::size_t next = 0;
    int settled = 0;
};

struct Case {
    const char* name;
    std::vector<std::string> urls;
    int capacity;
    bool workerStarts;
    int stopAfter;
    // Per URL: its outcome's name, or "given up".
    std::vector<std::string> outcomes;
    // Sends per URL (0 for one never sent).
    std::vector<int> attempts;
    int workersStarted;
};

TEST(WindowLoop, EachTaskEndsOnceAsTheTableSays) {
    const std::string never = "test://host/never";
    const std::vector<Case> cases = {
        {"every page answered, in whatever order",
         {"test://host/delay?ms=400", "test://host/echo?1", "test://host/echo?2", "test://host/delay?ms=100",
          "test://host/echo?3"},
         3, true, 0, {"rendered", "rendered", "rendered", "rendered", "rendered"}, {1, 1, 1, 1, 1}, 1},
        {"a worker that stops under a task: sent once more to a fresh one, then lost",
         {"test://host/echo?1", "test://host/stop?ms=0", "test://host/echo?2"},
         1, true, 0, {"rendered", "lost", "rendered"}, {1, 2, 1}, 3},
        {"no worker starts: each task fails with the reason",
         {"test://host/echo?1", "test://host/echo?2"},
         2, false, 0, {"worker-gone", "worker-gone"}, {0, 0}, 0},
        {"the source stops: what is outstanding is given up",
         {"test://host/echo?1", never, never, "test://host/echo?2"},
         3, true, 1, {"rendered", "given up", "given up", "none"}, {1, 0, 0, 0}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OrvoTest::TemporaryDirectory directory;
        directory.Write("Orvo.browser.webkit.ini", "[Orvo.browser.webkit.Server]\nlogLevel=INFO\nlogFile=worker.log\n");
        int started = 0;
        ListSource source(c.urls, c.stopAfter);
        WindowLoop loop(
            [&]() -> std::unique_ptr<Client> {
                if (!c.workerStarts) {
                    throw std::runtime_error("no worker here");
                }
                Worker::StartOptions options;
                options.program = ORVO_TEST_WORKER_BINARY;
                options.directory = directory.path;
                options.logFile = directory.path + "/worker.out";
                ++started;
                return std::unique_ptr<Client>(new Client(Worker::Start(options)));
            },
            c.capacity, 0, source);
        loop.Run();
        for (std::size_t k = 0; k < c.urls.size(); ++k) {
            SCOPED_TRACE(c.urls[k]);
            const auto fate = source.fates.find(k);
            if (c.outcomes[k] == "none") {
                EXPECT_EQ(source.fates.end(), fate) << "never taken";
                continue;
            }
            ASSERT_NE(source.fates.end(), fate);
            const std::string outcome = fate->second.outcome;
            if (c.outcomes[k] == "lost") {
                EXPECT_TRUE(outcome == "worker-gone" || outcome == "dead") << outcome;
            } else {
                EXPECT_EQ(c.outcomes[k], outcome) << fate->second.error;
            }
            EXPECT_EQ(c.attempts[k], fate->second.attempts);
            EXPECT_EQ(1, fate->second.settledTimes);
        }
        if (!c.workerStarts) {
            EXPECT_EQ("no worker here", source.fates[0].error);
            EXPECT_EQ(static_cast<int>(c.urls.size()), source.noWorker);
        }
        EXPECT_EQ(c.workersStarted, started);
        EXPECT_FALSE(loop.Busy());
        EXPECT_EQ(c.workerStarts, loop.Ready());
        EXPECT_EQ(static_cast<unsigned long>(std::max(0, c.workersStarted - 1)), loop.Replaced());
    }
}

} // namespace
