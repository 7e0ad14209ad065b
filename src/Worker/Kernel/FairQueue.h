#ifndef ORVO_KERNEL_FAIRQUEUE_H
#define ORVO_KERNEL_FAIRQUEUE_H

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "Protocol/ServerRequest.h"

namespace Orvo {
namespace Browser {

// The requests the serving thread has taken out of the request channel and
// not yet handed on, kept in one first-in-first-out queue per client and
// given out by taking the clients in turn. A client that sends thousands of
// requests then delays another client's request by at most one of its own,
// instead of by all of them.
//
// A client is known by its request names: everything up to and including
// the last '_' (the client library names requests PREFIX_N, one prefix per
// client object). A name without '_' is a client of its own.
//
// Not thread-safe: the RequestLedger that holds it guards it.
class FairQueue {
public:
    typedef boost::shared_ptr<ServerRequest> RequestPtr;

    static std::string ClientOf(const std::string& name);

    // Appends request to its client's queue; a client without waiting
    // requests joins the end of the turn order.
    void Push(const RequestPtr& request);

    // Takes the oldest request of the client whose turn it is, and moves
    // that client to the end of the turn order; empty when none waits.
    RequestPtr Pop();

    std::size_t Size() const;

    // Takes every waiting request, oldest turn first.
    std::vector<RequestPtr> TakeAll();

private:
    // The waiting requests by client, the clients with waiting requests in
    // turn order, and the count of waiting requests.
    std::unordered_map<std::string, std::deque<RequestPtr>> queues;
    std::deque<std::string> turns;
    std::size_t size = 0;
};

} // namespace Browser
} // namespace Orvo

#endif
