#include "Process/HeapRelease.h"

#include <chrono>
#include <cstdlib>

#include <malloc.h>

namespace Orvo {
namespace Browser {

void HeapRelease::TuneAllocator() {
    if (std::getenv("GLIBC_TUNABLES") == nullptr && std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) {
        ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(MapOwnBlocksFrom));
    }
}

long HeapRelease::Trim() {
    const auto start = std::chrono::steady_clock::now();
    ::malloc_trim(0);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace Browser
} // namespace Orvo
