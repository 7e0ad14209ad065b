#include "Protocol/FastLz.h"

#include <cstdint>
#include <cstring>

#include "Protocol/FastLzEncoder.h"

namespace {

typedef std::uint8_t Byte;

const std::size_t NearLimit = FastLzEncoder::NearLimit;

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
    const Byte* in = static_cast<const Byte*>(input);
    FastLzEncoder encoder(level, length, output);
    encoder.Run(in, 0, length);
    return encoder.Finish(in, 0);
}

std::size_t fastlz_compress(const void* input, std::size_t length, void* output) {
    return fastlz_compress_level(FastLzEncoder::LevelFor(length), input, length, output);
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
