// The FastLZ decoder on any block: it must never read or write outside its
// two buffers (the output is allocated to the exact limit, so the address
// checker sees any write past it) and never claim more than the limit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Protocol/FastLz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first two bytes choose the limit, up to 64 KiB.
    const std::size_t maxout = static_cast<std::size_t>(data[0]) << 8 | data[1];
    std::vector<std::uint8_t> output(maxout);
    if (fastlz_decompress(data + 2, size - 2, output.data(), maxout) > maxout) {
        std::abort();
    }
    return 0;
}
