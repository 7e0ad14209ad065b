// The ledger alone, in one process: its threads stand for the serving
// thread, the main thread and the callers that stop or give up.

#include <algorithm>
#include <chrono>
#include <future>
#include <initializer_list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include "Common/NamedRequest.h"
#include "Kernel/RequestLedger.h"

namespace {

using Orvo::Browser::RequestLedger;
using OrvoTest::NamedRequest;
using Placing = RequestLedger::Placing;
using Taking = RequestLedger::Taking;

// Answers delivered, by name, in the order written.
class Deliveries {
public:
    RequestLedger::Delivery Of(const std::string& name) {
        return [this, name]() {
            std::lock_guard<std::mutex> lock(mutex);
            written.push_back(name);
        };
    }

    std::vector<std::string> Written() {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }

private:
    std::mutex mutex;
    std::vector<std::string> written;
};

// The lines logged through one logger while it is alive.
class LoggedLines : public log4cplus::Appender {
public:
    explicit LoggedLines(const std::string& name) : logger(log4cplus::Logger::getInstance(name)) {
        logger.addAppender(log4cplus::SharedAppenderPtr(this));
    }
    ~LoggedLines() override {
        destructorImpl();
    }
    void Detach() {
        logger.removeAppender(log4cplus::SharedAppenderPtr(this));
    }
    void close() override {}

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(linesMutex);
        return lines;
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override {
        std::lock_guard<std::mutex> lock(linesMutex);
        lines.push_back(event.getMessage());
    }

private:
    log4cplus::Logger logger;
    std::mutex linesMutex;
    std::vector<std::string> lines;
};

// Moves the next queued request into the slot, as the serving thread does.
std::string Offer(RequestLedger& ledger) {
    const RequestLedger::RequestPtr next = ledger.Next();
    if (!next || ledger.Place() != Placing::Placed) {
        return std::string();
    }
    return next->name;
}

std::string Taken(RequestLedger& ledger) {
    RequestLedger::RequestPtr request;
    const Taking taking = ledger.Take(request, 0);
    return taking == Taking::Taken ? request->name : taking == Taking::InFlight ? "(dropped)" : "(none)";
}

// Queues, offers and takes each of names, as the main thread would.
void TakeEach(RequestLedger& ledger, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        ledger.Queue(NamedRequest(name));
        Offer(ledger);
        Taken(ledger);
    }
}

TEST(RequestLedger, RequestsPassTheSlotOneAtATimeWithClientsInTurn) {
    RequestLedger ledger;
    int offers = 0;
    ledger.SetOfferHook([&offers]() { ++offers; });
    for (const char* name : {"a_1", "a_2", "b_1"}) {
        ledger.Queue(NamedRequest(name));
    }
    EXPECT_EQ("(none)", Taken(ledger));
    ASSERT_EQ("a_1", ledger.Next()->name);
    EXPECT_EQ(nullptr, ledger.Next()) << "one is chosen at a time";
    EXPECT_EQ(3u, ledger.QueuedCount()) << "the chosen one is still queued";
    ASSERT_EQ(Placing::Placed, ledger.Place());
    EXPECT_EQ(2u, ledger.QueuedCount());
    EXPECT_TRUE(ledger.HasOffered());
    EXPECT_EQ("a_1", Taken(ledger));
    EXPECT_FALSE(ledger.HasOffered());
    EXPECT_EQ("b_1", Offer(ledger));
    EXPECT_EQ("b_1", Taken(ledger));
    EXPECT_EQ("a_2", Offer(ledger));
    EXPECT_EQ("a_2", Taken(ledger));
    EXPECT_EQ(3, offers);
    EXPECT_TRUE(ledger.Holds()) << "taken, not answered";
}

// The serving thread waits in Place while the slot is full; the main
// thread waiting in Take gets a request as soon as it is placed.
TEST(RequestLedger, PlaceWaitsForTheSlotAndTakeWaitsForAnOffer) {
    RequestLedger ledger;
    RequestLedger::RequestPtr request;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(Taking::Nothing, ledger.Take(request, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));

    ledger.Queue(NamedRequest("x_1"));
    ledger.Queue(NamedRequest("x_2"));
    std::promise<Placing> second;
    std::thread serving([&ledger, &second]() {
        ledger.Next();
        ledger.Place();
        ledger.Next();
        second.set_value(ledger.Place());
    });
    std::future<Placing> placed = second.get_future();
    ASSERT_EQ(Taking::Taken, ledger.Take(request, 10000));
    EXPECT_EQ("x_1", request->name);
    EXPECT_EQ(Taking::Taken, ledger.Take(request, 10000));
    EXPECT_EQ("x_2", request->name);
    EXPECT_EQ(Placing::Placed, placed.get());
    serving.join();
}

