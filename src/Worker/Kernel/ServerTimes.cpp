#include "Kernel/ServerTimes.h"

#include <algorithm>

#include "Protocol/TimeDivisor.h"

namespace Orvo {
namespace Browser {

int ServerTimes::RequestWaitMs() {
    return TimeDivisor::Scaled(DefaultRequestWaitMs);
}

int ServerTimes::GracePeriodMs() {
    return TimeDivisor::Scaled(DefaultGracePeriodMs);
}

int ServerTimes::PageTimeOutMs() {
    return TimeDivisor::Scaled(DefaultPageTimeOutMs);
}

int ServerTimes::StuckLimitMs() {
    return std::max(ShortestStuckLimitMs, TimeDivisor::Scaled(DefaultStuckLimitMs));
}

int ServerTimes::ScriptLimitMs() {
    return TimeDivisor::Scaled(DefaultScriptLimitMs);
}

} // namespace Browser
} // namespace Orvo
