#ifndef ORVO_WORKER_KERNEL_PARENTWATCH_H
#define ORVO_WORKER_KERNEL_PARENTWATCH_H

#include <sys/types.h>

namespace Orvo {
namespace Browser {

// Whether the process that started the worker is gone, for either engine.
// A client that starts a worker names itself in the worker's environment
// (WireFormat::ParentPidVariable); while that process lives it is the
// worker's parent, so a different parent means it ended, killed or not. A
// worker started without the variable (by hand, by a supervisor) is not
// watched.
class ParentWatch {
public:
    ParentWatch();

    // The process watched; 0 when none is.
    pid_t Watched() const { return watched; }

    bool Gone() const;

private:
    pid_t watched;
};

} // namespace Browser
} // namespace Orvo

#endif
