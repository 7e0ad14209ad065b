#ifndef ORVO_PROTOCOL_PAGEFAULTS_H
#define ORVO_PROTOCOL_PAGEFAULTS_H

#include <cstddef>

namespace Orvo {
namespace Browser {

// Maps in the pages of a range at once, ahead of a copy that would fault
// them in 4 KiB at a time. Each result travels through a segment made for
// it, so its pages are new to the worker that writes them and to the
// client that reads them, and so is the client's copy of a large field; on
// a virtual machine a fault costs more than copying its page, and one call
// that maps the whole range costs about half as much as the faults. Only
// advice: where the kernel cannot (before Linux 5.14), the copy faults the
// pages in as before. Stateless; safe from any thread.
class PageFaults {
public:
    // Shorter ranges are left to fault: the call would cost more.
    static constexpr std::size_t MinLength = std::size_t(64) << 10;

    // For length bytes at start, about to be written.
    static void AheadOfWrite(void* start, std::size_t length);
    // For length bytes at start, about to be read.
    static void AheadOfRead(const void* start, std::size_t length);
};

} // namespace Browser
} // namespace Orvo

#endif
