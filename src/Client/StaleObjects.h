#ifndef ORVO_CLIENT_STALEOBJECTS_H
#define ORVO_CLIENT_STALEOBJECTS_H

#include <cstddef>
#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// What workers and clients leave behind when they are killed: result files
// of results over 4 MiB, and the shared objects "Orvo_Browser_PID_..." of a worker and "OrvoClient_PID_..." of a
// client, as POSIX shared memory or named semaphores ("sem." in front).
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

    // Removes the result files ("_BWIMPL_XXXXXX") in directory that belong
    // to this user and were last written more than maxAgeSeconds ago: a
    // client reads its files as soon as their record arrives, so such a file
    // was left by a client that died. Returns how many it removed.
    static std::size_t SweepResultFiles(long maxAgeSeconds = 3600, const std::string& directory = "/tmp");
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
