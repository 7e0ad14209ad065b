#ifndef ORVO_PROTOCOL_WORKERNAMES_H
#define ORVO_PROTOCOL_WORKERNAMES_H

#include <string>

namespace Orvo {
namespace Browser {

// The names of a worker's own shared objects, from its process id: the
// request segment (whose request channel has the same name) and the ready
// marker, a named semaphore that exists while the worker takes requests.
class WorkerNames {
public:
    static std::string RequestSegment(long pid);
    static std::string ReadyMarker(long pid);
};

} // namespace Browser
} // namespace Orvo

#endif
