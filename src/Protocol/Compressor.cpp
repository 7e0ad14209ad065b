#include "Protocol/Compressor.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "Protocol/FastLz.h"

namespace Orvo {
namespace Browser {

namespace {

const std::size_t TrailerLength = 4;

} // namespace

std::size_t Compressor::Capacity(std::size_t inputLength) {
    const std::size_t customary = static_cast<std::size_t>(static_cast<double>(inputLength) * 1.05 + 4.0);
    const std::size_t worstCase = inputLength + inputLength / 32 + 1 + TrailerLength;
    return std::max(customary, worstCase);
}

boost::shared_array<char> Compressor::operator()(std::size_t* outLength) const {
    if (length > MaxInputLength) {
        throw std::length_error("bitmap of " + std::to_string(length) + " bytes is too long for a snapshot");
    }
    boost::shared_array<char> output(new char[Capacity(length)]);
    const std::size_t blockLength = fastlz_compress(input, length, output.get());
    for (std::size_t k = 0; k < TrailerLength; ++k) {
        output[blockLength + k] = static_cast<char>((length >> (8 * k)) & 0xFF);
    }
    *outLength = blockLength + TrailerLength;
    return output;
}

} // namespace Browser
} // namespace Orvo
