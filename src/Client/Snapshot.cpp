#include "Client/Snapshot.h"

#include <cstdint>
#include <cstdlib>

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

bool Unpack(const std::vector<unsigned char>& bmp, Snapshot& snapshot, std::string& error) {
    const unsigned char* p = bmp.data();
    if (bmp.size() < HeaderLength || p[0] != 'B' || p[1] != 'M') {
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
    if (width <= 0 || height <= 0 || offset < HeaderLength || offset + rowBytes * height > bmp.size()) {
        return Fail(error, "snapshot bitmap has an inconsistent size");
    }
    snapshot.width = width;
    snapshot.height = static_cast<int>(height);
    snapshot.rgb.resize(static_cast<std::size_t>(width) * 3 * height);
    for (std::int64_t y = 0; y < height; ++y) {
        const unsigned char* row = p + offset + rowBytes * (bottomUp ? height - 1 - y : y);
        unsigned char* out = &snapshot.rgb[static_cast<std::size_t>(y * width * 3)];
        for (std::int32_t x = 0; x < width; ++x, row += 3, out += 3) {
            out[0] = row[2];
            out[1] = row[1];
            out[2] = row[0];
        }
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
    std::vector<unsigned char> bmp(bitmapLength);
    if (fastlz_decompress(bytes, blockLength, bmp.data(), bitmapLength) != bitmapLength) {
        return Fail(error, "snapshot does not decompress to its announced length");
    }
    if (!Unpack(bmp, snapshot, error)) {
        snapshot = Snapshot();
        return false;
    }
    return true;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
