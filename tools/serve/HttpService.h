#ifndef ORVO_TOOLS_SERVE_HTTPSERVICE_H
#define ORVO_TOOLS_SERVE_HTTPSERVICE_H

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "AccessLog.h"
#include "BasicAuth.h"
#include "Metrics.h"
#include "RenderArguments.h"
#include "RenderPool.h"
#include "RenderService.h"
#include "Reply.h"

namespace Orvo {
namespace Serve {

// The HTTP side of orvo-serve: answers the requests its sessions read,
// render requests through the RenderService, which the job queue calls
// through HandleJob too. Every answer is counted in the metrics and
// logged. A request over HTTP from
// someone the access rules do not let in is answered 401. All of it runs
// on the io_context's one thread, but the count of unanswered requests.
class HttpService {
public:
    typedef boost::beast::http::request<boost::beast::http::string_body> Request;
    typedef std::chrono::steady_clock Clock;
    typedef std::function<void(const Reply&)> Answer;

    // Who may send requests over HTTP: the users of auth; with openHealth,
    // anyone may ask for /_ping and /metrics.
    struct Access {
        BasicAuth auth;
        bool openHealth = false;
    };

    HttpService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPools& pools,
                Metrics& metrics, AccessLog& log, const RenderArguments::Limits& limits, Access access);

    // From now on render requests are answered 503 and connections closed
    // after their answer.
    void BeginStopping() {
        stopping = true;
        renders.BeginStopping();
    }
    bool Stopping() const { return stopping; }

    // Sessions count each request from when it is read until its answer
    // is written; Unanswered is that count.
    void RequestRead() { ++unanswered; }
    void AnswerWritten() { --unanswered; }
    long Unanswered() const { return unanswered; }

    // Sessions count themselves while they live; Sessions is that count.
    void SessionOpened() { ++sessions; }
    void SessionClosed() { --sessions; }
    std::size_t Sessions() const { return sessions; }

    // Answers request, which arrived at arrival from client, through
    // answer (on the io_context's thread).
    void Handle(const Request& request, const std::string& client, Clock::time_point arrival, Answer answer);

    // Answers a job of the queue, for endpointName ("render.json") with
    // args (a JSON object's text, empty for none), as Handle answers a
    // POST of them, logged under the client "queue". The job was taken and
    // must end, so it is rendered also while the service is stopping. A
    // name that is no render endpoint is 404.
    void HandleJob(const std::string& endpointName, const std::string& args, Clock::time_point arrival,
                   Answer answer);

    // Counts and logs an answer.
    void Record(const std::string& client, const std::string& endpoint, const std::string& url, const Reply& reply,
                Clock::time_point arrival);

private:
    struct Exchange;

    void Dispatch(const Request& request, const std::shared_ptr<Exchange>& exchange);
    // /_ping, /metrics, /_gc and /_debug.
    Reply Own(const std::string& path) const;
    Reply Ping() const;
    Reply Debug() const;

    RenderPools& pools;
    Metrics& metrics;
    AccessLog& log;
    const Access access;
    RenderService renders;
    bool stopping;
    std::atomic<long> unanswered;
    // Touched on the io_context's thread only.
    std::size_t sessions = 0;
};

} // namespace Serve
} // namespace Orvo

#endif
