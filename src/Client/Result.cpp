#include "Client/Result.h"

namespace Orvo {
namespace Browser {
namespace Client {

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Rendered:
        return "rendered";
    case Outcome::NavigationError:
        return "navigation-error";
    case Outcome::Dead:
        return "dead";
    case Outcome::TimedOut:
        return "timeout";
    case Outcome::WorkerGone:
        return "worker-gone";
    case Outcome::Failed:
        return "failed";
    }
    return "failed";
}

Result Result::Unanswered(const std::string& url, Outcome outcome, const std::string& error) {
    Result result;
    result.url = url;
    result.outcome = outcome;
    result.error = error;
    return result;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
