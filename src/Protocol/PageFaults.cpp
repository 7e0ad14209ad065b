#include "Protocol/PageFaults.h"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace Orvo {
namespace Browser {

namespace {

// madvise takes whole pages: the range is widened to the pages it touches,
// all of which belong to the same mapping.
void Populate(const void* start, std::size_t length, int advice) {
    if (length < PageFaults::MinLength) {
        return;
    }
    static const std::uintptr_t pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(start) & ~(pageSize - 1);
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(start) + length;
    ::madvise(reinterpret_cast<void*>(first), end - first, advice);
}

} // namespace

void PageFaults::AheadOfWrite(void* start, std::size_t length) {
    Populate(start, length, MADV_POPULATE_WRITE);
}

void PageFaults::AheadOfRead(const void* start, std::size_t length) {
    Populate(start, length, MADV_POPULATE_READ);
}

} // namespace Browser
} // namespace Orvo
