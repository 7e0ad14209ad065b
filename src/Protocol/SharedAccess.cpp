#include "Protocol/SharedAccess.h"

#include <limits>
#include <stdexcept>

#include <grp.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvo {
namespace Interprocess {

namespace {

const mode_t OwnerOnly = 0600;
const mode_t OwnerAndGroup = 0660;
// Where the system keeps POSIX shared objects; semaphores carry "sem.".
const char* const SharedDirectory = "/dev/shm/";

std::string PathOf(const std::string& name, bool semaphore) {
    return SharedDirectory + std::string(semaphore ? "sem." : "") + name;
}

// The group objects are shared with; -1 for none.
gid_t sharedGroup = static_cast<gid_t>(-1);

} // namespace

void SharedAccess::ShareWithGroup(const std::string& group) {
    const struct group* entry = ::getgrnam(group.c_str());
    if (entry == nullptr) {
        throw std::invalid_argument("unknown group: " + group);
    }
    sharedGroup = entry->gr_gid;
}

boost::interprocess::permissions SharedAccess::Permissions() {
    return boost::interprocess::permissions(sharedGroup == static_cast<gid_t>(-1) ? OwnerOnly : OwnerAndGroup);
}

// The creation mode passes through the umask for semaphores, which may
// take the group's write bit: the mode is set again here.
bool SharedAccess::HandOver(const std::string& name, bool semaphore) {
    if (sharedGroup == static_cast<gid_t>(-1)) {
        return true;
    }
    const std::string path = PathOf(name, semaphore);
    return ::chown(path.c_str(), static_cast<uid_t>(-1), sharedGroup) == 0 && ::chmod(path.c_str(), OwnerAndGroup) == 0;
}

bool SharedAccess::HandOverFile(int descriptor) {
    return sharedGroup == static_cast<gid_t>(-1)
           || (::fchown(descriptor, static_cast<uid_t>(-1), sharedGroup) == 0 && ::fchmod(descriptor, OwnerAndGroup) == 0);
}

bool SharedAccess::Exists(const std::string& name, bool semaphore) {
    return ::access(PathOf(name, semaphore).c_str(), F_OK) == 0;
}

bool SharedAccess::IsSharedGroup(gid_t gid) {
    return sharedGroup != static_cast<gid_t>(-1) && gid == sharedGroup;
}

unsigned long long SharedAccess::FreeBytes() {
    struct statvfs space {};
    if (::statvfs(SharedDirectory, &space) != 0) {
        return std::numeric_limits<unsigned long long>::max();
    }
    return static_cast<unsigned long long>(space.f_bavail) * space.f_frsize;
}

} // namespace Interprocess
} // namespace Orvo
