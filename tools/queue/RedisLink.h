#ifndef ORVO_TOOLS_QUEUE_REDISLINK_H
#define ORVO_TOOLS_QUEUE_REDISLINK_H

#include <functional>
#include <memory>
#include <string>

#include "RedisConnection.h"

namespace Orvo {
namespace Queue {

// A connection to Redis that comes back after a failure, for one thread.
// Get connects when there is no connection; Fail forgets it and waits
// before the next try, twice as long each time from FirstBackoffMs up to
// LastBackoffMs. The listener hears of each change between reachable and
// not (it is called on the calling thread), so that an outage is said
// once, not at every try.
class RedisLink {
public:
    typedef std::function<void(bool reachable, const std::string& why)> Listener;
    typedef std::function<bool()> Stopping;

    static constexpr int FirstBackoffMs = 100;
    static constexpr int LastBackoffMs = 5000;
    static constexpr int TimeoutMs = 5000;

    RedisLink(RedisAddress address, Listener listener) : address(std::move(address)), listener(std::move(listener)) {}

    const RedisAddress& Address() const { return address; }

    // The connection; throws RedisError (lost) when the server cannot be
    // reached. A new connection runs onConnect first (its errors count as
    // the connection's).
    RedisConnection& Get(const std::function<void(RedisConnection&)>& onConnect = nullptr);

    // After error: drops the connection and waits the backoff, or less when
    // stopping becomes true.
    void Fail(const RedisError& error, const Stopping& stopping);

private:
    const RedisAddress address;
    const Listener listener;
    std::unique_ptr<RedisConnection> connection;
    bool down = false;
    int backoffMs = FirstBackoffMs;
};

} // namespace Queue
} // namespace Orvo

#endif
