#include "HttpService.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <limits>

#include "BadArgument.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

namespace http = boost::beast::http;

namespace {

const int BacklogRetryAfterSeconds = 1;

bool FindEndpoint(const std::string& path, Endpoint& endpoint) {
    static const std::pair<const char*, Endpoint> endpoints[] = {{"/render.html", Endpoint::Html},
                                                                 {"/render.png", Endpoint::Png},
                                                                 {"/render.jpeg", Endpoint::Jpeg},
                                                                 {"/render.json", Endpoint::Json},
                                                                 {"/render.har", Endpoint::Har},
                                                                 {"/execute", Endpoint::Execute},
                                                                 {"/run", Endpoint::Run}};
    for (const auto& entry : endpoints) {
        if (path == entry.first) {
            endpoint = entry.second;
            return true;
        }
    }
    return false;
}

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

// What a request gets when answering it failed in a way no argument
// explains: the service goes on.
Reply InternalError(const std::exception& e) {
    return Reply::Error(500, "InternalError", "The request could not be answered", {{"reason", e.what()}},
                        "internal");
}

} // namespace

// A request being answered: where it came from, its answer's way back,
// and for a render request its URL and deadline timer.
struct HttpService::Exchange {
    Exchange(boost::asio::io_context& io, std::string client, Clock::time_point arrival, Answer answer, bool job)
        : client(std::move(client)), arrival(arrival), answer(std::move(answer)), job(job), deadline(io) {}

    const std::string client;
    const Clock::time_point arrival;
    const Answer answer;
    // A job of the queue: rendered also while the service stops.
    const bool job;
    std::string endpoint;
    std::string url;
    boost::asio::steady_timer deadline;
};

HttpService::HttpService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPool& pool,
                         Metrics& metrics, AccessLog& log, const RenderArguments::Limits& limits, Access access)
    : io(io), encoders(encoders), pool(pool), metrics(metrics), log(log), limits(limits), access(std::move(access)),
      stopping(false), unanswered(0) {}

void HttpService::Handle(const Request& request, const std::string& client, Clock::time_point arrival,
                         Answer answer) {
    Dispatch(request, std::make_shared<Exchange>(io, client, arrival, std::move(answer), false), false);
}

void HttpService::HandleJob(const Request& request, Clock::time_point arrival, Answer answer) {
    Dispatch(request, std::make_shared<Exchange>(io, "queue", arrival, std::move(answer), true), true);
}

void HttpService::Dispatch(const Request& request, const std::shared_ptr<Exchange>& exchange, bool job) {
    const std::string target(request.target());
    const std::size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : target.substr(question + 1);
    Endpoint endpoint = Endpoint::Html;
    const bool render = FindEndpoint(path, endpoint);
    const bool known = render || (!job && (path == "/_ping" || path == "/metrics"));
    exchange->endpoint = known ? path.substr(1) : "other";
    const auto reply = [this, exchange](const Reply& out) {
        Record(exchange->client, exchange->endpoint, exchange->url, out, exchange->arrival);
        exchange->answer(out);
    };
    const bool health = path == "/_ping" || path == "/metrics";
    if (!job && !(access.openHealth && health)
        && !access.auth.Allows(std::string(request[http::field::authorization]))) {
        Reply refused = Reply::Error(401, "Unauthorized", "This service needs a user and password",
                                     nlohmann::json::object(), "unauthorized");
        refused.headers.push_back({"WWW-Authenticate", "Basic realm=\"orvo-serve\", charset=\"UTF-8\""});
        return reply(refused);
    }
    const bool get = request.method() == http::verb::get;
    if (!known) {
        return reply(Reply::Error(404, "NotFound", "No such endpoint", {{"path", path}}, "not_found"));
    }
    if (!get && !(render && request.method() == http::verb::post)) {
        const std::string methods = render ? "GET or POST" : "GET";
        return reply(Reply::Error(405, "MethodNotAllowed", "This endpoint takes " + methods,
                                  {{"method", std::string(request.method_string())}}, "bad_method"));
    }
    if (path == "/_ping") {
        return reply(Ping());
    }
    if (path == "/metrics") {
        Reply text;
        text.contentType = "text/plain; version=0.0.4";
        text.body = metrics.Text(pool.GetStats());
        return reply(text);
    }
    try {
        Render(exchange, endpoint, ReadTexts(request, query));
    } catch (const BadArgument& e) {
        reply(Reply::Error(400, "BadOption", "Incorrect HTTP API arguments",
                           {{"type", "bad_argument"}, {"argument", e.argument}, {"description", e.what()}},
                           "bad_option"));
    } catch (const std::exception& e) {
        reply(InternalError(e));
    }
}

