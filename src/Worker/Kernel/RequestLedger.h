#ifndef ORVO_KERNEL_REQUESTLEDGER_H
#define ORVO_KERNEL_REQUESTLEDGER_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <log4cplus/logger.h>

#include "Kernel/FairQueue.h"
#include "Protocol/ServerRequest.h"

namespace Orvo {
namespace Browser {

// Every request the worker holds, from the moment the serving thread takes
// it out of the request channel until its answer is written, and the one
// thread that writes the answers. A request is in exactly one state:
//
//   queued      waiting for its client's turn (FairQueue); the first in
//               line may be chosen (Next) and wait there for the slot;
//   offered     in the hand-over slot, which holds one, for the main thread;
//   taken       the main thread's, until it answers;
//   delivering  its answer accepted, waiting for or being written by the
//               sender thread, which writes answers one at a time in the
//               order they were accepted;
//   answered    written, and forgotten: its name may come again.
//
// A name is taken or delivering at most once: a request offered under a
// name that is is dropped when taken (its answer would be the first one's),
// and an answer for a name that is not taken is refused. Requests answered
// without being taken (dead ones, at a stop) leave the ledger through
// TakeQueued, TakeOffered and Abandon, and their caller answers them.
//
// Threads: Queue, Next and Place on the serving thread only; Take and
// Answer on the main thread; the rest on any thread. Nothing throws; "none
// there" is a return value. The destructor writes every accepted answer
// before it returns.
class RequestLedger {
public:
    typedef boost::shared_ptr<ServerRequest> RequestPtr;
    // Writes one answer into its client's result channel. It runs on the
    // sender thread, without the ledger's lock; what it throws is logged at
    // ERROR, and the answer counts as written all the same.
    typedef std::function<void()> Delivery;

    enum class Taking { Taken, Nothing, InFlight };
    enum class Placing { Placed, Closed, Gone };

    RequestLedger();
    ~RequestLedger();

    RequestLedger(const RequestLedger&) = delete;
    RequestLedger& operator=(const RequestLedger&) = delete;

    // Serving thread: a request taken out of the channel joins its
    // client's queue.
    void Queue(const RequestPtr& request);
    // Serving thread: chooses the next request to offer, the clients taken
    // in turn; it stays queued, first in line, until Place. Empty when none
    // is queued (or one is chosen already: Place it first).
    RequestPtr Next();
    // Serving thread: waits until the slot is free, then moves the chosen
    // request into it and calls the offer hook. Closed: the ledger closed
    // first, and the request left it, for the caller to answer. Gone:
    // someone else took it out meanwhile (TakeQueued) and answers it.
    Placing Place();

    // Called under the ledger's lock each time a request is placed, so that
    // the main thread can take it at once; it must only post a message.
    void SetOfferHook(std::function<void()> hook);

    // Main thread: takes the offered request, waiting up to waitMs for one.
    // InFlight: request is offered under a name taken or delivering, and
    // was dropped.
    Taking Take(RequestPtr& request, int waitMs);
    // Main thread: accepts the answer of a taken request for the sender
    // thread; false, and delivery dropped, when name is not taken (never
    // was, or was answered already).
    bool Answer(const std::string& name, Delivery delivery);

    // No more requests are placed: Place returns Closed, at once or for the
    // serving thread waiting in it.
    void Close();
    bool IsClosed() const;
    bool HasOffered() const;
    // Takes the offered request out of the slot, if any; inFlight tells
    // whether its name is taken or delivering (then it is not answered:
    // that name's answer is the first request's).
    RequestPtr TakeOffered(bool& inFlight);
    // Takes every queued request out, the chosen one first, then in turn.
    std::vector<RequestPtr> TakeQueued();
    // For a main thread that will not come back: every taken request,
    // moved to delivering so that no answer is accepted for it any more.
    // The caller answers each, then calls Delivered.
    std::vector<RequestPtr> Abandon();
    // The caller wrote the answer of an abandoned request.
    void Delivered(const std::string& name);
    // Waits up to waitMs until the sender thread has written every answer
    // accepted; whether it has.
    bool AwaitDelivered(int waitMs);

    // Whether any request is queued, offered, taken or delivering.
    bool Holds() const;
    std::size_t QueuedCount() const;

private:
    enum class Held { Taken, Delivering };
    struct Entry {
        RequestPtr request;
        Held state;
    };

    void Send();
    // Runs one delivery, logging what it throws.
    void Deliver(const std::string& name, const Delivery& delivery) const;

    const log4cplus::Logger logger;
    mutable std::mutex mutex;
    // Guarded by mutex:
    FairQueue queued;
    RequestPtr chosen;            // queued, first in line (Next)
    RequestPtr offered;           // the hand-over slot
    std::unordered_map<std::string, Entry> held;
    std::deque<std::pair<std::string, Delivery>> deliveries;  // in order; the front one may be being written
    bool closed = false;
    bool ending = false;          // the destructor runs: the sender ends once deliveries is empty
    std::function<void()> offerHook;
    // Signalled when the slot empties or fills, and on Close.
    std::condition_variable slotChanged;
    // Signalled when deliveries grows or shrinks, and on ending.
    std::condition_variable deliveriesChanged;

    std::thread sender;
};

} // namespace Browser
} // namespace Orvo

#endif