TEST(RequestLedger, ATakenRequestIsAnsweredExactlyOnceAndItsNameMayComeAgain) {
    Deliveries deliveries;
    RequestLedger ledger;
    ledger.Queue(NamedRequest("a_1"));
    Offer(ledger);
    ASSERT_EQ("a_1", Taken(ledger));
    EXPECT_FALSE(ledger.Answer("b_1", deliveries.Of("b_1"))) << "never taken";
    EXPECT_TRUE(ledger.Answer("a_1", deliveries.Of("a_1 first")));
    EXPECT_FALSE(ledger.Answer("a_1", deliveries.Of("a_1 second")));
    ASSERT_TRUE(ledger.AwaitDelivered(10000));
    EXPECT_EQ(std::vector<std::string>{"a_1 first"}, deliveries.Written());
    EXPECT_FALSE(ledger.Holds()) << "answered, forgotten";

    ledger.Queue(NamedRequest("a_1"));
    Offer(ledger);
    EXPECT_EQ("a_1", Taken(ledger));
    EXPECT_TRUE(ledger.Answer("a_1", deliveries.Of("a_1 again")));
    ASSERT_TRUE(ledger.AwaitDelivered(10000));
    EXPECT_EQ((std::vector<std::string>{"a_1 first", "a_1 again"}), deliveries.Written());
}

// A second request under a name in flight would take the first one's
// answer: taking it drops it, whether the first is taken or delivering.
TEST(RequestLedger, ASecondRequestUnderANameInFlightIsDropped) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    RequestLedger ledger;
    ledger.Queue(NamedRequest("a_1"));
    Offer(ledger);
    ASSERT_EQ("a_1", Taken(ledger));
    ledger.Queue(NamedRequest("a_1"));
    Offer(ledger);
    EXPECT_EQ("(dropped)", Taken(ledger));
    ASSERT_TRUE(ledger.Answer("a_1", [released]() { released.wait(); }));
    ledger.Queue(NamedRequest("a_1"));
    Offer(ledger);
    EXPECT_EQ("(dropped)", Taken(ledger)) << "delivering";
    release.set_value();
    ASSERT_TRUE(ledger.AwaitDelivered(10000));
    EXPECT_FALSE(ledger.Holds());
}

// One sender thread writes the answers in the order they were accepted;
// one that throws does not stop the others, and is logged by name.
TEST(RequestLedger, AnswersAreDeliveredInTheOrderAccepted) {
    log4cplus::helpers::SharedObjectPtr<LoggedLines> logged(new LoggedLines("RequestLedger"));
    Deliveries deliveries;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    RequestLedger ledger;
    TakeEach(ledger, {"a_1", "b_1", "c_1", "d_1", "e_1"});
    ASSERT_TRUE(ledger.Answer("c_1", [&deliveries, released]() {
        released.wait();
        deliveries.Of("c_1")();
    }));
    ASSERT_TRUE(ledger.Answer("a_1", []() { throw std::runtime_error("the client went away"); }));
    ASSERT_TRUE(ledger.Answer("d_1", deliveries.Of("d_1")));
    ASSERT_TRUE(ledger.Answer("e_1", []() { throw 42; }));
    ASSERT_TRUE(ledger.Answer("b_1", deliveries.Of("b_1")));
    EXPECT_FALSE(ledger.AwaitDelivered(50)) << "the first is held";
    release.set_value();
    ASSERT_TRUE(ledger.AwaitDelivered(10000));
    EXPECT_EQ((std::vector<std::string>{"c_1", "d_1", "b_1"}), deliveries.Written());
    EXPECT_FALSE(ledger.Holds());
    logged->Detach();
    EXPECT_EQ((std::vector<std::string>{"RequestLedger::Deliver => a_1 not delivered: the client went away",
                                        "RequestLedger::Deliver => e_1 not delivered: an unknown exception"}),
              logged->Lines());
}

TEST(RequestLedger, TheLedgerDeliversEveryAcceptedAnswerBeforeItGoes) {
    Deliveries deliveries;
    {
        RequestLedger ledger;
        TakeEach(ledger, {"a_1", "b_1", "c_1"});
        for (const char* name : {"a_1", "b_1", "c_1"}) {
            ASSERT_TRUE(ledger.Answer(name, [&deliveries, name]() {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                deliveries.Of(name)();
            }));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"a_1", "b_1", "c_1"}), deliveries.Written());
}

