#ifndef ORVO_KERNEL_TIMEOUTEXCEPTION_H
#define ORVO_KERNEL_TIMEOUTEXCEPTION_H

#include <exception>

namespace Orvo {
namespace Browser {

// The kernel did not complete an operation in time.
class TimeOutException : public std::exception {
public:
    const char* what() const noexcept override { return "TIMEOUT"; }
};

} // namespace Browser
} // namespace Orvo

#endif
