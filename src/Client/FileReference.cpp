#include "Client/FileReference.h"

#include <cerrno>
#include <regex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Protocol/SpillFiles.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

// Above any field a worker writes: a snapshot of the largest page, encoded.
const off_t MaxFileLength = off_t(4) << 30;

// Owns one descriptor.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    const int fd;
};

bool Fail(std::string& error, const std::string& path, const std::string& why) {
    error = "cannot read the result file " + path + ": " + why;
    return false;
}

// Reads all of an open regular file of length bytes into contents.
bool ReadAll(int fd, off_t length, std::string& contents) {
    contents.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t got = ::read(fd, &contents[done], contents.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

bool FileReference::Parse(const std::string& field, std::string& path) {
    static const std::regex reference(std::string(WireFormat::SpillReference) + "(" + WireFormat::SpillDirectory
                                      + WireFormat::SpillNamePattern + ")");
    std::smatch match;
    if (field.size() > 64 || !std::regex_match(field, match, reference)) {
        return false;
    }
    path = match[1].str();
    return true;
}

// The file must be what a worker writes: a regular file SpillFiles trusts
// (ours and private, or the shared group's), of a sane size. It is opened without following
// a link and without waiting (a FIFO would block), and checked on the open
// descriptor, so that it cannot be swapped in between.
bool FileReference::Resolve(std::string& field, std::string& error) {
    std::string path;
    if (!Parse(field, path)) {
        return true;
    }
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (file.fd < 0 || ::fstat(file.fd, &status) != 0) {
        return Fail(error, path, errno == ELOOP ? "it is a link" : "it cannot be opened");
    }
    if (!S_ISREG(status.st_mode)) {
        return Fail(error, path, "it is not a regular file");
    }
    if (!Interprocess::SpillFiles::IsTrusted(status)) {
        return Fail(error, path, "it is not a private file of this user");
    }
    if (status.st_size > MaxFileLength) {
        return Fail(error, path, "it is too large");
    }
    std::string contents;
    if (!ReadAll(file.fd, status.st_size, contents)) {
        return Fail(error, path, "reading failed");
    }
    Interprocess::SpillFiles::Remove(path, status);
    field.swap(contents);
    return true;
}

void FileReference::Discard(const std::string& field) {
    std::string path;
    struct stat status;
    if (Parse(field, path) && ::lstat(path.c_str(), &status) == 0 && Interprocess::SpillFiles::IsTrusted(status)) {
        Interprocess::SpillFiles::Remove(path, status);
    }
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
