#include "Kernel/RecyclePolicy.h"

#include <cstdio>

#include <unistd.h>

namespace Orvo {
namespace Browser {

namespace {

const std::size_t BytesPerMb = 1024 * 1024;

} // namespace

RecyclePolicy::RecyclePolicy(std::size_t maxPages, std::size_t maxResidentMb)
    : maxPages(maxPages), maxResidentMb(maxResidentMb) {}

std::string RecyclePolicy::Due(std::size_t pagesTaken, std::size_t residentBytes) const {
    if (maxPages != 0 && pagesTaken >= maxPages) {
        return "took " + std::to_string(pagesTaken) + " requests (limit " + std::to_string(maxPages) + ")";
    }
    if (maxResidentMb != 0 && residentBytes > maxResidentMb * BytesPerMb) {
        return "resident memory " + std::to_string(residentBytes / BytesPerMb) + " MB (limit "
               + std::to_string(maxResidentMb) + " MB)";
    }
    return std::string();
}

std::size_t RecyclePolicy::ResidentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const bool read = std::fscanf(statm, "%lu %lu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace Browser
} // namespace Orvo
