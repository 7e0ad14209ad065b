#ifndef ORVO_TESTS_WINDOWDECODER_H
#define ORVO_TESTS_WINDOWDECODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace OrvoTest {

// A decoder of the FastLZ block format written for the tests, apart from
// the codec under test. It applies the bounds rules of the public library's
// decoder, which refuses a block where fewer than two bytes are left before
// a match's extra length byte or fewer than three before a far match's two
// distance bytes, so a block it takes decodes there too. It keeps only the
// last Window bytes of the output, so that blocks of any size can be
// checked.
class WindowDecoder {
public:
    static constexpr std::size_t Window = 1 << 17;

    // Decodes block; false when it breaks a rule of the format or of the
    // public decoder.
    bool Decode(const unsigned char* block, std::size_t length) {
        const unsigned char* ip = block;
        const unsigned char* const end = block + length;
        if (length == 0 || (*ip >> 5) > 1) {
            return false;
        }
        const bool level2 = (*ip >> 5) == 1;
        std::size_t ctrl = *ip++ & 31;
        for (;;) {
            if (ctrl < 32 ? !Literals(ip, end, ctrl + 1) : !Match(ip, end, ctrl, level2)) {
                return false;
            }
            if (ip == end) {
                return true;
            }
            ctrl = *ip++;
        }
    }

    // The output's length, and how much of it came as literals.
    std::uint64_t Length() const { return total; }
    std::uint64_t LiteralBytes() const { return literals; }

    // The last n bytes of the output; n at most Window and Length().
    std::vector<unsigned char> Tail(std::size_t n) const {
        std::vector<unsigned char> tail;
        for (std::uint64_t p = total - n; p < total; ++p) {
            tail.push_back(ring[p % Window]);
        }
        return tail;
    }

private:
    bool Literals(const unsigned char*& ip, const unsigned char* end, std::size_t count) {
        if (static_cast<std::size_t>(end - ip) < count) {
            return false;
        }
        while (count-- > 0) {
            ring[total++ % Window] = *ip++;
            ++literals;
        }
        return true;
    }

    bool Match(const unsigned char*& ip, const unsigned char* end, std::size_t ctrl, bool level2) {
        std::uint64_t length = (ctrl >> 5) + 2;
        if ((ctrl >> 5) == 7) {
            unsigned char extra = 0;
            do {
                if (end - ip < 2) {
                    return false;
                }
                extra = *ip++;
                length += extra;
            } while (level2 && extra == 255);
        }
        if (ip == end) {
            return false;
        }
        std::uint64_t offset = ((ctrl & 31) << 8) + *ip++;
        if (level2 && offset == (31 << 8) + 255) {
            if (end - ip < 3) {
                return false;
            }
            offset = 8191 + (static_cast<std::uint64_t>(ip[0]) << 8) + ip[1];
            ip += 2;
        }
        const std::uint64_t distance = offset + 1;
        if (distance > total) {
            return false;
        }
        if (length <= Window) {
            // Byte by byte, so that an overlapping copy repeats its period.
            for (std::uint64_t k = 0; k < length; ++k) {
                ring[(total + k) % Window] = ring[(total + k - distance) % Window];
            }
        } else {
            // The copy repeats the distance bytes before it; only its last
            // Window bytes can still be seen.
            std::vector<unsigned char> period(distance);
            for (std::uint64_t k = 0; k < distance; ++k) {
                period[k] = ring[(total - distance + k) % Window];
            }
            for (std::uint64_t k = length - Window; k < length; ++k) {
                ring[(total + k) % Window] = period[k % distance];
            }
        }
        total += length;
        return true;
    }

    std::vector<unsigned char> ring = std::vector<unsigned char>(Window);
    std::uint64_t total = 0;
    std::uint64_t literals = 0;
};

} // namespace OrvoTest

#endif
