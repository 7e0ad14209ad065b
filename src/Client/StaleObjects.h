#ifndef ORVO_CLIENT_STALEOBJECTS_H
#define ORVO_CLIENT_STALEOBJECTS_H

#include <cstddef>
#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// What workers and clients leave behind when they are killed: the shared
// objects "Orvo_Browser_PID_..." of a worker and "OrvoClient_PID_..." of a
// client, as POSIX shared memory or named semaphores ("sem." in front).
// (Spill files are SpillFiles' to sweep.)
class StaleObjects {
public:
    // Removes from directory (where the system keeps POSIX shared objects)
    // every such object whose PID names no live process; the objects of
    // live processes are left alone, whoever owns them. Returns how many it
    // removed.
    static std::size_t Sweep(const std::string& directory = "/dev/shm");

    // The PID an object of that name belongs to, or 0 when the name is
    // none of ours.
    static long OwnerOf(const std::string& name);
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
