// A snapshot's bitmap, in every row layout a worker may send (widths whose
// rows need padding and those that need none, bottom-up and top-down),
// decodes to exactly its pixels, rows top to bottom, red, green, blue.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Client/Snapshot.h"
#include "Protocol/FastLz.h"

namespace {

using Orvo::Browser::Client::Snapshot;

void PutLe(std::string& bytes, std::size_t at, std::uint32_t value, int length) {
    for (int k = 0; k < length; ++k) {
        bytes[at + k] = static_cast<char>((value >> (8 * k)) & 0xff);
    }
}

// The colour channel c (0 red, 1 green, 2 blue) of pixel x, y.
unsigned char Channel(int x, int y, int c) {
    return static_cast<unsigned char>(x * 7 + y * 31 + c * 101);
}

// A 24-bit bitmap file of width × height pixels; its padding bytes are
// junk, which a decoder must skip.
std::string Bitmap(int width, int height, bool bottomUp) {
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
std::string Encoded(const std::string& bitmap) {
    std::string block(bitmap.size() + bitmap.size() / 32 + 1, '\0');
    block.resize(fastlz_compress(bitmap.data(), bitmap.size(), &block[0]));
    block.resize(block.size() + 4);
    PutLe(block, block.size() - 4, static_cast<std::uint32_t>(bitmap.size()), 4);
    return block;
}

TEST(Snapshot, EveryRowLayoutDecodesToItsExactPixels) {
    for (const int width : {1, 2, 3, 4, 5, 301}) {
        for (const int height : {1, 2, 3, 8}) {
            for (const bool bottomUp : {true, false}) {
                SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + (bottomUp ? " bottom-up" : ""));
                std::vector<unsigned char> expected;
                for (int y = 0; y < height; ++y) {
                    for (int x = 0; x < width; ++x) {
                        expected.insert(expected.end(), {Channel(x, y, 0), Channel(x, y, 1), Channel(x, y, 2)});
                    }
                }
                Snapshot snapshot;
                std::string error;
                ASSERT_TRUE(Snapshot::Decode(Encoded(Bitmap(width, height, bottomUp)), snapshot, error)) << error;
                EXPECT_EQ(width, snapshot.width);
                EXPECT_EQ(height, snapshot.height);
                EXPECT_EQ(expected, snapshot.rgb);
            }
        }
    }
}

// A bitmap whose header does not fit its size leaves the snapshot empty.
TEST(Snapshot, AnInconsistentBitmapLeavesNothingBehind) {
    std::string bitmap = Bitmap(5, 3, true);
    PutLe(bitmap, 22, 4, 4);
    Snapshot snapshot;
    std::string error;
    EXPECT_FALSE(Snapshot::Decode(Encoded(bitmap), snapshot, error));
    EXPECT_EQ("snapshot bitmap has an inconsistent size", error);
    EXPECT_TRUE(snapshot.Empty());
    EXPECT_TRUE(snapshot.rgb.empty());
}

} // namespace
