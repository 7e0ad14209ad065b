#include "Client/BitmapLayout.h"

#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

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

} // namespace

bool BitmapLayout::Announced(const std::string& encoded, std::uint32_t& bitmapLength, std::string& error) {
    if (encoded.size() < 5) {
        return Fail(error, "snapshot is too short");
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(encoded.data());
    bitmapLength = Le32(bytes + encoded.size() - 4);
    const std::uint64_t blockLength = encoded.size() - 4;
    if (bitmapLength < WireFormat::BitmapHeaderLength || bitmapLength > MaxBitmapLength
        || bitmapLength > blockLength * MaxExpansion) {
        return Fail(error, "snapshot announces an impossible bitmap length");
    }
    return true;
}

bool BitmapLayout::Read(const unsigned char* p, std::uint64_t size, BitmapLayout& layout, std::string& error) {
    if (size < WireFormat::BitmapHeaderLength || p[0] != 'B' || p[1] != 'M') {
        return Fail(error, "snapshot is not a bitmap");
    }
    if (Le16(p + 28) != 24 || Le32(p + 30) != 0) {
        return Fail(error, "snapshot bitmap is not uncompressed 24-bit");
    }
    const std::int32_t rawHeight = static_cast<std::int32_t>(Le32(p + 22));
    layout.width = static_cast<std::int32_t>(Le32(p + 18));
    layout.bottomUp = rawHeight > 0;
    layout.height = layout.bottomUp ? rawHeight : -static_cast<std::int64_t>(rawHeight);
    layout.offset = Le32(p + 10);
    layout.rowBytes = (static_cast<std::uint64_t>(layout.width) * 3 + 3) & ~3ull;
    if (layout.width <= 0 || layout.height <= 0 || layout.offset < WireFormat::BitmapHeaderLength
        || layout.offset + layout.rowBytes * layout.height > size) {
        return Fail(error, "snapshot bitmap has an inconsistent size");
    }
    return true;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
