#include "Protocol/Compressor.h"

#include <algorithm>

#include "Protocol/FastLz.h"

namespace Orvo {
namespace Browser {

namespace {

const std::uint32_t TrailerLength = 4;

} // namespace

std::uint32_t Compressor::Capacity(std::uint32_t inputLength) {
    const std::uint32_t customary = static_cast<std::uint32_t>(inputLength * 1.05 + 4.0);
    const std::uint32_t worstCase = inputLength + inputLength / 32 + 1 + TrailerLength;
    return std::max(customary, worstCase);
}

boost::shared_array<char> Compressor::operator()(std::uint32_t* outLength) const {
    boost::shared_array<char> output(new char[Capacity(length)]);
    const std::uint32_t blockLength =
        static_cast<std::uint32_t>(fastlz_compress(input, static_cast<int>(length), output.get()));
    for (std::uint32_t k = 0; k < TrailerLength; ++k) {
        output[blockLength + k] = static_cast<char>((length >> (8 * k)) & 0xFF);
    }
    *outLength = blockLength + TrailerLength;
    return output;
}

} // namespace Browser
} // namespace Orvo
