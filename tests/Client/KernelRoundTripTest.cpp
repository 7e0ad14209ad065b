// The client library against the real serving kernel, with a test program
// playing the main thread (orvo-test-worker): requests travel from this
// process to the worker and results come back through shared memory.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mman.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Client/Client.h"
#include "Common/ChildProcess.h"
#include "Common/DeadLockHolder.h"
#include "Common/Occurrences.h"
#include "Common/ResultFiles.h"
#include "Common/SharedObjects.h"
#include "Common/TemporaryDirectory.h"
#include "Protocol/Channel.h"
#include "Protocol/SharedAccess.h"
#include "Protocol/WorkerNames.h"

namespace {

using OrvoTest::SharedObjects;
using namespace Orvo::Browser::Client;
using Orvo::Browser::Request;

class KernelRoundTrip : public ::testing::Test {
protected:
    // Starts the test worker, logging at DEBUG to worker.log in a directory
    // of its own, its long waits divided by divisor.
    void StartWorker(int divisor = 100, const std::vector<std::string>& environment = {},
                     const std::vector<std::string>& arguments = {}) {
        directory.Write("Orvo.browser.webkit.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=worker.log\n");
        Worker::StartOptions options;
        options.program = ORVO_TEST_WORKER_BINARY;
        options.directory = directory.path;
        options.logFile = directory.path + "/worker.out";
        options.environment = environment;
        options.environment.push_back("ORVO_TEST_TIME_DIVISOR=" + std::to_string(divisor));
        options.arguments = arguments;
        client.reset(new Client(Worker::Start(options)));
        pid = client->GetWorker().Pid();
    }

    // A worker still running is stopped the way its main thread stops it,
    // and must then leave no named object behind.
    void TearDown() override {
        if (client && client->GetWorker().IsAlive()) {
            client->Render("test://host/stop?ms=0", {}, 100);
            EXPECT_EQ(0, client->GetWorker().WaitForExit(10000));
            ExpectNothingLeftBehind();
        }
    }

    std::string Log() const { return directory.Read("worker.log"); }

    // Puts a record straight into the worker's request channel, as a client
    // outside the library could: with an option map built as the library
    // builds it, or without one (then any name goes, however long).
    void PutRecord(const std::string& url, const std::string& name, bool withOptionMap = true) {
        typedef Orvo::Interprocess::Channel<Orvo::Browser::Segment, Request> RequestChannel;
        const std::string segmentName = Orvo::Browser::WorkerNames::RequestSegment(pid);
        Orvo::Browser::Segment segment(boost::interprocess::open_only, segmentName.c_str());
        auto channel = RequestChannel::Get(segment, segmentName.c_str());
        Request* record = nullptr;
        if (withOptionMap) {
            record = segment.construct<Request>(boost::interprocess::anonymous_instance)(segment, url, name,
                                                                                        Request::Options());
        } else {
            record = segment.construct<Request>(boost::interprocess::anonymous_instance)(segment);
            record->url.assign(url.begin(), url.end());
            record->name.assign(name.begin(), name.end());
        }
        channel->Put(boost::interprocess::make_managed_unique_ptr(record, segment), 1000);
    }

    bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }

    // Waits for a line the worker writes after the event a test looks for.
    bool AwaitLog(const std::string& text, int timeoutMs = 20000) const {
        return directory.AwaitText("worker.log", text, timeoutMs);
    }

    void ExpectNothingLeftBehind() {
        EXPECT_EQ(std::vector<std::string>(), SharedObjects("Orvo_Browser_" + std::to_string(pid) + "_"));
        EXPECT_EQ(std::vector<std::string>(), SharedObjects("OrvoClient_" + std::to_string(::getpid()) + "_"));
    }

    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<Client> client;
    pid_t pid = 0;
};

