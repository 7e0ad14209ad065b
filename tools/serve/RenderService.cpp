#include "RenderService.h"

#include <limits>
#include <memory>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "AutoEngine.h"
#include "BadArgument.h"
#include "Client/Client.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

namespace {

const int BacklogRetryAfterSeconds = 1;

} // namespace

RenderService::RenderService(boost::asio::io_context& io, boost::asio::thread_pool& encoders, RenderPools& pools,
                             Metrics& metrics, const RenderArguments::Limits& limits)
    : io(io), encoders(encoders), pools(pools), metrics(metrics), limits(limits) {}

void RenderService::Render(Endpoint endpoint, RenderArguments::Texts texts, Clock::time_point arrival, bool taken,
                           Completion done) {
    const auto named = texts.find("url");
    const std::string url = named == texts.end() ? std::string() : named->second;
    const std::vector<std::string> expired = saved.Load(texts);
    if (!expired.empty()) {
        return done(Reply::Error(498, "ExpiredArguments", "Arguments stored with save_args are expired",
                                 {{"expired", expired}}, Reply::Outcome::ExpiredArguments),
                    url);
    }
    RenderArguments arguments;
    std::string savedHeader;
    RenderPool* pool = nullptr;
    try {
        arguments = IsScript(endpoint) ? RenderArguments::ParseScript(texts, limits, endpoint)
                                       : RenderArguments::Parse(texts, limits);
        arguments.CheckEngine(endpoint);
        pool = pools.For(arguments.engine == Engine::Auto ? Engine::WebKit : arguments.engine);
        if (pool == nullptr || (arguments.engine == Engine::Auto && pools.For(Engine::Chromium) == nullptr)) {
            throw BadArgument("engine", std::string("this service runs no chromium engine")
                                            + (arguments.engine == Engine::Auto ? ", which auto needs" : "")
                                            + ": start it with --chromium-workers N");
        }
        savedHeader = saved.Save(texts);
    } catch (const BadArgument& e) {
        return done(Reply::BadOption(e), url);
    }
    const auto reply = [this, done, url, arrival, savedHeader](Reply out) {
        if (!savedHeader.empty()) {
            out.headers.emplace_back("X-Splash-Saved-Arguments", savedHeader);
        }
        metrics.ObserveRender(std::chrono::duration<double>(Clock::now() - arrival).count());
        done(out, url);
    };
    if (stopping && !taken) {
        return reply(Reply::Error(503, "ServiceStopping", "The service is stopping", nlohmann::json::object(),
                                  Reply::Outcome::Stopping));
    }
    Send(endpoint, arguments, *pool, arrival, reply);
}

// The page goes to the pool; the first of its result and its deadline
// answers, the other finds the task claimed.
void RenderService::Send(Endpoint endpoint, const RenderArguments& arguments, RenderPool& pool,
                         Clock::time_point arrival, const std::function<void(Reply)>& reply) {
    Browser::Request::Options options = arguments.ToOptions(endpoint);
    // The pool adds the timeout when it sends the request: counted at its longest.
    Browser::Request::Options sized = options;
    sized[Browser::Option::Timeout::Name()] = std::numeric_limits<int>::max();
    const std::size_t bytes = Browser::Client::Client::RequestBytes(arguments.url, sized);
    if (bytes > Browser::Client::Client::MaxRequestBytes) {
        return reply(Reply::Error(413, "RequestTooLarge",
                                  "The request is larger than a worker takes: its URL and texts are too long",
                                  {{"size", bytes}, {"limit", Browser::Client::Client::MaxRequestBytes}},
                                  Reply::Outcome::TooLarge));
    }
    const Clock::time_point deadline = arrival + std::chrono::milliseconds(arguments.timeoutMs);
    auto timer = std::make_shared<boost::asio::steady_timer>(io);
    const auto answer = [timer, reply](Reply out) {
        timer->cancel();
        reply(std::move(out));
    };
    auto task = std::make_shared<RenderTask>(
        arguments.url, std::move(options), deadline,
        [this, answer, endpoint, arguments, arrival, reply, timer](Browser::Client::Result result) {
            boost::asio::post(encoders, [=, result = std::move(result)] {
                // engine=auto reads the description once, for its choice
                // and for the answer.
                const bool judged =
                    arguments.engine == Engine::Auto && result.outcome == Browser::Client::Outcome::Rendered;
                const nlohmann::json described =
                    judged ? nlohmann::json::parse(result.body, nullptr, false) : nlohmann::json();
                const std::string lacked = judged ? AutoEngine::Reason(described) : "";
                if (!lacked.empty()) {
                    return boost::asio::post(io, [=] {
                        timer->cancel();
                        SendToChromium(endpoint, arguments, arrival, reply, lacked);
                    });
                }
                RenderArguments rendered = arguments;
                rendered.engine = arguments.engine == Engine::Auto ? Engine::WebKit : arguments.engine;
                Reply out;
                try {
                    out = Reply::Rendered(endpoint, rendered, result, judged ? &described : nullptr);
                    out.headers.emplace_back("X-Orvo-Engine", EngineName(rendered.engine));
                } catch (const std::exception& e) {
                    out = Reply::Unanswerable(e);
                }
                boost::asio::post(io, [answer, out = std::move(out)] { answer(out); });
            });
        });
    if (!pool.Submit(task)) {
        Reply full = Reply::Error(503, "QueueFull", "Too many requests are waiting; send again later",
                                  nlohmann::json::object(), Reply::Outcome::QueueFull);
        full.headers.push_back({"Retry-After", std::to_string(BacklogRetryAfterSeconds)});
        return answer(full);
    }
    timer->expires_at(deadline);
    timer->async_wait([task, answer, arguments](boost::system::error_code error) {
        if (!error && task->Claim()) {
            answer(Reply::TimedOut(arguments));
        }
    });
}

// The page lacked on WebKit what Chromium has: it is rendered there, within
// what is left of its time, and its answer says why.
void RenderService::SendToChromium(Endpoint endpoint, RenderArguments arguments, Clock::time_point arrival,
                                   const std::function<void(Reply)>& reply, const std::string& lacked) {
    arguments.engine = Engine::Chromium;
    Send(endpoint, arguments, *pools.For(Engine::Chromium), arrival, [reply, lacked](Reply out) {
        out.headers.emplace_back("X-Orvo-Engine-Reason", lacked);
        reply(std::move(out));
    });
}

} // namespace Serve
} // namespace Orvo
