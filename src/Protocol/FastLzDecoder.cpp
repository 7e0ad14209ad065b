#include "Protocol/FastLzDecoder.h"

#include <algorithm>
#include <cstring>

#include "Protocol/FastLzEncoder.h"

namespace {

typedef FastLzDecoder::Byte Byte;

// What Read's window keeps behind its end: as far as a reference reaches.
const std::size_t Window = FastLzEncoder::MaxDistance;
// Output decoded at a time through Read's window, past what it keeps.
const std::size_t Chunk = std::size_t(1) << 18;

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
        const std::size_t piece = std::min(length, static_cast<std::size_t>(op - ref));
        std::memcpy(op, ref, piece);
        op += piece;
        length -= piece;
    }
}

} // namespace

FastLzDecoder::FastLzDecoder(const void* block, std::size_t length, std::uint64_t outputLength)
    : ip(static_cast<const Byte*>(block)), end(ip + length), outputLength(outputLength) {
    if (length == 0) {
        return;
    }
    const int tag = *ip >> 5;
    level2 = tag == 1;
    literal = true;
    pending = static_cast<std::size_t>(*ip++ & 31) + 1;
    if (tag > 1 || pending > static_cast<std::size_t>(end - ip) || pending > outputLength) {
        Fail();
    }
}

bool FastLzDecoder::Next() {
    const std::size_t opcode = *ip++;
    const std::uint64_t room = outputLength - produced;
    if (opcode < 32) {
        literal = true;
        pending = opcode + 1;
        if (pending > static_cast<std::size_t>(end - ip) || pending > room) {
            Fail();
        }
        return !failed;
    }
    std::size_t length = (opcode >> 5) + 2;
    if ((opcode >> 5) == 7) {
        std::size_t extra;
        do {
            if (ip == end || length > room) {
                Fail();
                return false;
            }
            extra = *ip++;
            length += extra;
        } while (level2 && extra == 255);
    }
    if (ip == end) {
        Fail();
        return false;
    }
    const std::size_t high = opcode & 31;
    const std::size_t low = *ip++;
    std::size_t offset = (high << 8) + low;
    if (level2 && high == 31 && low == 255) {
        if (end - ip < 2) {
            Fail();
            return false;
        }
        offset = FastLzEncoder::NearLimit + (static_cast<std::size_t>(ip[0]) << 8) + ip[1];
        ip += 2;
    }
    if (offset >= produced || length > room) {
        Fail();
        return false;
    }
    literal = false;
    pending = length;
    distance = offset + 1;
    return true;
}

std::size_t FastLzDecoder::DecodeInto(Byte* op, Byte* limit, const Byte* oldest) {
    Byte* const start = op;
    while (!failed) {
        if (pending == 0 && (ip == end || !Next())) {
            break;
        }
        if (op == limit) {
            break;
        }
        const std::size_t n = std::min(pending, static_cast<std::size_t>(limit - op));
        if (literal) {
            std::memcpy(op, ip, n);
            ip += n;
        } else if (distance <= static_cast<std::size_t>(op - oldest)) {
            CopyMatch(op, distance, n);
        } else {
            Fail();
            break;
        }
        op += n;
        pending -= n;
        produced += n;
    }
    return static_cast<std::size_t>(op - start);
}

bool FastLzDecoder::Read(void* dest, std::size_t n) {
    Byte* to = static_cast<Byte*>(dest);
    while (n > 0) {
        if (served < filled) {
            const std::size_t piece = std::min(n, filled - served);
            std::memcpy(to, window.data() + served, piece);
            served += piece;
            to += piece;
            n -= piece;
            continue;
        }
        if (failed || Done()) {
            return false;
        }
        if (window.empty()) {
            window.resize(Window + Chunk);
        } else if (filled == window.size()) {
            std::memmove(window.data(), window.data() + filled - Window, Window);
            filled = served = Window;
        }
        filled += DecodeInto(window.data() + filled, window.data() + window.size(), window.data());
    }
    return true;
}