// A stop closes the ledger: the serving thread waiting for the slot is
// woken and answers its request itself; the offered and queued requests
// are taken out for answering, and a request taken out from under Place
// is no longer the serving thread's.
TEST(RequestLedger, ClosingWakesAWaitingPlaceAndLeavesTheRestForTheStop) {
    RequestLedger ledger;
    for (const char* name : {"a_1", "a_2", "a_3"}) {
        ledger.Queue(NamedRequest(name));
    }
    ASSERT_EQ("a_1", Offer(ledger));
    ASSERT_EQ("a_2", ledger.Next()->name);
    std::future<Placing> waiting = std::async(std::launch::async, [&ledger]() { return ledger.Place(); });
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(50)));
    ledger.Close();
    EXPECT_EQ(Placing::Closed, waiting.get());
    EXPECT_TRUE(ledger.IsClosed());
    bool inFlight = true;
    const RequestLedger::RequestPtr offered = ledger.TakeOffered(inFlight);
    ASSERT_NE(nullptr, offered);
    EXPECT_EQ("a_1", offered->name);
    EXPECT_FALSE(inFlight);
    ledger.Next();
    const std::vector<RequestLedger::RequestPtr> queued = ledger.TakeQueued();
    ASSERT_EQ(1u, queued.size()) << "a_2 left with Closed";
    EXPECT_EQ("a_3", queued[0]->name);
    EXPECT_EQ(Placing::Gone, ledger.Place()) << "a_3 was taken out from under it";
    EXPECT_FALSE(ledger.Holds());
}

// A main thread that will not come back: its taken requests are handed to
// the caller, no page's answer is accepted for them any more, and answers
// already accepted stay the sender thread's.
TEST(RequestLedger, AbandonHandsOverTheTakenRequestsOnly) {
    Deliveries deliveries;
    RequestLedger ledger;
    TakeEach(ledger, {"a_1", "b_1", "c_1"});
    ASSERT_TRUE(ledger.Answer("b_1", deliveries.Of("b_1")));
    std::vector<std::string> abandoned;
    for (const RequestLedger::RequestPtr& request : ledger.Abandon()) {
        abandoned.push_back(request->name);
    }
    std::sort(abandoned.begin(), abandoned.end());
    EXPECT_EQ((std::vector<std::string>{"a_1", "c_1"}), abandoned);
    EXPECT_FALSE(ledger.Answer("a_1", deliveries.Of("a_1")));
    ASSERT_TRUE(ledger.AwaitDelivered(10000));
    EXPECT_TRUE(ledger.Holds()) << "until the caller has answered them";
    ledger.Delivered("a_1");
    ledger.Delivered("c_1");
    EXPECT_FALSE(ledger.Holds());
    EXPECT_EQ(std::vector<std::string>{"b_1"}, deliveries.Written());
}

// The three threads at once: every request the main thread takes is
// delivered exactly once, however often it is answered, and the names of
// several clients come again while earlier requests under them are in
// flight.
TEST(RequestLedger, UnderLoadEveryTakenRequestIsDeliveredExactlyOnce) {
    const int Requests = 3000;
    std::mutex mutex;
    std::map<std::string, int> delivered;
    std::map<std::string, int> takes;
    int taken = 0;
    int dropped = 0;
    {
        RequestLedger ledger;
        std::thread serving([&ledger]() {
            for (int k = 0; k < Requests; ++k) {
                ledger.Queue(NamedRequest("client" + std::to_string(k % 5) + "_" + std::to_string(k % 40)));
                if (const RequestLedger::RequestPtr next = ledger.Next()) {
                    ledger.Place();
                }
            }
            while (ledger.Next()) {
                ledger.Place();
            }
        });
        for (int k = 0; taken + dropped < Requests; ++k) {
            RequestLedger::RequestPtr request;
            const Taking taking = ledger.Take(request, 10000);
            ASSERT_NE(Taking::Nothing, taking);
            if (taking == Taking::InFlight) {
                ++dropped;
                continue;
            }
            ++taken;
            const std::string name = request->name;
            ++takes[name];
            for (int answer = 0; answer < 1 + k % 3; ++answer) {
                ledger.Answer(name, [&mutex, &delivered, name]() {
                    std::lock_guard<std::mutex> lock(mutex);
                    ++delivered[name];
                });
            }
        }
        serving.join();
    }
    EXPECT_EQ(Requests, taken + dropped);
    EXPECT_EQ(takes, delivered) << "one delivery per request taken, under each name";
}

} // namespace
