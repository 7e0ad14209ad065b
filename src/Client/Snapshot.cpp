#include "Client/Snapshot.h"

#include <cstdint>
#include <cstring>

#include "Client/BitmapLayout.h"
#include "Protocol/FastLz.h"
#include "Protocol/PixelRows.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

// Turns the bitmap file that fills pixels into the snapshot's pixels in
// the same buffer. Each row, in file order, is swapped to red, green,
// blue and moved down over the header and the padding: it lands below
// where it was, so no row is overwritten before it moved. A bottom-up
// file's rows are then reversed.
bool Unpack(std::vector<unsigned char>& pixels, Snapshot& snapshot, std::string& error) {
    unsigned char* const p = pixels.data();
    BitmapLayout layout;
    if (!BitmapLayout::Read(p, pixels.size(), layout, error)) {
        return false;
    }
    const std::int64_t height = layout.height;
    const std::size_t row = static_cast<std::size_t>(layout.width) * 3;
    std::vector<unsigned char> moving(row);
    for (std::int64_t y = 0; y < height; ++y) {
        std::memcpy(moving.data(), p + layout.offset + layout.rowBytes * y, row);
        PixelRows::SwapOuterBytes(moving.data(), p + row * y, layout.width);
    }
    for (std::int64_t y = 0; layout.bottomUp && y < height / 2; ++y) {
        unsigned char* const top = p + row * y;
        unsigned char* const bottom = p + row * (height - 1 - y);
        std::memcpy(moving.data(), top, row);
        std::memcpy(top, bottom, row);
        std::memcpy(bottom, moving.data(), row);
    }
    pixels.resize(row * height);
    snapshot.width = layout.width;
    snapshot.height = static_cast<int>(height);
    return true;
}

} // namespace

bool Snapshot::Decode(const std::string& encoded, Snapshot& snapshot, std::string& error) {
    snapshot = Snapshot();
    std::uint32_t bitmapLength = 0;
    if (!BitmapLayout::Announced(encoded, bitmapLength, error)) {
        return false;
    }
    // The bitmap becomes the pixels in its own buffer: one picture-sized
    // buffer, and its page faults, instead of two.
    snapshot.rgb.resize(bitmapLength);
    if (fastlz_decompress(encoded.data(), encoded.size() - 4, snapshot.rgb.data(), bitmapLength) != bitmapLength) {
        snapshot = Snapshot();
        error = "snapshot does not decompress to its announced length";
        return false;
    }
    if (!Unpack(snapshot.rgb, snapshot, error)) {
        snapshot = Snapshot();
        return false;
    }
    return true;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
