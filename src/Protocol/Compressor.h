#ifndef ORVO_PROTOCOL_COMPRESSOR_H
#define ORVO_PROTOCOL_COMPRESSOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/shared_array.hpp>

#include "Protocol/FastLzEncoder.h"
#include "Protocol/HugePages.h"

namespace Orvo {
namespace Browser {

// Turns a bitmap into the encoded snapshot: one FastLZ block holding the
// input, followed by the input's length as 4 bytes, unsigned little-endian.
// Either the input is there whole (the first constructor; it must outlive
// the call), or it is written in pieces of any size, as it is made, and
// compressed as it comes: besides the block, only the codec's window and
// the piece at hand are held. Both give the same bytes. Sizes are 64-bit;
// an input the trailer cannot state (4 GiB or more) is refused. A
// compressor makes one snapshot.
class Compressor {
public:
    // The longest input the trailer can state.
    static constexpr std::size_t MaxInputLength = 0xFFFFFFFFu;

    // For the input at input, length bytes long. Throws std::length_error
    // for one over MaxInputLength.
    Compressor(const char* input, std::size_t length);

    // Returns the encoded snapshot of the input given to the constructor
    // and sets *outLength to its length (the block's length plus 4).
    boost::shared_array<char> operator()(std::size_t* outLength);

    // For an input of length bytes, to be written. Throws
    // std::length_error for one over MaxInputLength.
    explicit Compressor(std::size_t length);

    // Appends the next size bytes of the input. Throws std::length_error
    // past the length given.
    void Write(const char* bytes, std::size_t size);

    // Room for the next size bytes of the input, for a caller that makes
    // them in place rather than copy them in: it fills all of it and then
    // calls Filled. Throws std::length_error past the length given.
    char* Room(std::size_t size);

    // Compresses what the rooms handed out hold.
    void Filled();

    // Once the whole input is written: returns the encoded snapshot and
    // sets *outLength to its length (the block's length plus 4). Throws
    // std::length_error when the input written falls short.
    boost::shared_array<char> Finish(std::size_t* outLength);

    // Bytes allocated for an input of inputLength: 5 % above the input plus
    // the 4-byte trailer, and never less than the codec's worst case plus
    // the trailer. Pages of it the block does not reach are never touched.
    // It stays in ordinary pages: it outlives the compressor until the
    // result is sent, once for every page in flight, and huge pages would
    // round each up by as much as 2 MiB.
    static std::size_t Capacity(std::size_t inputLength);

private:
    // Puts the trailer after the block of blockLength bytes.
    boost::shared_array<char> Seal(std::size_t blockLength, std::size_t* outLength);

    const char* input = nullptr;
    const std::size_t length;
    boost::shared_array<char> output;
    FastLzEncoder encoder;
    // The input from position origin on, as far as it has been written;
    // its growth leaves bytes unset, for Room to hand out.
    std::vector<FastLzEncoder::Byte, HugePages::Allocator<FastLzEncoder::Byte>> held;
    std::uint64_t origin = 0;
};

} // namespace Browser
} // namespace Orvo

#endif