TEST_F(KernelRoundTrip, ARequestAndItsOptionsComeBackAsARenderedResult) {
    StartWorker();
    Request::Options options;
    options["snapshot"] = false;
    options["keep"] = 30000;
    options["post"] = std::string("a=1&b=ü");
    const Result result = client->Render("test://host/echo?x=1", options, 10000);
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ("test://host/echo?x=1", result.pageUrl);
    EXPECT_EQ("12/07/2026 09:00:00", result.detail);
    EXPECT_EQ("echo test://host/echo?x=1 " + result.name + " keep=30000 post=a=1&b=ü snapshot=0", result.body);
    EXPECT_TRUE(result.encodedSnapshot.empty());
    EXPECT_TRUE(result.snapshot.Empty());
    EXPECT_EQ(0, result.status);
}

TEST_F(KernelRoundTrip, ResultsArriveInOrderAndOutOfOrder) {
    StartWorker();
    auto slow = client->Submit("test://host/delay?ms=400", {});
    auto fast = client->Submit("test://host/echo", {});
    const Result second = client->Collect(*fast, 10000);
    const Result first = client->Collect(*slow, 10000);
    EXPECT_EQ(Outcome::Rendered, second.outcome);
    EXPECT_EQ(Outcome::Rendered, first.outcome);
    EXPECT_EQ(0u, second.body.find("echo test://host/echo ")) << second.body;
    EXPECT_EQ(0u, first.body.find("echo test://host/delay?ms=400 ")) << first.body;

    std::vector<std::unique_ptr<PendingRequest>> pending;
    for (int k = 0; k < 5; ++k) {
        pending.push_back(client->Submit("test://host/echo?k=" + std::to_string(k), {}));
    }
    for (int k = 0; k < 5; ++k) {
        const Result result = client->Collect(*pending[k], 10000);
        EXPECT_EQ("test://host/echo?k=" + std::to_string(k), result.pageUrl);
    }
}

