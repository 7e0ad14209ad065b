#include "Protocol/TimeDivisor.h"

#include <algorithm>
#include <cstdlib>

namespace Orvo {
namespace Browser {

int TimeDivisor::Divisor() {
    static const int divisor = [] {
        const char* text = std::getenv("ORVO_TEST_TIME_DIVISOR");
        const long value = text == nullptr ? 1 : std::strtol(text, nullptr, 10);
        return value >= 1 && value <= 1000000 ? static_cast<int>(value) : 1;
    }();
    return divisor;
}

int TimeDivisor::Scaled(int ms) {
    return std::max(1, ms / Divisor());
}

} // namespace Browser
} // namespace Orvo
