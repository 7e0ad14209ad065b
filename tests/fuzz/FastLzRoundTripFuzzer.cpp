// Compress-then-decompress at both levels: each block stays within the
// codec's worst case, decodes to the input, and decodes under the public
// decoder's bounds rules too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Protocol/FastLz.h"
#include "Protocol/WindowDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (int level : {1, 2}) {
        std::vector<std::uint8_t> block(size + size / 32 + 1);
        const std::size_t length = fastlz_compress_level(level, data, size, block.data());
        if (length > block.size() || (size > 0) != (length > 0)) {
            std::abort();
        }
        if (size == 0) {
            continue;
        }
        std::vector<std::uint8_t> output(size);
        if (fastlz_decompress(block.data(), length, output.data(), size) != size
            || std::memcmp(output.data(), data, size) != 0) {
            std::abort();
        }
        OrvoTest::WindowDecoder decoder;
        if (!decoder.Decode(block.data(), length) || decoder.Length() != size) {
            std::abort();
        }
    }
    return 0;
}
