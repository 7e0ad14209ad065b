#ifndef ORVO_TOOLS_SERVE_REPLY_H
#define ORVO_TOOLS_SERVE_REPLY_H

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "BadArgument.h"
#include "Client/Result.h"
#include "RenderArguments.h"

namespace Orvo {
namespace Serve {

// An HTTP answer before it is written: status, body and its type, extra
// headers, and the outcome it is counted under in the metrics. The static
// makers build every answer the service gives.
struct Reply {
    // How the request ended, as the metrics count it (Label names it).
    enum class Outcome {
        Ok,
        BadOption,
        BadMethod,
        BadRequest,
        NotFound,
        Unauthorized,
        ExpiredArguments,
        TooLarge,
        Internal,
        RenderError,
        ScriptError,
        Timeout,
        Stopping,
        QueueFull,
        WorkerLost,
        TooManyConnections,
        TooManyDeliveries
    };

    // The outcome's label in the metrics: "ok", "bad_option", ...
    static const char* Label(Outcome outcome);

    int status = 200;
    std::string contentType;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    Outcome outcome = Outcome::Ok;

    // {"error": status, "type": type, "description": description, "info": info}
    static Reply Error(int status, const std::string& type, const std::string& description, nlohmann::json info,
                       Outcome outcome);

    static Reply Json(const nlohmann::json& value);

    // 400 BadOption naming the argument and what is wrong with it.
    static Reply BadOption(const BadArgument& bad);
    // 500 InternalError: answering failed in a way no argument explains.
    static Reply Unanswerable(const std::exception& e);

    // The answer to a render request from its worker's result, whose body
    // describes the page (the worker's pageInfo option): the page in the
    // endpoint's form, 502 RenderError for a navigation error or any status
    // from 400 up, 504 when no result came in time, 503 when the workers
    // were lost, 500 for an unusable result. described: the body already
    // parsed, when the caller has it (null: parsed here).
    static Reply Rendered(Endpoint endpoint, const RenderArguments& arguments, const Browser::Client::Result& result,
                          const nlohmann::json* described = nullptr);

    static Reply TimedOut(const RenderArguments& arguments);

    // 502 RenderError: the page's HTTP status with its reason (the
    // standard one when reason is empty), or with status 0 a network
    // failure, reason saying why when known.
    static Reply RenderFailed(const RenderArguments& arguments, int status, const std::string& reason);

    // The text of the first <title> element of html, its character
    // references decoded; empty when there is none.
    static std::string PageTitle(const std::string& html);
};

} // namespace Serve
} // namespace Orvo

#endif
