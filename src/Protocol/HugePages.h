#ifndef ORVO_PROTOCOL_HUGEPAGES_H
#define ORVO_PROTOCOL_HUGEPAGES_H

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace Orvo {
namespace Browser {

// Memory for a large buffer that lives for one picture. Sizes from
// MinSize up are taken in whole 2 MiB pages, aligned to them and advised
// to the kernel as huge pages: where the system allows transparent huge
// pages, touching the buffer then costs one fault per 2 MiB instead of one
// per 4 KiB, which on a virtual machine costs more than writing the bytes.
// Smaller sizes come from malloc as usual. The memory is left as the
// kernel gives it, not zero-filled, so what is never written is never
// touched. Either way it is released with std::free.
class HugePages {
public:
    static constexpr std::size_t PageSize = std::size_t(2) << 20;
    static constexpr std::size_t MinSize = PageSize / 2;

    typedef std::unique_ptr<unsigned char, decltype(&std::free)> Owned;

    // At least size bytes. Throws std::bad_alloc.
    static void* Allocate(std::size_t size);

    // The same, owned.
    static Owned Take(std::size_t size) {
        return Owned(static_cast<unsigned char*>(Allocate(size)), &std::free);
    }

    // For a container that grows: its storage comes from Allocate, and
    // the elements it adds without a value (a vector's resize) are
    // default-initialised, so bytes are left as the memory holds them
    // rather than zero-filled.
    template <class T>
    struct Allocator {
        typedef T value_type;

        Allocator() = default;
        template <class U>
        Allocator(const Allocator<U>&) {}

        T* allocate(std::size_t n) {
            if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
                throw std::bad_alloc();
            }
            return static_cast<T*>(Allocate(n * sizeof(T)));
        }
        void deallocate(T* p, std::size_t) { std::free(p); }

        template <class U>
        void construct(U* p) {
            ::new (static_cast<void*>(p)) U;
        }
        template <class U, class... Args>
        void construct(U* p, Args&&... args) {
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
        }

        template <class U>
        bool operator==(const Allocator<U>&) const {
            return true;
        }
        template <class U>
        bool operator!=(const Allocator<U>&) const {
            return false;
        }
    };
};

} // namespace Browser
} // namespace Orvo

#endif
