#ifndef ORVO_PROTOCOL_COMPRESSOR_H
#define ORVO_PROTOCOL_COMPRESSOR_H

#include <cstdint>

#include <boost/shared_array.hpp>

namespace Orvo {
namespace Browser {

// Turns a bitmap into the encoded snapshot: one FastLZ block holding the
// input, followed by the input's length as 4 bytes, unsigned little-endian.
// The input must outlive the call.
class Compressor {
public:
    Compressor(const char* input, std::uint32_t length) : input(input), length(length) {}

    // Returns the encoded snapshot and sets *outLength to its length (the
    // block's length plus 4).
    boost::shared_array<char> operator()(std::uint32_t* outLength) const;

    // Bytes allocated for an input of inputLength: 5 % above the input plus
    // the 4-byte trailer, and never less than the codec's worst case plus
    // the trailer.
    static std::uint32_t Capacity(std::uint32_t inputLength);

private:
    const char* input;
    std::uint32_t length;
};

} // namespace Browser
} // namespace Orvo

#endif
