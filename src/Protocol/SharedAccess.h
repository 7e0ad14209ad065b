#ifndef ORVO_PROTOCOL_SHAREDACCESS_H
#define ORVO_PROTOCOL_SHAREDACCESS_H

#include <string>

#include <sys/types.h>

#include <boost/interprocess/permissions.hpp>

namespace Orvo {
namespace Interprocess {

// Who may open the shared objects this process creates: by default their
// owner only (mode 0600); once ShareWithGroup has named a group, that
// group's members too (0660, and the objects belong to the group). A worker
// and its clients that run as different users share one group. The setting
// is process-wide; make it before the first object is created.
class SharedAccess {
public:
    // Throws std::invalid_argument "unknown group: NAME".
    static void ShareWithGroup(const std::string& group);

    // The mode to create objects with.
    static boost::interprocess::permissions Permissions();

    // Hands a freshly created object to the group, when one is set: a
    // shared-memory object, or a named semaphore. Returns false when that
    // fails.
    static bool HandOver(const std::string& name, bool semaphore);

    // The same for a freshly created file, open as descriptor.
    static bool HandOverFile(int descriptor);

    // Whether a shared-memory object, or a named semaphore, of that name is
    // there: one look at the directory, which maps nothing in. False too
    // where the system keeps its objects elsewhere.
    static bool Exists(const std::string& name, bool semaphore);

    // Whether objects are shared with a group, and it is gid.
    static bool IsSharedGroup(gid_t gid);

    // Bytes that shared objects may still take. The system hands a shared
    // object's pages over as they are first written, and a write it has no
    // room for kills the writer (SIGBUS): so look before writing. Returns
    // the largest value when the directory cannot be read.
    static unsigned long long FreeBytes();
};

} // namespace Interprocess
} // namespace Orvo

#endif
