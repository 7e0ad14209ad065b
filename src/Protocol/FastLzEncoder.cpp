#include "Protocol/FastLzEncoder.h"

#include <algorithm>
#include <cstring>

#include <emmintrin.h>

namespace {

typedef FastLzEncoder::Byte Byte;

const std::uint32_t MaxLiteralRun = 32;
const std::uint32_t MinMatch = 3;
const std::uint32_t Level1MaxMatch = 264;
// Encoded offsets are distance - 1. Level 1 offsets have 13 bits; level 2
// spends offset 8191 on the far escape and reaches 65535 beyond it.
const std::uint32_t Level1MaxDistance = 8192;
const std::uint32_t Level2MaxDistance = FastLzEncoder::MaxDistance;
// A far match needs a fourth opcode byte; shorter ones gain nothing.
const std::uint32_t MinFarMatch = 5;
// A block ends with literals, as the public compressor's blocks do: its
// decoder refuses a block that ends with a match. As there, no match
// starts in the input's last 12 bytes and none reaches its last 2.
const std::uint64_t NoMatchStartTail = 12;
const std::uint64_t NoMatchTail = 2;

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

// Positions are hashed by their first four bytes into a table of the most
// recent position with that hash; a candidate is checked before use. The
// table fits the first-level cache, which matters more for speed than the
// matches a larger one finds.
template <int HashLog>
inline std::uint32_t Hash(std::uint32_t sequence) {
    return (sequence * 2654435761u) >> (32 - HashLog);
}

// The end of the run where p and the earlier q hold the same bytes, at most
// up to end: 16 bytes compared at a time (SSE2, which every x86-64 has),
// then 8, then one.
inline const Byte* MatchEnd(const Byte* p, const Byte* q, const Byte* end) {
    while (p + 16 <= end) {
        const __m128i same = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
        const unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(same)) & 0xFFFFu;
        if (differ != 0) {
            return p + __builtin_ctz(differ);
        }
        p += 16;
        q += 16;
    }
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

// A short match holds lengths 3 to 8 in the opcode, a long one 9 and up.
inline Byte Opcode(std::uint64_t length, std::uint32_t high) {
    return static_cast<Byte>(((length < 9 ? length - 2 : 7) << 5) | high);
}

Byte* PutLevel1Match(Byte* op, std::uint64_t length, std::uint32_t offset) {
    // Longer matches become several with the same offset; the last piece
    // must still be at least MinMatch long.
    while (length > Level1MaxMatch) {
        const std::uint64_t piece = length - Level1MaxMatch < MinMatch ? length - MinMatch : Level1MaxMatch;
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

Byte* PutLevel2Match(Byte* op, std::uint64_t length, std::uint32_t offset) {
    const bool far = offset >= FastLzEncoder::NearLimit;
    *op++ = Opcode(length, far ? 31 : offset >> 8);
    if (length >= 9) {
        for (length -= 9; length >= 255; length -= 255) {
            *op++ = 255;
        }
        *op++ = static_cast<Byte>(length);
    }
    if (far) {
        offset -= FastLzEncoder::NearLimit;
        *op++ = 255;
        *op++ = static_cast<Byte>(offset >> 8);
    }
    *op++ = static_cast<Byte>(offset);
    return op;
}

} // namespace

FastLzEncoder::FastLzEncoder(int level, std::uint64_t length, void* output)
    : level(level == 2 ? 2 : 1),
      length(length),
      maxDistance(level == 2 ? Level2MaxDistance : Level1MaxDistance),
      scanLimit(length > NoMatchStartTail + 4 ? length - NoMatchStartTail : 0),
      matchLimit(length > NoMatchStartTail + 4 ? length - NoMatchTail : 0),
      out(static_cast<Byte*>(output)),
      op(out) {}

void FastLzEncoder::Run(const Byte* base, std::uint64_t origin, std::uint64_t available) {
    for (;;) {
        const bool more = stage == Stage::Scan     ? Scan(base, origin, available)
                          : stage == Stage::Extend ? Extend(base, origin, available)
                                                   : Settle(base, origin, available);
        if (!more) {
            return;
        }
    }
}

// Positions are kept modulo 2^32 in the table; as a match's distance is far
// below that, the difference is exact for every usable entry of any input,
// and one that aliases from 4 GiB back is checked like any other candidate.
// The loop tries one position after another until one starts a match: it
// keeps its position and miss count in registers, as it runs once for
// nearly every byte of an incompressible stretch.
bool FastLzEncoder::Scan(const Byte* base, std::uint64_t origin, std::uint64_t available) {
    const std::uint64_t end = std::min(scanLimit, available >= 4 ? available - 3 : 0);
    std::uint64_t at = ip;
    std::uint32_t missed = misses;
    while (at < end) {
        const Byte* const p = At(base, origin, at);
        const std::uint32_t sequence = Read32(p);
        std::uint32_t& slot = table[Hash<HashLog>(sequence)];
        const std::uint32_t position = static_cast<std::uint32_t>(at);
        const std::uint32_t candidate = position - slot;
        slot = position;
        if (candidate - 1 < maxDistance && Read32(p - candidate) == sequence) {
            ip = at;
            misses = missed;
            matchStart = at;
            distance = candidate;
            matchEnd = at + 4;
            stage = Stage::Extend;
            return true;
        }
        // Incompressible stretches are skipped faster the longer they last.
        at += 1 + (missed++ >> 8);
    }
    ip = at;
    misses = missed;
    return false;
}

bool FastLzEncoder::Extend(const Byte* base, std::uint64_t origin, std::uint64_t available) {
    const std::uint64_t limit = std::min(matchLimit, available);
    const Byte* const end = MatchEnd(At(base, origin, matchEnd), At(base, origin, matchEnd - distance),
                                     At(base, origin, limit));
    matchEnd = origin + static_cast<std::uint64_t>(end - base);
    if (matchEnd == available && available < matchLimit) {
        return false;
    }
    const std::uint64_t matchLength = matchEnd - matchStart;
    stage = Stage::Scan;
    if (level == 2 && distance > NearLimit && matchLength < MinFarMatch) {
        ip = matchStart + 1;
        return true;
    }
    misses = 0;
    PutLiterals(base, origin, matchStart);
    op = level == 1 ? PutLevel1Match(op, matchLength, distance - 1) : PutLevel2Match(op, matchLength, distance - 1);
    ip = matchEnd;
    anchor = ip;
    stage = Stage::Settle;
    return true;
}

// The two positions before the scan goes on are hashed, as the match
// skipped them.
bool FastLzEncoder::Settle(const Byte* base, std::uint64_t origin, std::uint64_t available) {
    if (ip < scanLimit) {
        if (ip + 3 > available) {
            return false;
        }
        table[Hash<HashLog>(Read32(At(base, origin, ip - 2)))] = static_cast<std::uint32_t>(ip - 2);
        table[Hash<HashLog>(Read32(At(base, origin, ip - 1)))] = static_cast<std::uint32_t>(ip - 1);
    }
    stage = Stage::Scan;
    return true;
}

void FastLzEncoder::PutLiterals(const Byte* base, std::uint64_t origin, std::uint64_t end) {
    const Byte* source = At(base, origin, anchor);
    std::uint64_t count = end - anchor;
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
    anchor = end;
}

// Whole runs go out as they would later: a run of literals is cut into
// runs of 32 from its start.
void FastLzEncoder::FlushLiterals(const Byte* base, std::uint64_t origin, std::uint64_t available) {
    const std::uint64_t waiting = std::min(stage == Stage::Extend ? matchStart : ip, available);
    if (waiting > anchor) {
        PutLiterals(base, origin, anchor + (waiting - anchor) / MaxLiteralRun * MaxLiteralRun);
    }
}

// A match being extended reads its source, which lies within the window
// of its start; if it proves too short to use, the scan goes on from just
// past its start and reaches a window back from there.
std::uint64_t FastLzEncoder::Oldest() const {
    const std::uint64_t scan = stage == Stage::Extend ? matchStart + 1 : ip;
    return std::min(anchor, scan - std::min<std::uint64_t>(scan, maxDistance));
}

std::size_t FastLzEncoder::Finish(const Byte* base, std::uint64_t origin) {
    PutLiterals(base, origin, length);
    if (op != out) {
        out[0] |= static_cast<Byte>((level - 1) << 5);
    }
    return static_cast<std::size_t>(op - out);
}
