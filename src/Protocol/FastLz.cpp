#include "Protocol/FastLz.h"

#include <cstdint>

#include "Protocol/FastLzDecoder.h"
#include "Protocol/FastLzEncoder.h"

namespace {

typedef std::uint8_t Byte;

} // namespace

std::size_t fastlz_compress_level(int level, const void* input, std::size_t length, void* output) {
    const Byte* in = static_cast<const Byte*>(input);
    FastLzEncoder encoder(level, length, output);
    encoder.Run(in, 0, length);
    return encoder.Finish(in, 0);
}

std::size_t fastlz_compress(const void* input, std::size_t length, void* output) {
    return fastlz_compress_level(FastLzEncoder::LevelFor(length), input, length, output);
}

std::size_t fastlz_decompress(const void* input, std::size_t length, void* output, std::size_t maxout) {
    FastLzDecoder decoder(input, length, maxout);
    Byte* const out = static_cast<Byte*>(output);
    const std::size_t written = decoder.DecodeInto(out, out + maxout, out);
    return decoder.Done() ? written : 0;
}
