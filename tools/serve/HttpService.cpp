#include "HttpService.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/post.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "BadArgument.h"
#include "Process/HeapRelease.h"

namespace Orvo {
namespace Serve {

namespace http = boost::beast::http;

namespace {

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// The arguments of a render request: the query of a GET, the body of a
// POST as a JSON object or a form.
RenderArguments::Texts ReadTexts(const HttpService::Request& request, const std::string& query) {
    if (request.method() == http::verb::get) {
        return RenderArguments::FromQuery(query);
    }
    const std::string type(request[http::field::content_type]);
    if (boost::algorithm::istarts_with(type, "application/json")) {
        return RenderArguments::FromJson(request.body());
    }
    if (boost::algorithm::istarts_with(type, "application/x-www-form-urlencoded")) {
        return RenderArguments::FromQuery(request.body());
    }
    throw BadArgument("Content-Type", "a POST's body must be application/json or application/x-www-form-urlencoded");
}

} // namespace

// A request being answered: where it came from, its answer's way back,
// and for a render request its URL.
struct HttpService::Exchange {
    Exchange(std::string client, Clock::time_point arrival, Answer answer)
        : client(std::move(client)), arrival(arrival), answer(std::move(answer)) {}

    const std::string client;
    const Clock::time_point arrival;
    const Answer answer;
    std::string endpoint;
    std::string url;
};

HttpService::HttpService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPools& pools,
                         Metrics& metrics, AccessLog& log, const RenderArguments::Limits& limits, Access access)
    : pools(pools),
      metrics(metrics),
      log(log),
      access(std::move(access)),
      renders(io, encoders, pools, metrics, limits),
      stopping(false),
      unanswered(0) {}

void HttpService::Handle(const Request& request, const std::string& client, Clock::time_point arrival,
                         Answer answer) {
    Dispatch(request, std::make_shared<Exchange>(client, arrival, std::move(answer)));
}

void HttpService::Dispatch(const Request& request, const std::shared_ptr<Exchange>& exchange) {
    const std::string target(request.target());
    const std::size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    Endpoint endpoint = Endpoint::Html;
    const bool render = !path.empty() && EndpointOf(path.substr(1), endpoint);
    const bool own = path == "/_ping" || path == "/metrics" || path == "/_gc" || path == "/_debug";
    const bool known = render || own;
    exchange->endpoint = known ? path.substr(1) : "other";
    const auto reply = [this, exchange](const Reply& out) {
        Record(exchange->client, exchange->endpoint, exchange->url, out, exchange->arrival);
        exchange->answer(out);
    };
    const bool health = path == "/_ping" || path == "/metrics";
    if (!(access.openHealth && health)
        && !access.auth.Allows(std::string(request[http::field::authorization]))) {
        Reply refused = Reply::Error(401, "Unauthorized", "This service needs a user and password",
                                     nlohmann::json::object(), Reply::Outcome::Unauthorized);
        refused.headers.push_back({"WWW-Authenticate", "Basic realm=\"orvo-serve\", charset=\"UTF-8\""});
        return reply(refused);
    }
    if (!known) {
        return reply(Reply::Error(404, "NotFound", "No such endpoint", {{"path", path}}, Reply::Outcome::NotFound));
    }
    // _gc changes the service's state: it is posted; the other own
    // endpoints are read.
    const http::verb method = request.method();
    const bool allowed = render ? method == http::verb::get || method == http::verb::post
                                : method == (path == "/_gc" ? http::verb::post : http::verb::get);
    if (!allowed) {
        const std::string methods = render ? "GET or POST" : path == "/_gc" ? "POST" : "GET";
        return reply(Reply::Error(405, "MethodNotAllowed", "This endpoint takes " + methods,
                                  {{"method", std::string(request.method_string())}}, Reply::Outcome::BadMethod));
    }
    if (own) {
        return reply(Own(path));
    }
    try {
        renders.Render(endpoint, ReadTexts(request, query), exchange->arrival, false,
                       [exchange, reply](const Reply& out, const std::string& url) {
                           exchange->url = url;
                           reply(out);
                       });
    } catch (const BadArgument& e) {
        reply(Reply::BadOption(e));
    } catch (const std::exception& e) {
        reply(Reply::Unanswerable(e));
    }
}

void HttpService::HandleJob(const std::string& endpointName, const std::string& args, Clock::time_point arrival,
                            Answer answer) {
    Endpoint endpoint = Endpoint::Html;
    const bool known = EndpointOf(endpointName, endpoint);
    const std::string counted = known ? endpointName : "other";
    const auto reply = [this, counted, arrival, answer](const Reply& out, const std::string& url) {
        Record("queue", counted, url, out, arrival);
        answer(out);
    };
    if (!known) {
        return reply(Reply::Error(404, "NotFound", "No such endpoint", {{"path", "/" + endpointName}},
                                  Reply::Outcome::NotFound),
                     std::string());
    }
    try {
        renders.Render(endpoint, RenderArguments::FromJson(args.empty() ? "{}" : args), arrival, true, reply);
    } catch (const BadArgument& e) {
        reply(Reply::BadOption(e), std::string());
    } catch (const std::exception& e) {
        reply(Reply::Unanswerable(e), std::string());
    }
}

Reply HttpService::Own(const std::string& path) const {
    if (path == "/metrics") {
        Reply text;
        text.contentType = "text/plain; version=0.0.4";
        text.body = metrics.Text(pools.GetStats());
        return text;
    }
    if (path == "/_gc") {
        const long before = ResidentBytes();
        Browser::HeapRelease::Trim();
        const long after = ResidentBytes();
        return Reply::Json({{"status", "ok"}, {"rssBefore", before}, {"rss", after}, {"freed", before - after}});
    }
    if (path == "/_debug") {
        return Debug();
    }
    return Ping();
}

// What the service holds now: its memory, its open file descriptors, the
// requests being rendered and those waiting, its workers.
Reply HttpService::Debug() const {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const RenderPool::Stats stats = pools.GetStats();
    std::error_code error;
    const auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd", error),
                                   std::filesystem::directory_iterator());
    return Reply::Json({{"maxrss", usage.ru_maxrss},
                        {"rss", ResidentBytes()},
                        {"fds", fds},
                        {"active", unanswered.load()},
                        {"qsize", stats.queued},
                        {"workers", stats.readyWorkers},
                        {"busyWorkers", stats.busyWorkers},
                        {"restartedWorkers", stats.restartedWorkers},
                        {"recycledWorkers", stats.recycledWorkers}});
}

Reply HttpService::Ping() const {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const RenderPool::Stats stats = pools.GetStats();
    return Reply::Json({{"status", "ok"},
                        {"maxrss", usage.ru_maxrss},
                        {"rss", ResidentBytes()},
                        {"workers", stats.readyWorkers},
                        {"busyWorkers", stats.busyWorkers},
                        {"queue", stats.queued}});
}

void HttpService::Record(const std::string& client, const std::string& endpoint, const std::string& url,
                         const Reply& reply, Clock::time_point arrival) {
    metrics.CountRequest(endpoint, Reply::Label(reply.outcome));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrival);
    log.Request(client, endpoint, url, reply.status, static_cast<long>(elapsed.count()));
}

} // namespace Serve
} // namespace Orvo
