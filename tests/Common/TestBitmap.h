#ifndef ORVO_TESTS_COMMON_TESTBITMAP_H
#define ORVO_TESTS_COMMON_TESTBITMAP_H

#include <algorithm>
#include <cstdint>
#include <string>

#include "Protocol/FastLz.h"

// Snapshot fields as a worker sends them, built by hand: a 24-bit bitmap
// file of a known pattern, FastLZ-compressed, with its length after it.
namespace OrvoTest {

inline void PutLe(std::string& bytes, std::size_t at, std::uint32_t value, int length) {
    for (int k = 0; k < length; ++k) {
        bytes[at + k] = static_cast<char>((value >> (8 * k)) & 0xff);
    }
}

// The colour channel c (0 red, 1 green, 2 blue) of pixel x, y.
inline unsigned char Channel(int x, int y, int c) {
    return static_cast<unsigned char>(x * 7 + y * 31 + c * 101);
}

// A 24-bit bitmap file of width × height pixels; its padding bytes are
// junk, which a decoder must skip.
inline std::string Bitmap(int width, int height, bool bottomUp) {
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t(3);
    std::string bytes(54 + rowBytes * height, '\xee');
    bytes[0] = 'B';
    bytes[1] = 'M';
    PutLe(bytes, 2, static_cast<std::uint32_t>(bytes.size()), 4);
    PutLe(bytes, 6, 0, 4);
    PutLe(bytes, 10, 54, 4);
    PutLe(bytes, 14, 40, 4);
    PutLe(bytes, 18, static_cast<std::uint32_t>(width), 4);
    PutLe(bytes, 22, static_cast<std::uint32_t>(bottomUp ? height : -height), 4);
    PutLe(bytes, 26, 1, 2);
    PutLe(bytes, 28, 24, 2);
    PutLe(bytes, 30, 0, 4);
    PutLe(bytes, 34, static_cast<std::uint32_t>(rowBytes * height), 4);
    std::fill(bytes.begin() + 38, bytes.begin() + 54, '\0');
    for (int y = 0; y < height; ++y) {
        const std::size_t at = 54 + rowBytes * (bottomUp ? height - 1 - y : y);
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                bytes[at + 3 * x + c] = static_cast<char>(Channel(x, y, 2 - c));
            }
        }
    }
    return bytes;
}

// A snapshot field: the FastLZ block of bitmap, then its length.
inline std::string Encoded(const std::string& bitmap) {
    std::string block(bitmap.size() + bitmap.size() / 32 + 1, '\0');
    block.resize(fastlz_compress(bitmap.data(), bitmap.size(), &block[0]));
    block.resize(block.size() + 4);
    PutLe(block, block.size() - 4, static_cast<std::uint32_t>(bitmap.size()), 4);
    return block;
}

} // namespace OrvoTest

#endif
