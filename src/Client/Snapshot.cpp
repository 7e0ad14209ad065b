#include "Client/Snapshot.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Protocol/FastLz.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

const std::size_t HeaderLength = WireFormat::BitmapHeaderLength;
// Far above any page: 32768 × 32768 pixels at 3 bytes.
const std::uint64_t MaxBitmapLength = 3ull << 30;
// A FastLZ block expands its input at most this many times (a long match
// adds 255 bytes per byte of its length).
const std::uint64_t MaxExpansion = 256;

std::uint32_t Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t Le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool Fail(std::string& error, const std::string& why) {
    error = why;
    return false;
}

// n pixels from blue, green, red to red, green, blue. The two do not
// overlap, which lets the compiler keep several pixels in flight.
void CopySwapped(const unsigned char* __restrict in, unsigned char* __restrict out, std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
}

// Turns the bitmap file that fills pixels into the snapshot's pixels in
// the same buffer. Each row, in file order, is swapped to red, green,
// blue and moved down over the header and the padding: it lands below
// where it was, so no row is overwritten before it moved. A bottom-up
// file's rows are then reversed.
bool Unpack(std::vector<unsigned char>& pixels, Snapshot& snapshot, std::string& error) {
    unsigned char* const p = pixels.data();
    const std::size_t size = pixels.size();
    if (size < HeaderLength || p[0] != 'B' || p[1] != 'M') {
        return Fail(error, "snapshot is not a bitmap");
    }
    const std::int32_t width = static_cast<std::int32_t>(Le32(p + 18));
    const std::int32_t rawHeight = static_cast<std::int32_t>(Le32(p + 22));
    const std::uint32_t offset = Le32(p + 10);
    if (Le16(p + 28) != 24 || Le32(p + 30) != 0) {
        return Fail(error, "snapshot bitmap is not uncompressed 24-bit");
    }
    const bool bottomUp = rawHeight > 0;
    const std::int64_t height = bottomUp ? rawHeight : -static_cast<std::int64_t>(rawHeight);
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * 3 + 3) & ~3ull;
    if (width <= 0 || height <= 0 || offset < HeaderLength || offset + rowBytes * height > size) {
        return Fail(error, "snapshot bitmap has an inconsistent size");
    }
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    std::vector<unsigned char> moving(row);
    for (std::int64_t y = 0; y < height; ++y) {
        std::memcpy(moving.data(), p + offset + rowBytes * y, row);
        CopySwapped(moving.data(), p + row * y, width);
    }
    for (std::int64_t y = 0; bottomUp && y < height / 2; ++y) {
        unsigned char* const top = p + row * y;
        unsigned char* const bottom = p + row * (height - 1 - y);
        std::memcpy(moving.data(), top, row);
        std::memcpy(top, bottom, row);
        std::memcpy(bottom, moving.data(), row);
    }
    pixels.resize(row * height);
    snapshot.width = width;
    snapshot.height = static_cast<int>(height);
    return true;
}

} // namespace

bool Snapshot::Decode(const std::string& encoded, Snapshot& snapshot, std::string& error) {
    snapshot = Snapshot();
    if (encoded.size() < 5) {
        return Fail(error, "snapshot is too short");
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(encoded.data());
    const std::uint32_t bitmapLength = Le32(bytes + encoded.size() - 4);
    const std::uint64_t blockLength = encoded.size() - 4;
    if (bitmapLength < HeaderLength || bitmapLength > MaxBitmapLength || bitmapLength > blockLength * MaxExpansion) {
        return Fail(error, "snapshot announces an impossible bitmap length");
    }
    // The bitmap becomes the pixels in its own buffer: one picture-sized
    // buffer, and its page faults, instead of two.
    snapshot.rgb.resize(bitmapLength);
    if (fastlz_decompress(bytes, blockLength, snapshot.rgb.data(), bitmapLength) != bitmapLength) {
        snapshot = Snapshot();
        return Fail(error, "snapshot does not decompress to its announced length");
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
