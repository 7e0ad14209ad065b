#include "Protocol/ServerResult.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "Protocol/PageFaults.h"
#include "Protocol/SpillFiles.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

namespace {

const char* const FileScheme = WireFormat::SpillReference;

bool WriteAll(int descriptor, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(descriptor, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Temporary files of a record that could not be completed: nothing will
// ever refer to them.
void RemoveFiles(const std::vector<std::string>& references) {
    for (const std::string& reference : references) {
        ::unlink(reference.c_str() + std::strlen(FileScheme));
    }
}

// Copies length bytes at data into field, the segment's pages it takes
// mapped in at once.
void Put(String& field, const char* data, std::size_t length) {
    field.reserve(length);
    PageFaults::AheadOfWrite(const_cast<char*>(field.data()), length);
    field.assign(data, data + length);
}

} // namespace

std::uint32_t ServerResult::StoreToFile(std::string& reference, const char* data, std::uint32_t length) const {
    if (length == 0) {
        length = static_cast<std::uint32_t>(std::strlen(data));
    }
    std::string path;
    const int descriptor = Interprocess::SpillFiles::Create(path);
    if (descriptor < 0) {
        return WriteFailed;
    }
    const bool written = WriteAll(descriptor, data, length);
    const bool closed = ::close(descriptor) == 0;
    if (!written || !closed) {
        ::unlink(path.c_str());
        return WriteFailed;
    }
    reference = FileScheme + path;
    return length;
}

void ServerResult::Fill(const char* url, const char* detailText, const char* bodyText, const char* snapshotBytes,
                        std::uint32_t snapshotLength) {
    const std::size_t bodyLength = std::strlen(bodyText);
    std::size_t total = std::strlen(url) + std::strlen(detailText) + bodyLength + snapshotLength;
    std::string snapshotReference;
    std::string bodyReference;
    std::vector<std::string> files;
    if (total > SizeLimit) {
        if (StoreToFile(snapshotReference, snapshotBytes, snapshotLength) == WriteFailed) {
            return;
        }
        files.push_back(snapshotReference);
        total = total - snapshotLength + snapshotReference.size();
    }
    if (total > SizeLimit) {
        if (StoreToFile(bodyReference, bodyText, 0) == WriteFailed) {
            RemoveFiles(files);
            return;
        }
        files.push_back(bodyReference);
        total = total - bodyLength + bodyReference.size();
    }
    if (total > SizeLimit) {
        RemoveFiles(files);
        return;
    }
    try {
        pageUrl = url;
        detail = detailText;
        if (bodyReference.empty()) {
            Put(body, bodyText, bodyLength);
        } else {
            body.assign(bodyReference.begin(), bodyReference.end());
        }
        if (snapshotReference.empty()) {
            Put(snapshot, snapshotBytes, snapshotLength);
        } else {
            snapshot.assign(snapshotReference.begin(), snapshotReference.end());
        }
    } catch (...) {
        // The segment is full: the record is abandoned, and so are its files.
        RemoveFiles(files);
        throw;
    }
}

} // namespace Browser
} // namespace Orvo