TEST_F(KernelRoundTrip, ManyRequestsFromSeveralThreadsEachGetTheirOwnResult) {
    StartWorker();
    std::atomic<int> rendered(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::unique_ptr<PendingRequest>> inFlight;
            for (int k = 0; k < 8; ++k) {
                inFlight.push_back(client->Submit("test://host/delay?ms=" + std::to_string(20 * (8 - k)) + "&t="
                                                      + std::to_string(t) + "&k=" + std::to_string(k),
                                                  {}));
            }
            for (int k = 0; k < 8; ++k) {
                const Result result = client->Collect(*inFlight[k], 20000);
                if (result.outcome == Outcome::Rendered && result.pageUrl == inFlight[k]->Url()
                    && result.body.find(inFlight[k]->Name()) != std::string::npos) {
                    ++rendered;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(32, rendered.load());
}

TEST_F(KernelRoundTrip, SnapshotsArriveAsTheImageTheMainThreadSent) {
    StartWorker();
    const Result result = client->Render("test://host/snapshot?width=301&height=77", {}, 10000);
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    ASSERT_EQ(301, result.snapshot.width);
    ASSERT_EQ(77, result.snapshot.height);
    for (int y : {0, 1, 40, 76}) {
        for (int x : {0, 5, 255, 256, 300}) {
            const unsigned char* pixel = &result.snapshot.rgb[3 * (y * 301 + x)];
            EXPECT_EQ(x % 256, pixel[0]) << x << "," << y;
            EXPECT_EQ(y % 256, pixel[1]) << x << "," << y;
            EXPECT_EQ((x + y) % 256, pixel[2]) << x << "," << y;
        }
    }
}

TEST_F(KernelRoundTrip, ANavigationErrorCarriesItsStatus) {
    StartWorker();
    const Result result = client->Render("test://host/status?code=404", {}, 10000);
    EXPECT_EQ(Outcome::NavigationError, result.outcome);
    EXPECT_EQ(404, result.status);
    EXPECT_EQ("404", result.detail);
    EXPECT_EQ("", result.body);
}

TEST_F(KernelRoundTrip, OfTwoResponsesForOneNameOnlyTheFirstIsDelivered) {
    StartWorker();
    // The main thread answers twice, one right after the other: the first
    // answer is accepted and delivered, the second refused.
    const Result result = client->Render("test://host/twice", {}, 10000);
    EXPECT_EQ(Outcome::Rendered, result.outcome);
    EXPECT_EQ("first", result.body);
    EXPECT_TRUE(AwaitLog("ServerMediator::SendResponse => ERROR: Response sent?"));
    const std::string log = Log();
    EXPECT_EQ(log.find("ServerMediator::SendResponse => ERROR: Response sent?"),
              log.rfind("ServerMediator::SendResponse => ERROR: Response sent?"))
        << "exactly one refused";
}

TEST_F(KernelRoundTrip, AClientThatRemovedItsSegmentDoesNotStopTheWorker) {
    StartWorker();
    client->Submit("test://host/delay?ms=200", {}).reset();
    ASSERT_TRUE(AwaitLog("Server::SendResponse => Exception: "));
    EXPECT_TRUE(AwaitLog("ServerMediator::DoSendResponse => Exception: "));
    EXPECT_EQ(Outcome::Rendered, client->Render("test://host/echo", {}, 10000).outcome);
}

TEST_F(KernelRoundTrip, AClientTimeOutLeavesNoNamedObjectOfTheClient) {
    StartWorker();
    const Result result = client->Render("test://host/never", {}, 300);
    EXPECT_EQ(Outcome::TimedOut, result.outcome);
    EXPECT_NE(std::string::npos, result.error.find("300 ms")) << result.error;
    EXPECT_EQ(std::vector<std::string>(), SharedObjects("OrvoClient_" + std::to_string(::getpid()) + "_"));
}

TEST_F(KernelRoundTrip, AWorkerKilledWhileAnsweringIsReportedGoneAndCleanedUp) {
    StartWorker();
    auto pending = client->Submit("test://host/never", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: test://host/never"));
    ::kill(pid, SIGKILL);
    const Result result = client->Collect(*pending, 10000);
    EXPECT_EQ(Outcome::WorkerGone, result.outcome);
    pending.reset();
    ExpectNothingLeftBehind();
    EXPECT_EQ(Outcome::WorkerGone, client->Render("test://host/echo", {}, 1000).outcome);
}

// A worker killed while it signalled a result leaves the result channel's
// condition locked for good. Neither collecting nor dropping the request
// may wait for that lock: the client sees the worker gone and removes every
// name. A client that hangs here hangs for good, so the test ends the
// process rather than wait.
TEST_F(KernelRoundTrip, AWorkerKilledWhileSignallingDoesNotHoldUpItsClient) {
    StartWorker();
    auto pending = client->Submit("test://host/never", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: test://host/never"));
    ASSERT_EQ(0, OrvoTest::LeaveConditionLockedByDeadProcess(
                     Orvo::Interprocess::Channel<Orvo::Browser::Segment, int>::ConditionName(pending->Name().c_str())));
    ::kill(pid, SIGKILL);
    auto collected = std::async(std::launch::async, [&] {
        const Outcome outcome = client->Collect(*pending, 10000).outcome;
        pending.reset();
        return outcome;
    });
    if (collected.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::cerr << "the client waits for a lock that a dead process holds" << std::endl;
        std::_Exit(1);
    }
    EXPECT_EQ(Outcome::WorkerGone, collected.get());
    ExpectNothingLeftBehind();
}

// Another local user may create the names a client would use next. The
// client passes over them; it never fails a request for them.
TEST_F(KernelRoundTrip, NamesTakenByAnotherProcessArePassedOver) {
    StartWorker();
    const std::string first = client->Submit("test://host/echo", {})->Name();
    const std::string prefix = first.substr(0, first.size() - 1);
    std::vector<std::string> squatted;
    for (int k = 1; k <= 5; ++k) {
        squatted.push_back(prefix + std::to_string(k));
        boost::interprocess::shared_memory_object(boost::interprocess::create_only, squatted.back().c_str(),
                                                  boost::interprocess::read_write)
            .truncate(4096);
    }
    const Result result = client->Render("test://host/echo", {}, 10000);
    EXPECT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(prefix + "6", result.name);
    for (const std::string& name : squatted) {
        boost::interprocess::shared_memory_object::remove(name.c_str());
    }
}

// The main thread blocks on the stop request, so the next request waits in
// the hand-over slot, the one after it in the serving thread, and the last
// in the request channel when the stop comes. Each is answered dead; the
// last whether the drain finds it in the channel or the serving thread has
// already taken it while the stop goes on.
TEST_F(KernelRoundTrip, AStopAnswersWaitingAndQueuedRequestsDead) {
    // The serving thread must still be waiting for the slot when the stop
    // comes, however loaded the machine: a long hand-over wait.
    StartWorker(10);
    auto stop = client->Submit("test://host/stop?ms=600", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: test://host/stop?ms=600"));
    auto inSlot = client->Submit("test://host/echo?where=slot", {});
    auto inServingThread = client->Submit("test://host/echo?where=thread", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::ProcessRequest: test://host/echo?where=thread"));
    auto queued = client->Submit("test://host/echo?where=channel", {});

    EXPECT_EQ(Outcome::Dead, client->Collect(*inServingThread, 10000).outcome);
    const Result last = client->Collect(*queued, 10000);
    EXPECT_EQ(Outcome::Dead, last.outcome);
    EXPECT_EQ("test://host/echo?where=channel", last.pageUrl);
    EXPECT_EQ("DEAD", last.detail);
    EXPECT_TRUE(last.encodedSnapshot.empty());
    // The one in the slot, which the main thread never took, is answered
    // dead too; the stop request itself is not answered.
    EXPECT_EQ(Outcome::Dead, client->Collect(*inSlot, 10000).outcome);
    EXPECT_EQ(Outcome::WorkerGone, client->Collect(*stop, 10000).outcome);
    EXPECT_EQ(0, client->GetWorker().WaitForExit(10000));
    EXPECT_TRUE(LogHas("Server::SendDeadResponse"));
    EXPECT_TRUE(LogHas("Exit Main: 0"));
    stop.reset();
    inSlot.reset();
    inServingThread.reset();
    queued.reset();
    ExpectNothingLeftBehind();
}

TEST_F(KernelRoundTrip, AnIdleWorkerStopsItselfAndLeavesNothingBehind) {
    StartWorker(1000);
    EXPECT_EQ(Outcome::Rendered, client->Render("test://host/echo", {}, 10000).outcome);
    EXPECT_EQ(0, client->GetWorker().WaitForExit(10000));
    const std::string log = Log();
    const std::vector<std::string> lines = {"Server::Serve Interprocess::TimeOutException", "Server::Stop {",
                                            "Server::Serve => STOP 0",   "Server::Serve => STOP 1",
                                            "Server::Serve => NOTIFY",   "Server::Serve => INTERRUPTTED"};
    std::size_t at = 0;
    for (const std::string& line : lines) {
        at = log.find(" - " + line, at);
        ASSERT_NE(std::string::npos, at) << line << " missing or out of order in\n" << log;
    }
    EXPECT_NE(std::string::npos, log.find(" - Exit Main: 0\n"));
    ExpectNothingLeftBehind();
}

TEST_F(KernelRoundTrip, AfterItsGracePeriodTheServingThreadEndsTheProcess) {
    StartWorker(1000, {"ORVO_TEST_WORKER_IGNORE_STOP=1"});
    EXPECT_EQ(0, client->GetWorker().WaitForExit(10000));
    EXPECT_TRUE(LogHas(" - Server::Serve => TIMEOUT => std::exit(0)"));
    EXPECT_FALSE(LogHas("Exit Main"));
}

// A record with an empty name ends the serve loop as the stop sentinel
// does: what is queued behind it is answered dead, the mediator is not told,
// and the grace period ends the process. The main thread blocks first, so
// that the serving thread waits with a request while the empty record and
// the one behind it are queued.
TEST_F(KernelRoundTrip, AnEmptyNamedRecordFromAClientEndsServing) {
    StartWorker(100);
    auto blocking = client->Submit("test://host/block?ms=500", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: test://host/block?ms=500"));
    auto inSlot = client->Submit("test://host/echo?where=slot", {});
    auto waiting = client->Submit("test://host/echo?where=thread", {});
    ASSERT_TRUE(AwaitLog("ServerMediator::ProcessRequest: test://host/echo?where=thread"));
    PutRecord("test://host/echo", "");
    auto queued = client->Submit("test://host/echo?behind=1", {});
    EXPECT_EQ(Outcome::Rendered, client->Collect(*blocking, 10000).outcome);
    EXPECT_EQ(Outcome::Rendered, client->Collect(*inSlot, 10000).outcome);
    EXPECT_EQ(Outcome::Rendered, client->Collect(*waiting, 10000).outcome);
    EXPECT_EQ(Outcome::Dead, client->Collect(*queued, 10000).outcome);
    EXPECT_EQ(0, client->GetWorker().WaitForExit(10000));
    EXPECT_TRUE(LogHas("Server::Serve => EMPTY"));
    EXPECT_TRUE(LogHas("Server::Serve => TIMEOUT => std::exit(0)"));
}

// Records under names no result may go to are refused one by one, their
// option maps freed, and the worker goes on serving.
TEST_F(KernelRoundTrip, RecordsWithUnusableNamesAreRefusedAndServingGoesOn) {
    StartWorker();
    const std::string segmentName = Orvo::Browser::WorkerNames::RequestSegment(pid);
    for (const std::string& name : {std::string(600, 'a'), std::string("bad/name"), std::string("x\ny")}) {
        PutRecord("test://host/echo?refused=1", name, false);
    }
    PutRecord("test://host/echo?own=1", segmentName);
    const Result after = client->Render("test://host/echo?after=1", {}, 10000);
    EXPECT_EQ(Outcome::Rendered, after.outcome) << after.error;
    const std::string log = Log();
    EXPECT_EQ(4u, OrvoTest::Occurrences(log, "refused request name")) << log;
    EXPECT_TRUE(LogHas(" - ERROR - ")) << "refusals are errors";
    Orvo::Browser::Segment segment(boost::interprocess::open_only, segmentName.c_str());
    EXPECT_EQ(nullptr, segment.find<Request::OptionMap>((segmentName + "OptionMap").c_str()).first)
        << "its map was freed";
}

// A second request under a name that is in flight would take the first
// one's answer: it is dropped, and the first client gets its own result.
// The first is answered only once the test releases it, so it is in flight
// whenever the second comes.
TEST_F(KernelRoundTrip, ASecondRequestUnderANameInFlightIsDropped) {
    StartWorker();
    const std::string url = "test://host/await?file=" + directory.path + "/release";
    auto victim = client->Submit(url, {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: " + url));
    PutRecord("test://host/echo?intruder=1", victim->Name());
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => name already in flight: " + victim->Name()));
    directory.Write("release", "");
    const Result result = client->Collect(*victim, 10000);
    EXPECT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(url, result.pageUrl);
    EXPECT_EQ(std::string::npos, result.body.find("intruder")) << result.body;
    EXPECT_EQ(Outcome::Rendered, client->Render("test://host/echo?after=1", {}, 10000).outcome);
}

// One client floods the worker while its main thread is held; another
// client's request, sent after all of them, is taken within the first few
// of the flood instead of after the last, and every request is answered.
TEST_F(KernelRoundTrip, AFloodFromOneClientDoesNotHoldUpAnother) {
    const int FloodSize = 200;
    StartWorker();
    const std::string release = directory.path + "/release";
    auto hold = client->Submit("test://host/hold?file=" + release, {});
    ASSERT_TRUE(AwaitLog("ServerMediator::GetRequest => GET: test://host/hold"));
    std::vector<std::unique_ptr<PendingRequest>> flood;
    for (int k = 0; k < FloodSize; ++k) {
        flood.push_back(client->Submit("test://host/echo?flood=" + std::to_string(k), {}));
    }
    Client other(Worker::Attach(pid));
    auto mine = other.Submit("test://host/echo?other=1", {});
    directory.Write("release", "");

    const Result result = other.Collect(*mine, 10000);
    EXPECT_EQ(Outcome::Rendered, result.outcome) << result.error;
    for (const auto& pending : flood) {
        EXPECT_EQ(Outcome::Rendered, client->Collect(*pending, 10000).outcome);
    }
    EXPECT_EQ(Outcome::Rendered, client->Collect(*hold, 10000).outcome);
    const std::string log = Log();
    const std::size_t taken = log.find("ServerMediator::GetRequest => GET: test://host/echo?other=1");
    ASSERT_NE(std::string::npos, taken);
    EXPECT_LT(OrvoTest::Occurrences(log, "GET: test://host/echo?flood=", taken), 10u);
}

// A request that does not fit into the worker's request segment any more
// says so, and once there is room again requests go through.
TEST_F(KernelRoundTrip, AFullRequestSegmentIsReportedAsFull) {
    StartWorker();
    const std::string segmentName = Orvo::Browser::WorkerNames::RequestSegment(pid);
    Orvo::Browser::Segment segment(boost::interprocess::open_only, segmentName.c_str());
    segment.construct<char>("filler")[segment.get_free_memory() - 2048]();
    Request::Options options;
    options["script"] = std::string(4000, 'x');
    try {
        client->Submit("test://host/echo", options);
        ADD_FAILURE() << "a request fitted into a full segment";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ("the request segment of worker " + std::to_string(pid)
                      + " is full: too many requests wait there; send again once some are answered",
                  std::string(e.what()));
    }
    segment.destroy<char>("filler");
    EXPECT_EQ(Outcome::Rendered, client->Render("test://host/echo", options, 10000).outcome);
}

// A result name that names something other than a client's initialised
// result segment (here 8 MiB of zeros, which the library would wait on for
// ever) gets no delivery, and the worker goes on and ends as usual.
TEST_F(KernelRoundTrip, AResultNameOfSomethingElseIsNotWaitedOn) {
    StartWorker();
    const std::string name = "OrvoTestZeros_" + std::to_string(::getpid());
    const int fd = ::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ::ftruncate(fd, 8 << 20));
    ::close(fd);
    PutRecord("test://host/echo?zeros=1", name);
    EXPECT_TRUE(AwaitLog("not a client's result segment: " + name)) << Log();
    EXPECT_EQ(Outcome::Rendered, client->Render("test://host/echo?after=1", {}, 10000).outcome);
    ::shm_unlink(name.c_str());
}

// Mode and group of each /dev/shm entry whose name contains text.
std::vector<std::pair<mode_t, gid_t>> Access(const std::string& text) {
    std::vector<std::pair<mode_t, gid_t>> found;
    for (const std::string& name : SharedObjects(text)) {
        struct stat status;
        if (::stat(("/dev/shm/" + name).c_str(), &status) == 0) {
            found.emplace_back(status.st_mode & 0777, status.st_gid);
        }
    }
    return found;
}

// Segments, channels, semaphores: the owner's alone, unless the worker was
// given a group to share them with.
TEST_F(KernelRoundTrip, SharedObjectsAreTheOwnersAloneOrTheirGroups) {
    StartWorker();
    auto pending = client->Submit("test://host/block?ms=300", {});
    const auto workerObjects = Access("Orvo_Browser_" + std::to_string(pid) + "_");
    const auto clientObjects = Access(pending->Name());
    EXPECT_EQ(4u, workerObjects.size()) << "segment, channel mutex and condition, ready marker";
    EXPECT_EQ(3u, clientObjects.size()) << "segment, channel mutex and condition";
    for (const auto& object : workerObjects) {
        EXPECT_EQ(0600u, object.first);
    }
    for (const auto& object : clientObjects) {
        EXPECT_EQ(0600u, object.first);
    }
    EXPECT_EQ(Outcome::Rendered, client->Collect(*pending, 10000).outcome);
}

TEST_F(KernelRoundTrip, AWorkerSharesItsObjectsWithTheGroupItIsGiven) {
    const struct group* own = ::getgrgid(::getgid());
    ASSERT_NE(nullptr, own);
    StartWorker(100, {}, {"--shared-group", own->gr_name});
    const auto workerObjects = Access("Orvo_Browser_" + std::to_string(pid) + "_");
    EXPECT_EQ(4u, workerObjects.size());
    for (const auto& object : workerObjects) {
        EXPECT_EQ(0660u, object.first);
        EXPECT_EQ(::getgid(), object.second);
    }
    EXPECT_TRUE(LogHas(" - WARN - ") || ::geteuid() != 0) << "a worker running as root says so";
}

// A client that runs as another user in the worker's group reads a result
// that travelled through a file; unable to remove the worker's file from
// /tmp, it empties it, and the worker's user sweeps it later.
TEST_F(KernelRoundTrip, AClientOfAnotherUserInTheGroupReadsResultFiles) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as a second user needs root";
    }
    const struct group* users = ::getgrnam("users");
    const struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(users != nullptr && nobody != nullptr);
    const gid_t group = users->gr_gid;
    const uid_t user = nobody->pw_uid;
    const gid_t userGroup = nobody->pw_gid;
    StartWorker(100, {}, {"--shared-group", "users"});
    const std::set<std::string> before = OrvoTest::ResultFiles();
    OrvoTest::ChildProcess other([&] {
        if (::setgroups(1, &group) != 0 || ::setgid(userGroup) != 0 || ::setuid(user) != 0) {
            return 2;
        }
        Orvo::Interprocess::SharedAccess::ShareWithGroup("users");
        Client client(Worker::Attach(pid));
        const Result result = client.Render("test://host/big?bytes=5000000", {}, 20000);
        return result.outcome == Outcome::Rendered && result.body == std::string(5000000, 'b') ? 0 : 1;
    });
    EXPECT_EQ(0, other.Wait(30000));
    // The body's file, and the (empty) snapshot's, which goes first.
    std::size_t left = 0;
    for (const std::string& file : OrvoTest::ResultFiles()) {
        struct stat status;
        if (before.count(file) != 0 || ::stat(file.c_str(), &status) != 0) {
            continue;
        }
        ++left;
        EXPECT_EQ(0, status.st_size);
        EXPECT_EQ(0660u, status.st_mode & 07777);
        EXPECT_EQ(group, status.st_gid);
        boost::filesystem::remove(file);
    }
    EXPECT_EQ(2u, left);
}

TEST_F(KernelRoundTrip, AnUnknownGroupStopsStartUp) {
    EXPECT_THROW(StartWorker(100, {}, {"--shared-group", "no-such-group-4711"}), std::runtime_error);
    EXPECT_TRUE(LogHas(" - FATAL - ")) << Log();
    EXPECT_TRUE(LogHas("Unable to configurate => unknown group: no-such-group-4711")) << Log();
}

TEST_F(KernelRoundTrip, PayloadsOverTheLimitTravelThroughFilesThatTheClientRemoves) {
    StartWorker();
    const std::set<std::string> before = OrvoTest::ResultFiles();
    const Result result = client->Render("test://host/big?bytes=5000000&width=640&height=480", {}, 20000);
    ASSERT_EQ(Outcome::Rendered, result.outcome) << result.error;
    EXPECT_EQ(std::string(5000000, 'b'), result.body);
    EXPECT_EQ(640, result.snapshot.width);
    EXPECT_EQ(480, result.snapshot.height);
    EXPECT_EQ(before, OrvoTest::ResultFiles());
}

} // namespace
