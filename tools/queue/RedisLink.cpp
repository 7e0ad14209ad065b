#include "RedisLink.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace Orvo {
namespace Queue {

namespace {

const int StopCheckMs = 20;

} // namespace

RedisConnection& RedisLink::Get(const std::function<void(RedisConnection&)>& onConnect) {
    if (!connection) {
        std::unique_ptr<RedisConnection> fresh(new RedisConnection(address, TimeoutMs));
        if (onConnect) {
            onConnect(*fresh);
        }
        connection = std::move(fresh);
        backoffMs = FirstBackoffMs;
        if (down) {
            down = false;
            listener(true, std::string());
        }
    }
    return *connection;
}

void RedisLink::Fail(const RedisError& error, const Stopping& stopping) {
    connection.reset();
    if (!down) {
        down = true;
        listener(false, error.what());
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs);
    while (!stopping() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(StopCheckMs));
    }
    backoffMs = std::min(backoffMs * 2, LastBackoffMs);
}

} // namespace Queue
} // namespace Orvo
