#include "Protocol/FastLz.h"

#include <cstdint>
#include <cstring>

namespace {

typedef std::uint8_t Byte;

// Positions are hashed by their first four bytes into a table of the most
// recent position with that hash; a candidate is checked before use. The
// table fits the first-level cache, which matters more for speed than the
// matches a larger one finds.
const int HashLog = 13;
const std::uint32_t HashSize = 1u << HashLog;

const std::uint32_t MaxLiteralRun = 32;
const std::uint32_t MinMatch = 3;
const std::uint32_t Level1MaxMatch = 264;
// Encoded offsets are distance - 1. Level 1 offsets have 13 bits; level 2
// spends offset 8191 on the far escape and reaches 65535 beyond it.
const std::uint32_t Level1MaxDistance = 8192;
const std::uint32_t NearLimit = 8191;
const std::uint32_t Level2MaxDistance = NearLimit + 65535 + 1;
// A far match needs a fourth opcode byte; shorter ones gain nothing.
const std::uint32_t MinFarMatch = 5;
// A block ends with literals, as the public compressor's blocks do: its
// decoder refuses a block that ends with a match. As there, no match
// starts in the input's last 12 bytes and none reaches its last 2.
const std::uint32_t NoMatchStartTail = 12;
const std::uint32_t NoMatchTail = 2;

inline std::uint32_t Read32(const Byte* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t Read64(const Byte* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t Hash(std::uint32_t sequence) {
    return (sequence * 2654435761u) >> (32 - HashLog);
}

// The end of the run where p and the earlier q hold the same bytes, at most
// up to end.
inline const Byte* MatchEnd(const Byte* p, const Byte* q, const Byte* end) {
    while (p + 8 <= end) {
        const std::uint64_t diff = Read64(p) ^ Read64(q);
        if (diff != 0) {
            return p + (__builtin_ctzll(diff) >> 3);
        }
        p += 8;
        q += 8;
    }
    while (p < end && *p == *q) {
        ++p;
        ++q;
    }
    return p;
}

Byte* PutLiterals(Byte* op, const Byte* source, std::size_t count) {
    while (count >= MaxLiteralRun) {
        *op++ = MaxLiteralRun - 1;
        std::memcpy(op, source, MaxLiteralRun);
        op += MaxLiteralRun;
        source += MaxLiteralRun;
        count -= MaxLiteralRun;
    }
    if (count > 0) {
        *op++ = static_cast<Byte>(count - 1);
        std::memcpy(op, source, count);
        op += count;
    }
    return op;
}

// A short match holds lengths 3 to 8 in the opcode, a long one 9 and up.
inline Byte Opcode(std::size_t length, std::uint32_t high) {
    return static_cast<Byte>(((length < 9 ? length - 2 : 7) << 5) | high);
}

Byte* PutLevel1Match(Byte* op, std::size_t length, std::uint32_t offset) {
    // Longer matches become several with the same offset; the last piece
    // must still be at least MinMatch long.
    while (length > Level1MaxMatch) {
        const std::size_t piece = length - Level1MaxMatch < MinMatch ? length - MinMatch : Level1MaxMatch;
        *op++ = Opcode(piece, offset >> 8);
        *op++ = static_cast<Byte>(piece - 9);
        *op++ = static_cast<Byte>(offset);
        length -= piece;
    }
    *op++ = Opcode(length, offset >> 8);
    if (length >= 9) {
        *op++ = static_cast<Byte>(length - 9);
    }
    *op++ = static_cast<Byte>(offset);
    return op;
}

Byte* PutLevel2Match(Byte* op, std::size_t length, std::uint32_t offset) {
    const bool far = offset >= NearLimit;
    *op++ = Opcode(length, far ? 31 : offset >> 8);
    if (length >= 9) {
        for (length -= 9; length >= 255; length -= 255) {
            *op++ = 255;
        }
        *op++ = static_cast<Byte>(length);
    }
    if (far) {
        offset -= NearLimit;
        *op++ = 255;
        *op++ = static_cast<Byte>(offset >> 8);
    }
    *op++ = static_cast<Byte>(offset);
    return op;
}

template <int Level>
std::size_t Compress(const Byte* in, std::size_t length, Byte* out) {
    const std::uint32_t maxDistance = Level == 1 ? Level1MaxDistance : Level2MaxDistance;
    const Byte* const end = in + length;
    Byte* op = out;
    const Byte* anchor = in;
    if (length > NoMatchStartTail + 4) {
        std::uint32_t table[HashSize] = {};
        const Byte* const matchLimit = end - NoMatchTail;
        const Byte* const scanLimit = end - NoMatchStartTail;
        const Byte* ip = in + 1;
        std::uint32_t misses = 0;
        while (ip < scanLimit) {
            const std::uint32_t sequence = Read32(ip);
            std::uint32_t& slot = table[Hash(sequence)];
            // Positions are kept modulo 2^32; as a match's distance is far
            // below that, the difference is exact for every usable entry of
            // any input, and one that aliases from 4 GiB back is checked
            // like any other candidate.
            const std::uint32_t position = static_cast<std::uint32_t>(ip - in);
            const std::uint32_t distance = position - slot;
            slot = position;
            if (distance - 1 >= maxDistance) {
                ip += 1 + (misses++ >> 8);
                continue;
            }
            const Byte* const ref = ip - distance;
            if (Read32(ref) != sequence) {
                // Incompressible stretches are skipped faster the longer
                // they last.
                ip += 1 + (misses++ >> 8);
                continue;
            }
            const std::size_t matchLength = static_cast<std::size_t>(MatchEnd(ip + 4, ref + 4, matchLimit) - ip);
            if (Level == 2 && distance > NearLimit && matchLength < MinFarMatch) {
                ++ip;
                continue;
            }
            misses = 0;
            op = PutLiterals(op, anchor, static_cast<std::size_t>(ip - anchor));
            op = Level == 1 ? PutLevel1Match(op, matchLength, distance - 1)
                            : PutLevel2Match(op, matchLength, distance - 1);
            ip += matchLength;
            anchor = ip;
            if (ip < scanLimit) {
                table[Hash(Read32(ip - 2))] = static_cast<std::uint32_t>(ip - 2 - in);
                table[Hash(Read32(ip - 1))] = static_cast<std::uint32_t>(ip - 1 - in);
            }
        }
    }
    op = PutLiterals(op, anchor, static_cast<std::size_t>(end - anchor));
    if (op != out) {
        out[0] |= static_cast<Byte>((Level - 1) << 5);
    }
    return static_cast<std::size_t>(op - out);
}

// Copies a back reference forward: an overlapping one repeats its period,
// which doubles with every copy.
inline void CopyMatch(Byte* op, std::size_t distance, std::size_t length) {
    const Byte* ref = op - distance;
    if (distance >= length) {
        std::memcpy(op, ref, length);
        return;
    }
    if (distance == 1) {
        std::memset(op, *ref, length);
        return;
    }
    while (length > 0) {
        const std::size_t piece = length < static_cast<std::size_t>(op - ref) ? length : static_cast<std::size_t>(op - ref);
        std::memcpy(op, ref, piece);
        op += piece;
        length -= piece;
    }
}

} // namespace

std::size_t fastlz_compress_level(int level, const void* input, std::size_t length, void* output) {
    if (length == 0) {
        return 0;
    }
    const Byte* in = static_cast<const Byte*>(input);
    Byte* out = static_cast<Byte*>(output);
    return level == 2 ? Compress<2>(in, length, out) : Compress<1>(in, length, out);
}

std::size_t fastlz_compress(const void* input, std::size_t length, void* output) {
    return fastlz_compress_level(length < 65536 ? 1 : 2, input, length, output);
}

std::size_t fastlz_decompress(const void* input, std::size_t length, void* output, std::size_t maxout) {
    if (length == 0 || maxout == 0) {
        return 0;
    }
    const Byte* ip = static_cast<const Byte*>(input);
    const Byte* const end = ip + length;
    Byte* const out = static_cast<Byte*>(output);
    Byte* op = out;
    const std::size_t room = maxout;
    const int tag = *ip >> 5;
    if (tag > 1) {
        return 0;
    }
    const bool level2 = tag == 1;
    std::size_t opcode = *ip++ & 31;
    for (;;) {
        const std::size_t written = static_cast<std::size_t>(op - out);
        if (opcode < 32) {
            const std::size_t count = opcode + 1;
            if (count > static_cast<std::size_t>(end - ip) || count > room - written) {
                return 0;
            }
            std::memcpy(op, ip, count);
            ip += count;
            op += count;
        } else {
            std::size_t matchLength = (opcode >> 5) + 2;
            const std::size_t high = opcode & 31;
            if ((opcode >> 5) == 7) {
                std::size_t extra;
                do {
                    if (ip >= end || matchLength > room) {
                        return 0;
                    }
                    extra = *ip++;
                    matchLength += extra;
                } while (level2 && extra == 255);
            }
            if (ip >= end) {
                return 0;
            }
            const std::size_t low = *ip++;
            std::size_t offset = (high << 8) + low;
            if (level2 && high == 31 && low == 255) {
                if (end - ip < 2) {
                    return 0;
                }
                offset = NearLimit + (static_cast<std::size_t>(ip[0]) << 8) + ip[1];
                ip += 2;
            }
            if (offset >= written || matchLength > room - written) {
                return 0;
            }
            CopyMatch(op, offset + 1, matchLength);
            op += matchLength;
        }
        if (ip >= end) {
            return static_cast<std::size_t>(op - out);
        }
        opcode = *ip++;
    }
}
