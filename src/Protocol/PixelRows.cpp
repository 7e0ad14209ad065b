#include "Protocol/PixelRows.h"

#include <cstring>

#include <immintrin.h>

namespace Orvo {
namespace Browser {

namespace {

// Each loop of the shuffles reads and writes 16 bytes and moves on by 12:
// it stops while a whole 16 bytes are still within both rows, and the
// last pixels go a pixel at a time.
const std::size_t LastShuffledPixel = 6;

__attribute__((target("ssse3"))) std::size_t ShuffleDropFourth(const unsigned char* in, unsigned char* out,
                                                               std::size_t n) {
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    std::size_t x = 0;
    for (; x + LastShuffledPixel <= n; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(pixels, order));
    }
    return x;
}

__attribute__((target("ssse3"))) std::size_t ShuffleSwapOuter(const unsigned char* in, unsigned char* out,
                                                              std::size_t n) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, -1, -1, -1, -1);
    std::size_t x = 0;
    for (; x + LastShuffledPixel <= n; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
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
    for (std::size_t x = shuffle ? ShuffleDropFourth(in, out, n) : 0; x < n; ++x) {
        std::memcpy(out + 3 * x, in + 4 * x, 3);
    }
}

void PixelRows::SwapOuterBytes(const unsigned char* in, unsigned char* out, std::size_t n, bool shuffle) {
    for (std::size_t x = shuffle ? ShuffleSwapOuter(in, out, n) : 0; x < n; ++x) {
        out[3 * x] = in[3 * x + 2];
        out[3 * x + 1] = in[3 * x + 1];
        out[3 * x + 2] = in[3 * x];
    }
}

} // namespace Browser
} // namespace Orvo
