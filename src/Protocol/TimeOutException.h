#ifndef ORVO_PROTOCOL_TIMEOUTEXCEPTION_H
#define ORVO_PROTOCOL_TIMEOUTEXCEPTION_H

#include <exception>

namespace Orvo {
namespace Interprocess {

// A channel lock or wait passed its deadline.
class TimeOutException : public std::exception {};

} // namespace Interprocess
} // namespace Orvo

#endif
