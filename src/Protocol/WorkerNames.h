#ifndef ORVO_PROTOCOL_WORKERNAMES_H
#define ORVO_PROTOCOL_WORKERNAMES_H

#include <cstddef>
#include <string>

namespace Orvo {
namespace Browser {

// The names of a worker's own shared objects, from its process id: the
// request segment (whose request channel has the same name) and the ready
// marker, a named semaphore that exists while the worker takes requests.
class WorkerNames {
public:
    // The longest request name: with the longest suffix a worker adds
    // ("_Channel_Condition") it still makes a file name of the system's
    // shared objects (255 bytes).
    static constexpr std::size_t MaxRequestNameLength = 237;

    static std::string RequestSegment(long pid);
    static std::string ReadyMarker(long pid);

    // Removes every shared name of worker pid: the ready marker first, so
    // that no client takes the worker for ready, then the request
    // channel's mutex and condition and the request segment.
    static void Remove(long pid);

    // Whether a client's request may carry name: not empty, at most
    // MaxRequestNameLength bytes of [A-Za-z0-9_.-], and not in the workers'
    // own namespace ("Orvo_Browser_..."), so that a result can never be
    // delivered into a worker's objects.
    static bool IsRequestName(const std::string& name);
};

} // namespace Browser
} // namespace Orvo

#endif
