#ifndef ORVO_PROTOCOL_BITMAPWRITER_H
#define ORVO_PROTOCOL_BITMAPWRITER_H

#include <cstddef>
#include <cstdint>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/bmp.hpp>
#include <boost/iostreams/device/array.hpp>
#include <boost/iostreams/stream.hpp>
#include <boost/shared_array.hpp>

#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

// Encodes an interleaved 8-bit, 3-channel image view as an uncompressed
// 24-bit Windows bitmap file in memory: a 54-byte header, then the rows from
// the view's last to its first, each pixel as blue, green, red whatever the
// view's channel order, each row zero-padded to a multiple of 4 bytes. The
// view must be non-empty and outlive the call.
template <class View>
class BitmapWriter {
public:
    static constexpr std::size_t HeaderLength = WireFormat::BitmapHeaderLength;

    explicit BitmapWriter(const View& view) : view(view) {}

    // The length of the bitmap file of view.
    static std::size_t Length(const View& view) {
        const std::size_t rowBytes = (static_cast<std::size_t>(view.width()) * 3 + 3) & ~static_cast<std::size_t>(3);
        return HeaderLength + rowBytes * static_cast<std::size_t>(view.height());
    }

    // Returns the bitmap file and sets *length to its size.
    boost::shared_array<char> operator()(std::size_t* length) const {
        const std::size_t size = Length(view);
        boost::shared_array<char> bytes(new char[size]);
        boost::iostreams::stream<boost::iostreams::array_sink> stream(bytes.get(), size);
        WriteTo(stream);
        *length = size;
        return bytes;
    }

    // Writes the bitmap file to stream, Length(view) bytes, row by row.
    template <class Stream>
    void WriteTo(Stream& stream) const {
        boost::gil::write_view(stream, view, boost::gil::bmp_tag());
        stream.flush();
    }

private:
    const View& view;
};

} // namespace Browser
} // namespace Orvo

#endif
