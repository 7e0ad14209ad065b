#ifndef ORVO_PROTOCOL_PIXELROWS_H
#define ORVO_PROTOCOL_PIXELROWS_H

#include <cstddef>

namespace Orvo {
namespace Browser {

// Rows of 8-bit pixels turned from one byte layout into another: Qt's
// 32-bit pixels into the bitmap file's 3-byte ones, and the file's blue,
// green, red into red, green, blue (or back). Where the processor has
// SSSE3's byte shuffle, 16 bytes are moved at a time; the portable path
// gives the same bytes. Input and output must not overlap; the output is
// written only within its n pixels. Thread-safe.
class PixelRows {
public:
    // Whether the shuffle is there (checked once).
    static bool CanShuffle();

    // The first three bytes of each of n 4-byte pixels (Qt's 32-bit
    // pixels hold blue, green, red, then alpha or padding).
    static void DropFourthBytes(const unsigned char* in, unsigned char* out, std::size_t n,
                                bool shuffle = CanShuffle());

    // Each of n 3-byte pixels with its first and third bytes swapped.
    static void SwapOuterBytes(const unsigned char* in, unsigned char* out, std::size_t n,
                               bool shuffle = CanShuffle());
};

} // namespace Browser
} // namespace Orvo

#endif
