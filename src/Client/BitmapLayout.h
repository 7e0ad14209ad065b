#ifndef ORVO_CLIENT_BITMAPLAYOUT_H
#define ORVO_CLIENT_BITMAPLAYOUT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// Where the pixels of a snapshot's 24-bit bitmap are, read from its header
// without trusting it, and what the snapshot field's trailer announces.
struct BitmapLayout {
    std::int32_t width = 0;
    std::int64_t height = 0;
    // Rows are stored last row first.
    bool bottomUp = true;
    // Where the first stored row starts, and how far apart rows are.
    std::uint32_t offset = 0;
    std::uint64_t rowBytes = 0;

    // The bitmap's length announced at the end of a snapshot field, checked
    // against what its block could hold. False, with error, when impossible.
    static bool Announced(const std::string& encoded, std::uint32_t& bitmapLength, std::string& error);

    // Reads the header at the start of a bitmap of size bytes (at least the
    // header's length). False, with error, unless it describes uncompressed
    // 24-bit rows that fit in size.
    static bool Read(const unsigned char* bitmap, std::uint64_t size, BitmapLayout& layout, std::string& error);
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
