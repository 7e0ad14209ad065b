#ifndef ORVO_PROCESS_HEAPRELEASE_H
#define ORVO_PROCESS_HEAPRELEASE_H

#include <cstddef>

namespace Orvo {
namespace Browser {

// Gives memory that glibc's allocator keeps after frees back to the system.
// Left to itself, glibc raises its mmap threshold after each large free
// (up to 32 MiB), so that later bitmaps and images of that size come from
// the arenas, where freed memory stays for reuse; a process that once held
// several tall pages at a time goes on holding their size. Used by the
// worker and by orvo-serve, which both handle page-sized images on several
// threads. Stateless; safe from any thread.
class HeapRelease {
public:
    // Blocks from this size up are mapped on their own and unmapped when
    // freed.
    static constexpr std::size_t MapOwnBlocksFrom = 1 << 20;

    // Fixes the mmap threshold at MapOwnBlocksFrom, early in main. A malloc
    // setting chosen in the environment (GLIBC_TUNABLES,
    // MALLOC_MMAP_THRESHOLD_) is kept; another allocator preloaded ignores
    // the call.
    static void TuneAllocator();

    // Returns the free pages of every arena to the system; the
    // microseconds it took.
    static long Trim();
};

} // namespace Browser
} // namespace Orvo

#endif
