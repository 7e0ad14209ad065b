#ifndef ORVO_TOOLS_SERVE_RENDERSERVICE_H
#define ORVO_TOOLS_SERVE_RENDERSERVICE_H

#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "Metrics.h"
#include "RenderArguments.h"
#include "RenderPools.h"
#include "Reply.h"
#include "SavedArguments.h"

namespace Orvo {
namespace Serve {

// What a render endpoint does, whoever asks: HTTP and the job queue are
// two thin callers. Reads the arguments (loading saved ones, saving those
// asked), sends the page to the pool with a deadline counted from the
// request's arrival, makes the worker's result into the endpoint's answer
// on the encoder threads, and answers 504 at once when the deadline
// passes first. Every answer, refusals included, goes to the completion
// once, on the io_context's thread, with the URL the request named. The
// engine argument picks the pool; a request for an engine the service does
// not run, or a script for Chromium, is a 400. With engine=auto the page
// goes to WebKit, and again to Chromium when it lacked what WebKit has not
// (see AutoEngine), within the same deadline. The answer of a page that an
// engine rendered says which (X-Orvo-Engine), and why Chromium when auto
// chose it (X-Orvo-Engine-Reason). All of it runs on that thread.
class RenderService {
public:
    typedef std::chrono::steady_clock Clock;
    typedef std::function<void(const Reply& reply, const std::string& url)> Completion;

    RenderService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPools& pools,
                  Metrics& metrics, const RenderArguments::Limits& limits);

    // From now on requests are answered 503 ServiceStopping, but those
    // marked as taken (a queue's job, which must end).
    void BeginStopping() { stopping = true; }

    // Answers endpoint with texts, which arrived at arrival; taken: the
    // request is rendered also while the service stops.
    void Render(Endpoint endpoint, RenderArguments::Texts texts, Clock::time_point arrival, bool taken,
                Completion done);

private:
    void Send(Endpoint endpoint, const RenderArguments& arguments, RenderPool& pool, Clock::time_point arrival,
              const std::function<void(Reply)>& reply);
    void SendToChromium(Endpoint endpoint, RenderArguments arguments, Clock::time_point arrival,
                        const std::function<void(Reply)>& reply, const std::string& lacked);

    boost::asio::io_context& io;
    boost::asio::thread_pool& encoders;
    RenderPools& pools;
    Metrics& metrics;
    const RenderArguments::Limits limits;
    bool stopping = false;
    SavedArguments saved;
};

} // namespace Serve
} // namespace Orvo

#endif
