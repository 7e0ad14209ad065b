#include "Protocol/Compressor.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace Orvo {
namespace Browser {

namespace {

const std::size_t TrailerLength = 4;
// Input behind the codec's reach is dropped once this much has gathered,
// so that each byte is moved at most a few times.
const std::size_t DropAtLeast = 256 * 1024;

std::size_t Checked(std::size_t length) {
    if (length > Compressor::MaxInputLength) {
        throw std::length_error("bitmap of " + std::to_string(length) + " bytes is too long for a snapshot");
    }
    return length;
}

} // namespace

std::size_t Compressor::Capacity(std::size_t inputLength) {
    const std::size_t customary = static_cast<std::size_t>(static_cast<double>(inputLength) * 1.05 + 4.0);
    const std::size_t worstCase = inputLength + inputLength / 32 + 1 + TrailerLength;
    return std::max(customary, worstCase);
}

Compressor::Compressor(std::size_t length)
    : length(Checked(length)),
      output(new char[Capacity(length)]),
      encoder(FastLzEncoder::LevelFor(length), length, output.get()) {
    // The window and what gathers before a drop usually fit in one huge
    // page; a match still being extended keeps more.
    held.reserve(HugePages::PageSize);
}

Compressor::Compressor(const char* input, std::size_t length) : Compressor(length) {
    this->input = input;
}

// The whole input is compressed where it lies: nothing is copied.
boost::shared_array<char> Compressor::operator()(std::size_t* outLength) {
    const FastLzEncoder::Byte* whole = reinterpret_cast<const FastLzEncoder::Byte*>(input);
    encoder.Run(whole, 0, length);
    return Seal(encoder.Finish(whole, 0), outLength);
}

void Compressor::Write(const char* bytes, std::size_t size) {
    std::memcpy(Room(size), bytes, size);
    Filled();
}

char* Compressor::Room(std::size_t size) {
    if (size > length - (origin + held.size())) {
        throw std::length_error("more bitmap written than the " + std::to_string(length) + " bytes announced");
    }
    held.resize(held.size() + size);
    return reinterpret_cast<char*>(held.data() + held.size() - size);
}

void Compressor::Filled() {
    const std::uint64_t available = origin + held.size();
    encoder.Run(held.data(), origin, available);
    encoder.FlushLiterals(held.data(), origin, available);
    const std::size_t drop = static_cast<std::size_t>(encoder.Oldest() - origin);
    if (drop >= DropAtLeast) {
        held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(drop));
        origin += drop;
    }
}

boost::shared_array<char> Compressor::Finish(std::size_t* outLength) {
    if (origin + held.size() != length) {
        throw std::length_error("bitmap written short of the " + std::to_string(length) + " bytes announced");
    }
    return Seal(encoder.Finish(held.data(), origin), outLength);
}

boost::shared_array<char> Compressor::Seal(std::size_t blockLength, std::size_t* outLength) {
    for (std::size_t k = 0; k < TrailerLength; ++k) {
        output[blockLength + k] = static_cast<char>((length >> (8 * k)) & 0xFF);
    }
    *outLength = blockLength + TrailerLength;
    return output;
}

} // namespace Browser
} // namespace Orvo
