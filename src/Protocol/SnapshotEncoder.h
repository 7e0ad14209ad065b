#ifndef ORVO_PROTOCOL_SNAPSHOTENCODER_H
#define ORVO_PROTOCOL_SNAPSHOTENCODER_H

#include <cstddef>
#include <cstdint>
#include <ios>
#include <stdexcept>

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/stream.hpp>
#include <boost/shared_array.hpp>

#include "Protocol/BitmapWriter.h"
#include "Protocol/Compressor.h"

namespace Orvo {
namespace Browser {

// Turns an image view into the encoded snapshot of a result: the view as a
// 24-bit bitmap file, compressed into one FastLZ block that is followed by
// the bitmap's length (Compressor). The bitmap is compressed as the writer
// makes it, so it is never held whole: besides the view, only the block
// and the codec's window take memory.
class SnapshotEncoder {
public:
    // Returns the encoded snapshot and sets *length to its size; an empty
    // view (width or height 0) gives a null array and 0. Throws
    // std::length_error when the bitmap or the encoded snapshot is too long
    // for a result (4 GiB or more), and the allocator's error when memory
    // runs out.
    template <class View>
    static boost::shared_array<char> Encode(const View& view, std::uint32_t* length) {
        *length = 0;
        if (view.width() == 0 || view.height() == 0) {
            return boost::shared_array<char>();
        }
        Compressor compressor(BitmapWriter<View>::Length(view));
        {
            boost::iostreams::stream<Sink> stream(Sink{&compressor}, StreamBuffer);
            BitmapWriter<View>(view).WriteTo(stream);
        }
        std::size_t encodedLength = 0;
        boost::shared_array<char> encoded = compressor.Finish(&encodedLength);
        if (encodedLength > 0xFFFFFFFFu) {
            throw std::length_error("encoded snapshot too long for a result");
        }
        *length = static_cast<std::uint32_t>(encodedLength);
        return encoded;
    }

private:
    // The pieces the writer's rows reach the compressor in.
    static constexpr std::streamsize StreamBuffer = 64 * 1024;

    // A stream's end that compresses what it is given.
    struct Sink {
        typedef char char_type;
        typedef boost::iostreams::sink_tag category;

        std::streamsize write(const char* bytes, std::streamsize size) {
            compressor->Write(bytes, static_cast<std::size_t>(size));
            return size;
        }

        Compressor* compressor;
    };
};

} // namespace Browser
} // namespace Orvo

#endif