void HttpService::Render(const std::shared_ptr<Exchange>& exchange, Endpoint endpoint,
                         RenderArguments::Texts texts) {
    const std::vector<std::string> expired = saved.Load(texts);
    const auto url = texts.find("url");
    exchange->url = url == texts.end() ? std::string() : url->second;
    if (!expired.empty()) {
        Reply miss = Reply::Error(498, "ExpiredArguments", "Arguments stored with save_args are expired",
                                  {{"expired", expired}}, "expired_arguments");
        Record(exchange->client, exchange->endpoint, exchange->url, miss, exchange->arrival);
        return exchange->answer(miss);
    }
    const RenderArguments arguments = IsScript(endpoint) ? RenderArguments::ParseScript(texts, limits, endpoint)
                                                         : RenderArguments::Parse(texts, limits);
    const std::string savedHeader = saved.Save(texts);
    const auto reply = [this, exchange, savedHeader](Reply out) {
        exchange->deadline.cancel();
        if (!savedHeader.empty()) {
            out.headers.emplace_back("X-Splash-Saved-Arguments", savedHeader);
        }
        metrics.ObserveRender(std::chrono::duration<double>(Clock::now() - exchange->arrival).count());
        Record(exchange->client, exchange->endpoint, exchange->url, out, exchange->arrival);
        exchange->answer(out);
    };
    if (stopping && !exchange->job) {
        Reply refused = Reply::Error(503, "ServiceStopping", "The service is stopping", nlohmann::json::object(),
                                     "stopping");
        return reply(refused);
    }
    Browser::Request::Options options = arguments.ToOptions(endpoint);
    // The pool adds the timeout when it sends the request: counted at its longest.
    Browser::Request::Options sized = options;
    sized[Browser::Option::Timeout::Name()] = std::numeric_limits<int>::max();
    const std::size_t bytes = Browser::Client::Client::RequestBytes(arguments.url, sized);
    if (bytes > Browser::Client::Client::MaxRequestBytes) {
        return reply(Reply::Error(413, "RequestTooLarge",
                                  "The request is larger than a worker takes: its URL and texts are too long",
                                  {{"size", bytes}, {"limit", Browser::Client::Client::MaxRequestBytes}},
                                  "too_large"));
    }
    const Clock::time_point deadline = exchange->arrival + std::chrono::milliseconds(arguments.timeoutMs);
    auto task = std::make_shared<RenderTask>(
        arguments.url, std::move(options), deadline,
        [this, reply, endpoint, arguments](Browser::Client::Result result) {
            boost::asio::post(encoders, [this, reply, endpoint, arguments, result = std::move(result)] {
                Reply out;
                try {
                    out = Reply::Rendered(endpoint, arguments, result);
                } catch (const std::exception& e) {
                    out = InternalError(e);
                }
                boost::asio::post(io, [reply, out = std::move(out)] { reply(out); });
            });
        });
    if (!pool.Submit(task)) {
        Reply full = Reply::Error(503, "QueueFull", "Too many requests are waiting; send again later",
                                  nlohmann::json::object(), "queue_full");
        full.headers.push_back({"Retry-After", std::to_string(BacklogRetryAfterSeconds)});
        return reply(full);
    }
    exchange->deadline.expires_at(deadline);
    exchange->deadline.async_wait([task, reply, arguments](boost::system::error_code error) {
        if (!error && task->Claim()) {
            reply(Reply::TimedOut(arguments));
        }
    });
}

Reply HttpService::Ping() const {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const RenderPool::Stats stats = pool.GetStats();
    return Reply::Json({{"status", "ok"},
                        {"maxrss", usage.ru_maxrss},
                        {"rss", ResidentBytes()},
                        {"workers", stats.readyWorkers},
                        {"busyWorkers", stats.busyWorkers},
                        {"queue", stats.queued}});
}

void HttpService::Record(const std::string& client, const std::string& endpoint, const std::string& url,
                         const Reply& reply, Clock::time_point arrival) {
    metrics.CountRequest(endpoint, reply.outcome);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrival);
    log.Request(client, endpoint, url, reply.status, static_cast<long>(elapsed.count()));
}

} // namespace Serve
} // namespace Orvo
