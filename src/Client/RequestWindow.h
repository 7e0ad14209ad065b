#ifndef ORVO_CLIENT_REQUESTWINDOW_H
#define ORVO_CLIENT_REQUESTWINDOW_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Client/Client.h"
#include "Client/PendingRequest.h"
#include "Client/Result.h"

namespace Orvo {
namespace Browser {
namespace Client {

// One worker and up to a number of requests outstanding with it, as a tool
// that keeps a worker busy holds them. The caller sends requests, each
// under a tag of its own (an index, a key), until the window is full, and
// takes their results in whatever order they come. A request lost with its
// worker (answered dead, or the worker gone) is kept to be sent once more,
// to a fresh worker, before its loss is final; a worker that answers dead
// takes no more requests, ready marker or not. The worker is replaced
// through the factory. A worker replaced while it still runs and holds
// requests of the window (one that retires, say) is left to answer them
// beside the fresh one; one the window started is ended (SIGTERM, then
// SIGKILL when it does not end in time) once it holds none and has not
// ended by itself within EndWaitMs, or when the window goes. Not
// thread-safe: one thread uses it.
class RequestWindow {
public:
    typedef std::chrono::steady_clock Clock;
    // Makes the client of a fresh (or attached) worker; throws with the
    // reason when there is none.
    typedef std::function<std::unique_ptr<Client>()> Factory;

    // How many times a request is sent at most.
    static constexpr int MaxAttempts = 2;
    // How long an ending worker is waited for, after SIGTERM and after
    // SIGKILL.
    static constexpr int EndWaitMs = Worker::EndWaitMs;

    // A request's result, final.
    struct Settled {
        std::size_t tag = 0;
        Result result;
        int attempts = 0;   // sends, this one included
        double ms = 0;      // from its last send to its result
        long pid = 0;       // the worker it was last sent to
        // Its handle, the result taken, for a caller that looks further
        // (whether a second result came, say); dropping it removes its
        // result segment.
        std::unique_ptr<PendingRequest> pending;
    };

    RequestWindow(int capacity, Factory factory);
    // Ends the worker if the window started it.
    ~RequestWindow();

    RequestWindow(const RequestWindow&) = delete;
    RequestWindow& operator=(const RequestWindow&) = delete;

    // Makes a fresh worker; false, with the reason in error, when the
    // factory fails (no worker then). The worker replaced is left to answer
    // what it holds, or ended at once (if started here) when it holds
    // nothing or no longer runs.
    bool Replace(std::string& error);
    // Whether the worker stopped taking requests but still runs (it
    // retires or stops): a fresh one can take over while it answers what
    // it holds.
    bool Retiring();
    // Whether requests can go out now: a worker that has not ended.
    bool Usable() const { return client && !ended; }
    // Whether the worker must be replaced before more can go out: none,
    // ended, or no longer ready.
    bool NeedsWorker();
    Client* GetClient() { return client.get(); }

    // Requests outstanding with the worker and with those replaced count.
    bool Full() const { return static_cast<int>(outstanding.size()) >= capacity; }
    bool Idle() const { return outstanding.empty(); }

    // A request lost with its worker, to be sent again: its tag and how
    // many times it was sent. False when none waits.
    bool TakeResend(std::size_t& tag, int& attempts);
    bool HasResend() const { return !resends.empty(); }

    // Sends url with options under tag, with its result due by deadline;
    // attempts is how many times it was sent before. False when the worker
    // has stopped taking requests (the window marks it ended), or when its
    // request segment is full while requests of this window are out: the
    // window keeps the request to send again. Throws what Client::Submit
    // throws otherwise.
    bool Send(std::size_t tag, const std::string& url, const Request::Options& options, Clock::time_point deadline,
              int attempts = 0);

    // Looks once at each outstanding request; settles the first answered,
    // or past its deadline plus graceMs (then TimedOut), into settled and
    // returns true. A request lost with its worker goes to the resends
    // instead, unless it was sent MaxAttempts times or final is set (the
    // caller sends nothing again); then its loss is its result. False when
    // none settled, after a pause while requests are outstanding: from
    // Client::FirstLook after a result or a send, doubling up to
    // Client::LastLook, so that a caller looping on it neither spins nor
    // sees a result late.
    bool TakeAny(Settled& settled, int graceMs, bool final);

    // Gives up every outstanding request and resend; returns their tags.
    std::vector<std::size_t> Abandon();

private:
    struct Outstanding {
        std::size_t tag;
        Client* client;
        std::unique_ptr<PendingRequest> pending;
        Clock::time_point sent;
        Clock::time_point deadline;
        long pid;
        int attempts;
    };

    // A replaced worker still answering, and since when it holds nothing.
    struct Replaced {
        std::unique_ptr<Client> client;
        Clock::time_point quietSince;
        bool quiet = false;
    };

    static void EndWorker(Client* client);
    // TakeAny's pass over the outstanding requests, without the pause.
    bool TakeAnswered(Settled& settled, int graceMs, bool final);
    bool Holds(const Client* holder) const;
    // Drops the replaced workers that ended; ends those that hold nothing
    // and did not end by themselves within EndWaitMs.
    void SweepReplaced();

    const int capacity;
    const Factory factory;
    std::unique_ptr<Client> client;
    bool ended = false;
    std::deque<Outstanding> outstanding;
    // Tag and sends so far of each request lost with its worker.
    std::deque<std::pair<std::size_t, int>> resends;
    std::vector<Replaced> replaced;
    // TakeAny's next pause when nothing is answered.
    std::chrono::microseconds pause = Client::FirstLook;
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
