// File references: any field is either no reference or names a spill file;
// a spill file's contents, whatever they are, come back as the field.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "Client/FileReference.h"
#include "Protocol/SpillFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Orvo::Browser::Client::FileReference;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string path;
    if (FileReference::Parse(bytes, path) && path.compare(0, 13, "/tmp/_BWIMPL_") != 0) {
        std::abort();
    }
    const int descriptor = Orvo::Interprocess::SpillFiles::Create(path);
    if (descriptor < 0 || ::write(descriptor, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        std::abort();
    }
    ::close(descriptor);
    std::string field = "file:///" + path;
    std::string error;
    if (!FileReference::Resolve(field, error) || field != bytes || ::access(path.c_str(), F_OK) == 0) {
        std::abort();
    }
    return 0;
}
