#ifndef ORVO_KERNEL_SERVERSTOPPEDEXCEPTION_H
#define ORVO_KERNEL_SERVERSTOPPEDEXCEPTION_H

#include <exception>

namespace Orvo {
namespace Browser {

// The server has stopped: no further requests will be handed out.
class ServerStoppedException : public std::exception {
};

} // namespace Browser
} // namespace Orvo

#endif
