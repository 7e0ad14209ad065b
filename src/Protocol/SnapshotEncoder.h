#ifndef ORVO_PROTOCOL_SNAPSHOTENCODER_H
#define ORVO_PROTOCOL_SNAPSHOTENCODER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include <boost/shared_array.hpp>

#include "Protocol/BitmapWriter.h"
#include "Protocol/Compressor.h"

namespace Orvo {
namespace Browser {

// Turns an image view into the encoded snapshot of a result: the view as a
// 24-bit bitmap file (BitmapWriter), compressed into one FastLZ block that
// is followed by the bitmap's length (Compressor).
class SnapshotEncoder {
public:
    // Returns the encoded snapshot and sets *length to its size; an empty
    // view (width or height 0) gives a null array and 0. bitmapMade runs
    // once the bitmap exists, before it is compressed: the caller may free
    // the view's pixels there, so that no more than one full bitmap is held
    // beside the compressed block. Throws std::length_error when the encoded
    // snapshot is too long for a result (4 GiB or more), and the allocator's
    // error when memory runs out.
    template <class View>
    static boost::shared_array<char> Encode(const View& view, std::uint32_t* length,
                                            const std::function<void()>& bitmapMade = std::function<void()>()) {
        *length = 0;
        if (view.width() == 0 || view.height() == 0) {
            return boost::shared_array<char>();
        }
        std::size_t bitmapLength = 0;
        boost::shared_array<char> bitmap = BitmapWriter<View>(view)(&bitmapLength);
        if (bitmapMade) {
            bitmapMade();
        }
        std::size_t encodedLength = 0;
        boost::shared_array<char> encoded = Compressor(bitmap.get(), bitmapLength)(&encodedLength);
        if (encodedLength > 0xFFFFFFFFu) {
            throw std::length_error("encoded snapshot too long for a result");
        }
        *length = static_cast<std::uint32_t>(encodedLength);
        return encoded;
    }
};

} // namespace Browser
} // namespace Orvo

#endif
