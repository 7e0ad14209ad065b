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

    // An arena gives back the free memory at its top once it passes this:
    // twice MapOwnBlocksFrom, as glibc pairs the two thresholds when it
    // sets them itself. Fixing the mmap threshold alone leaves this at 128
    // KiB, and a thread's arena then gives back and takes again its top on
    // nearly every free of a block below MapOwnBlocksFrom.
    static constexpr std::size_t TrimFrom = 2 * MapOwnBlocksFrom;

    // Fixes the mmap threshold at MapOwnBlocksFrom and the trim threshold
    // at TrimFrom, early in main. Where the environment chooses malloc
    // settings (GLIBC_TUNABLES, MALLOC_MMAP_THRESHOLD_,
    // MALLOC_TRIM_THRESHOLD_), they are left as chosen; another allocator
    // preloaded ignores the calls.
    static void TuneAllocator();

    // Returns the free pages of every arena to the system; the
    // microseconds it took.
    static long Trim();
};

} // namespace Browser
} // namespace Orvo

#endif
