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
#include "Reply.h"
#include "SavedArguments.h"

namespace Orvo {
namespace Serve {

// The HTTP side of orvo-serve: answers the requests its sessions read.
// Render requests go to the pool with a deadline counted from their
// arrival; the page is made into its answer on the encoder threads, and a
// request whose deadline passes first is answered 504 at once. Every
// answer is counted in the metrics and logged. A request over HTTP from
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

    HttpService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPool& pool, Metrics& metrics,
                AccessLog& log, const RenderArguments::Limits& limits, Access access);

    // From now on render requests are answered 503 and connections closed
    // after their answer.
    void BeginStopping() { stopping = true; }
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

    // Answers a render request of the job queue as Handle answers one that
    // arrived over HTTP, logged under the client "queue". The job was
    // taken and must end, so it is rendered also while the service is
    // stopping. Other paths than the render endpoints are 404.
    void HandleJob(const Request& request, Clock::time_point arrival, Answer answer);

    // Counts and logs an answer.
    void Record(const std::string& client, const std::string& endpoint, const std::string& url, const Reply& reply,
                Clock::time_point arrival);

private:
    struct Exchange;

    void Dispatch(const Request& request, const std::shared_ptr<Exchange>& exchange, bool job);
    void Render(const std::shared_ptr<Exchange>& exchange, Endpoint endpoint, RenderArguments::Texts texts);
    Reply Ping() const;

    boost::asio::io_context& io;
    boost::asio::thread_pool& encoders;
    RenderPool& pool;
    Metrics& metrics;
    AccessLog& log;
    const RenderArguments::Limits limits;
    const Access access;
    bool stopping;
    std::atomic<long> unanswered;
    // Touched on the io_context's thread only.
    std::size_t sessions = 0;
    SavedArguments saved;
};

} // namespace Serve
} // namespace Orvo

#endif
