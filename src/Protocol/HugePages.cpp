#include "Protocol/HugePages.h"

#include <algorithm>
#include <new>

#include <sys/mman.h>

namespace Orvo {
namespace Browser {

void* HugePages::Allocate(std::size_t size) {
    if (size < MinSize) {
        void* memory = std::malloc(std::max<std::size_t>(size, 1));
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        return memory;
    }
    if (size > static_cast<std::size_t>(-1) - PageSize) {
        throw std::bad_alloc();
    }
    const std::size_t rounded = (size + PageSize - 1) / PageSize * PageSize;
    void* memory = std::aligned_alloc(PageSize, rounded);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    // Only advice: without transparent huge pages the memory still serves.
    ::madvise(memory, rounded, MADV_HUGEPAGE);
    return memory;
}

} // namespace Browser
} // namespace Orvo
