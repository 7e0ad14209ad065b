#include "Process/HeapRelease.h"

#include <chrono>
#include <cstdlib>
#include <initializer_list>

#include <malloc.h>

namespace Orvo {
namespace Browser {

void HeapRelease::TuneAllocator() {
    for (const char* setting : {"GLIBC_TUNABLES", "MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_"}) {
        if (std::getenv(setting) != nullptr) {
            return;
        }
    }
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(MapOwnBlocksFrom));
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(TrimFrom));
}

long HeapRelease::Trim() {
    const auto start = std::chrono::steady_clock::now();
    ::malloc_trim(0);
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
}

} // namespace Browser
} // namespace Orvo
