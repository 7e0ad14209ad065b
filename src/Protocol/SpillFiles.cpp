#include "Protocol/SpillFiles.h"

#include <cerrno>
#include <ctime>
#include <regex>
#include <vector>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <unistd.h>

#include "Protocol/SharedAccess.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Interprocess {

namespace {

const char* const Template = Browser::WireFormat::SpillTemplate;

} // namespace

int SpillFiles::Create(std::string& path) {
    std::vector<char> name(Template, Template + std::char_traits<char>::length(Template) + 1);
    const int descriptor = ::mkstemp(name.data());
    if (descriptor < 0) {
        return -1;
    }
    if (!SharedAccess::HandOverFile(descriptor)) {
        ::close(descriptor);
        ::unlink(name.data());
        return -1;
    }
    path = name.data();
    return descriptor;
}

bool SpillFiles::IsTrusted(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) {
        return false;
    }
    const mode_t mode = status.st_mode & 07777;
    return (status.st_uid == ::geteuid() && mode == 0600) || (SharedAccess::IsSharedGroup(status.st_gid) && mode == 0660);
}

void SpillFiles::Remove(const std::string& path, const struct stat& status) {
    if (::unlink(path.c_str()) == 0 || (errno != EPERM && errno != EACCES)) {
        return;
    }
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    struct stat now;
    if (::fstat(descriptor, &now) == 0 && now.st_dev == status.st_dev && now.st_ino == status.st_ino) {
        (void)::ftruncate(descriptor, 0);
    }
    ::close(descriptor);
}

std::size_t SpillFiles::SweepStale(long maxAgeSeconds, const std::string& directory) {
    static const std::regex spillFile(Browser::WireFormat::SpillNamePattern);
    const std::time_t oldest = std::time(nullptr) - maxAgeSeconds;
    std::size_t removed = 0;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        struct stat status;
        const std::string path = entry->path().string();
        if (std::regex_match(entry->path().filename().string(), spillFile) && ::lstat(path.c_str(), &status) == 0
            && S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && status.st_mtime < oldest
            && boost::filesystem::remove(entry->path(), error)) {
            ++removed;
        }
        error.clear();
    }
    return removed;
}

} // namespace Interprocess
} // namespace Orvo
