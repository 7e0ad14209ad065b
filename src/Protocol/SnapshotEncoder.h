#ifndef ORVO_PROTOCOL_SNAPSHOTENCODER_H
#define ORVO_PROTOCOL_SNAPSHOTENCODER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <boost/shared_array.hpp>

#include "Protocol/BitmapWriter.h"
#include "Protocol/Compressor.h"

namespace Orvo {
namespace Browser {

// Turns a picture into the encoded snapshot of a result: its 24-bit bitmap
// file (BitmapLayout), compressed into one FastLZ block that is followed by
// the bitmap's length (Compressor). The bitmap is compressed as its rows
// are made, so it is never held whole, and the picture itself may come in
// bands of rows, from its bottom band up (the file holds the last row
// first): a painter needs only one band's pixels at a time.
class SnapshotEncoder {
public:
    // For a width x height picture, both above 0. Throws std::length_error
    // when its bitmap is too long for a snapshot (4 GiB or more).
    SnapshotEncoder(std::size_t width, std::size_t height)
        : width(width),
          rowsLeft(height),
          compressor(BitmapLayout::Length(width, height)) {
        char header[BitmapLayout::HeaderLength];
        BitmapLayout::PutHeader(width, height, header);
        compressor.Write(header, sizeof header);
    }

    // Adds band, the rows just above those added so far: as wide as the
    // picture, and no taller than what is left of it. Throws
    // std::invalid_argument for a band that does not fit.
    template <class View>
    void AddBandAbove(const View& band) {
        if (static_cast<std::size_t>(band.width()) != width || static_cast<std::size_t>(band.height()) > rowsLeft) {
            throw std::invalid_argument("a snapshot band that does not fit the picture");
        }
        const std::size_t rowBytes = BitmapLayout::RowBytes(width);
        const std::ptrdiff_t pieceRows = static_cast<std::ptrdiff_t>(std::max<std::size_t>(1, PieceLength / rowBytes));
        for (std::ptrdiff_t y = band.height() - 1; y >= 0;) {
            const std::ptrdiff_t count = std::min(pieceRows, y + 1);
            char* row = compressor.Room(static_cast<std::size_t>(count) * rowBytes);
            for (const std::ptrdiff_t last = y - count; y > last; --y, row += rowBytes) {
                BitmapWriter<View>::PutRow(band, y, row);
            }
            compressor.Filled();
        }
        rowsLeft -= band.height();
    }

    // Once every row is added: returns the encoded snapshot and sets
    // *length to its size. Throws std::length_error when rows are missing.
    boost::shared_array<char> Finish(std::uint32_t* length) {
        std::size_t encodedLength = 0;
        boost::shared_array<char> encoded = compressor.Finish(&encodedLength);
        if (encodedLength > 0xFFFFFFFFu) {
            throw std::length_error("encoded snapshot too long for a result");
        }
        *length = static_cast<std::uint32_t>(encodedLength);
        return encoded;
    }

    // The encoded snapshot of view, whole; an empty view (width or height
    // 0) gives a null array and 0. Throws as the constructor and Finish do,
    // and the allocator's error when memory runs out.
    template <class View>
    static boost::shared_array<char> Encode(const View& view, std::uint32_t* length) {
        *length = 0;
        if (view.width() == 0 || view.height() == 0) {
            return boost::shared_array<char>();
        }
        SnapshotEncoder encoder(view.width(), view.height());
        encoder.AddBandAbove(view);
        return encoder.Finish(length);
    }

private:
    // Rows are made in the compressor's room, in pieces of about this many
    // bytes.
    static constexpr std::size_t PieceLength = 64 * 1024;

    const std::size_t width;
    std::size_t rowsLeft;
    Compressor compressor;
};

} // namespace Browser
} // namespace Orvo

#endif
