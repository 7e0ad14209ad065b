#ifndef ORVO_TOOLS_SERVE_RENDERTASK_H
#define ORVO_TOOLS_SERVE_RENDERTASK_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "Client/Result.h"
#include "Protocol/Request.h"

namespace Orvo {
namespace Serve {

// One page to render, handed from the HTTP side to the pool. Whoever ends
// it first claims it: the pool with the worker's result, or the HTTP side
// when the deadline passes first; the other side's end is then dropped.
class RenderTask {
public:
    typedef std::chrono::steady_clock Clock;
    // Hears of the result, once, on a pool thread.
    typedef std::function<void(Browser::Client::Result)> Listener;

    // options lack the timeout: the pool sets it to the time left when it
    // sends the request.
    RenderTask(std::string url, Browser::Request::Options options, Clock::time_point deadline, Listener listener)
        : url(std::move(url)), options(std::move(options)), deadline(deadline), listener(std::move(listener)) {}

    // True for the first caller only.
    bool Claim() { return !claimed.exchange(true); }
    bool Claimed() const { return claimed; }

    // Hands the result to the listener unless the task was claimed before.
    void Finish(Browser::Client::Result result) {
        if (Claim()) {
            listener(std::move(result));
        }
    }

    const std::string url;
    const Browser::Request::Options options;
    const Clock::time_point deadline;

private:
    const Listener listener;
    std::atomic<bool> claimed{false};
};

} // namespace Serve
} // namespace Orvo

#endif
