#include "Protocol/PixelRows.h"

#include <cstring>

#include <immintrin.h>

namespace Orvo {
namespace Browser {

namespace {

// Each step of the shuffle reads and writes 16 bytes and moves on by 4
// pixels: it stops while a whole 16 bytes are still within both rows, and
// the last pixels go a pixel at a time.
const std::size_t LastShuffledPixel = 6;

// Where each of the 12 bytes of 4 output pixels comes from among the 16
// bytes read.
const signed char DropFourth[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1};
const signed char SwapOuter[16] = {2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, -1, -1, -1, -1};

// Turns pixels of inBytes bytes each into 3-byte ones as from says, 4 at
// a time; returns how many it turned.
__attribute__((target("ssse3"))) std::size_t Shuffle(const unsigned char* in, std::size_t inBytes,
                                                     const signed char (&from)[16], unsigned char* out,
                                                     std::size_t n) {
    const __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    std::size_t x = 0;
    for (; x + LastShuffledPixel <= n; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + inBytes * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(pixels, order));
    }
    return x;
}

} // namespace

bool PixelRows::CanShuffle() {
    static const bool can = __builtin_cpu_supports("ssse3");
    return can;
}

void PixelRows::DropFourthBytes(const unsigned char* in, unsigned char* out, std::size_t n, bool shuffle) {
    for (std::size_t x = shuffle ? Shuffle(in, 4, DropFourth, out, n) : 0; x < n; ++x) {
        std::memcpy(out + 3 * x, in + 4 * x, 3);
    }
}

void PixelRows::SwapOuterBytes(const unsigned char* in, unsigned char* out, std::size_t n, bool shuffle) {
    for (std::size_t x = shuffle ? Shuffle(in, 3, SwapOuter, out, n) : 0; x < n; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
}

} // namespace Browser
} // namespace Orvo
