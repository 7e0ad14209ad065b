#include "Kernel/ServerTimes.h"

#include <algorithm>
#include <cstdlib>

namespace Orvo {
namespace Browser {

int ServerTimes::Divisor() {
    static const int divisor = [] {
        const char* text = std::getenv("ORVO_TEST_TIME_DIVISOR");
        const long value = text == nullptr ? 1 : std::strtol(text, nullptr, 10);
        return value >= 1 && value <= 1000000 ? static_cast<int>(value) : 1;
    }();
    return divisor;
}

int ServerTimes::Scaled(int ms) {
    return std::max(1, ms / Divisor());
}

int ServerTimes::RequestWaitMs() {
    return Scaled(DefaultRequestWaitMs);
}

int ServerTimes::GracePeriodMs() {
    return Scaled(DefaultGracePeriodMs);
}

int ServerTimes::PageTimeOutMs() {
    return Scaled(DefaultPageTimeOutMs);
}

int ServerTimes::StuckLimitMs() {
    return Scaled(DefaultStuckLimitMs);
}

int ServerTimes::ScriptLimitMs() {
    return Scaled(DefaultScriptLimitMs);
}

} // namespace Browser
} // namespace Orvo
