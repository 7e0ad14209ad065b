#include "Client/Snapshot.h"

#include <cstdint>
#include <cstdlib>
#include <memory>

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

// One row's pixels from blue, green, red to red, green, blue. The rows do
// not overlap, which lets the compiler keep several pixels in flight.
void CopySwapped(const unsigned char* __restrict in, unsigned char* __restrict out, std::int32_t width) {
    for (std::int32_t x = 0; x < width; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
}

bool Unpack(const unsigned char* p, std::size_t size, Snapshot& snapshot, std::string& error) {
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
    snapshot.width = width;
    snapshot.height = static_cast<int>(height);
    snapshot.rgb.resize(static_cast<std::size_t>(width) * 3 * height);
    for (std::int64_t y = 0; y < height; ++y) {
        const unsigned char* row = p + offset + rowBytes * (bottomUp ? height - 1 - y : y);
        CopySwapped(row, &snapshot.rgb[static_cast<std::size_t>(y * width * 3)], width);
    }
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
    // Left uninitialised: the length check below means every byte was
    // written, and filling tens of megabytes first would cost a pass.
    const std::unique_ptr<unsigned char[]> bmp(new unsigned char[bitmapLength]);
    if (fastlz_decompress(bytes, blockLength, bmp.get(), bitmapLength) != bitmapLength) {
        return Fail(error, "snapshot does not decompress to its announced length");
    }
    if (!Unpack(bmp.get(), bitmapLength, snapshot, error)) {
        snapshot = Snapshot();
        return false;
    }
    return true;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
