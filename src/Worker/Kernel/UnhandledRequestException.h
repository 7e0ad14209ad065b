#ifndef ORVO_KERNEL_UNHANDLEDREQUESTEXCEPTION_H
#define ORVO_KERNEL_UNHANDLEDREQUESTEXCEPTION_H

#include <exception>

namespace Orvo {
namespace Browser {

// A stop without force found a request waiting in the hand-over slot.
class UnhandledRequestException : public std::exception {
};

} // namespace Browser
} // namespace Orvo

#endif
