#ifndef ORVO_PROTOCOL_COMPRESSOR_H
#define ORVO_PROTOCOL_COMPRESSOR_H

#include <cstddef>
#include <cstdint>

#include <boost/shared_array.hpp>

namespace Orvo {
namespace Browser {

// Turns a bitmap into the encoded snapshot: one FastLZ block holding the
// input, followed by the input's length as 4 bytes, unsigned little-endian.
// The input must outlive the call. Sizes are 64-bit; an input the trailer
// cannot state (4 GiB or more) is refused.
class Compressor {
public:
    // The longest input the trailer can state.
    static constexpr std::size_t MaxInputLength = 0xFFFFFFFFu;

    Compressor(const char* input, std::size_t length) : input(input), length(length) {}

    // Returns the encoded snapshot and sets *outLength to its length (the
    // block's length plus 4). Throws std::length_error for an input over
    // MaxInputLength.
    boost::shared_array<char> operator()(std::size_t* outLength) const;

    // Bytes allocated for an input of inputLength: 5 % above the input plus
    // the 4-byte trailer, and never less than the codec's worst case plus
    // the trailer.
    static std::size_t Capacity(std::size_t inputLength);

private:
    const char* input;
    std::size_t length;
};

} // namespace Browser
} // namespace Orvo

#endif
