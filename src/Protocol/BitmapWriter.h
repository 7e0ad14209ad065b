#ifndef ORVO_PROTOCOL_BITMAPWRITER_H
#define ORVO_PROTOCOL_BITMAPWRITER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <boost/gil.hpp>
#include <boost/shared_array.hpp>

#include "Protocol/PixelRows.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

// The layout of an uncompressed 24-bit Windows bitmap file: a 54-byte
// header, then the rows from the picture's last to its first, each pixel as
// blue, green, red, each row zero-padded to a multiple of 4 bytes.
class BitmapLayout {
public:
    static constexpr std::size_t HeaderLength = WireFormat::BitmapHeaderLength;

    static std::size_t RowBytes(std::size_t width) { return (width * 3 + 3) & ~static_cast<std::size_t>(3); }
    static std::size_t Length(std::size_t width, std::size_t height) {
        return HeaderLength + RowBytes(width) * height;
    }

    // Writes the header of a width x height file at out (HeaderLength bytes).
    static void PutHeader(std::size_t width, std::size_t height, char* out) {
        std::memset(out, 0, HeaderLength);
        out[0] = 'B';
        out[1] = 'M';
        Put32(out + 2, Length(width, height));
        Put32(out + 10, HeaderLength);
        Put32(out + 14, 40);
        Put32(out + 18, width);
        Put32(out + 22, height);
        out[26] = 1;
        out[28] = 24;
    }

private:
    static void Put32(char* at, std::size_t value) {
        for (int k = 0; k < 4; ++k) {
            at[k] = static_cast<char>((value >> (8 * k)) & 0xFF);
        }
    }
};

// Encodes an interleaved 8-bit image view (red, green, blue, or blue,
// green, red, or Qt's 32-bit blue, green, red, alpha in memory) as a
// bitmap file in memory, laid out as BitmapLayout says. The view must be
// non-empty and outlive the writer.
template <class View>
class BitmapWriter {
public:
    static constexpr std::size_t HeaderLength = BitmapLayout::HeaderLength;

    explicit BitmapWriter(const View& view) : view(view) {}

    // Returns the bitmap file and sets *length to its size.
    boost::shared_array<char> operator()(std::size_t* length) const {
        const std::size_t rowBytes = BitmapLayout::RowBytes(view.width());
        const std::size_t size = BitmapLayout::Length(view.width(), view.height());
        boost::shared_array<char> bytes(new char[size]);
        BitmapLayout::PutHeader(view.width(), view.height(), bytes.get());
        char* row = bytes.get() + HeaderLength;
        for (std::ptrdiff_t y = view.height() - 1; y >= 0; --y, row += rowBytes) {
            PutRow(view, y, row);
        }
        *length = size;
        return bytes;
    }

    // Writes row y of view as the file holds it, RowBytes(width) bytes.
    static void PutRow(const View& view, std::ptrdiff_t y, char* out) {
        typedef typename View::value_type Pixel;
        static_assert(std::is_same<Pixel, boost::gil::rgb8_pixel_t>::value
                          || std::is_same<Pixel, boost::gil::bgr8_pixel_t>::value
                          || std::is_same<Pixel, boost::gil::bgra8_pixel_t>::value,
                      "8-bit RGB, BGR or BGRA views only");
        const std::size_t width = view.width();
        const unsigned char* source = reinterpret_cast<const unsigned char*>(&view(0, y));
        unsigned char* target = reinterpret_cast<unsigned char*>(out);
        if (std::is_same<Pixel, boost::gil::bgr8_pixel_t>::value) {
            std::memcpy(target, source, 3 * width);
        } else if (std::is_same<Pixel, boost::gil::bgra8_pixel_t>::value) {
            PixelRows::DropFourthBytes(source, target, width);
        } else {
            PixelRows::SwapOuterBytes(source, target, width);
        }
        std::memset(target + 3 * width, 0, BitmapLayout::RowBytes(width) - 3 * width);
    }

private:
    const View& view;
};

} // namespace Browser
} // namespace Orvo

#endif
