#ifndef ORVO_PROTOCOL_FASTLZENCODER_H
#define ORVO_PROTOCOL_FASTLZENCODER_H

#include <cstddef>
#include <cstdint>

// The FastLZ block compressor as a machine that can stop wherever its input
// runs out and go on when more arrives. Given its input in any number of
// pieces it writes the same block, byte for byte, as given all at once:
// the length of the whole input is known from the start (it sets where
// matches must stop), a match that reaches the end of what has arrived is
// extended when more comes, and literals go out only in the runs the whole
// input would give them.
//
// Positions are counted from the input's first byte. Each call is handed a
// pointer to the input as it stands from some position on (origin); that
// span must reach back to Oldest() and forward to what has arrived. The
// output must hold length + length / 32 + 1 bytes.
class FastLzEncoder {
public:
    typedef std::uint8_t Byte;

    // Level 2 spends offset NearLimit on the escape to far offsets, which
    // reach 65535 beyond it: a back reference goes at most MaxDistance back.
    static constexpr std::uint32_t NearLimit = 8191;
    static constexpr std::uint32_t MaxDistance = NearLimit + 65535 + 1;

    // The level the public compressor picks for an input of length bytes:
    // 1 below 64 KiB, 2 from there.
    static int LevelFor(std::uint64_t length) { return length < 65536 ? 1 : 2; }

    // Level 1 or 2 (any other value is 1).
    FastLzEncoder(int level, std::uint64_t length, void* output);

    // Compresses as far as the input up to available (at most the length)
    // allows.
    void Run(const Byte* base, std::uint64_t origin, std::uint64_t available);
    // Puts out the literals waiting before the scan in whole runs, so that
    // the input behind them may be dropped.
    void FlushLiterals(const Byte* base, std::uint64_t origin, std::uint64_t available);
    // The first position a later call may still read.
    std::uint64_t Oldest() const;
    // Once all the input has been run: puts out the last literals and
    // returns the block's length.
    std::size_t Finish(const Byte* base, std::uint64_t origin);

private:
    enum class Stage { Scan, Extend, Settle };

    const Byte* At(const Byte* base, std::uint64_t origin, std::uint64_t position) const {
        return base + (position - origin);
    }
    // One step of each stage; false when it needs input not yet arrived.
    bool Scan(const Byte* base, std::uint64_t origin, std::uint64_t available);
    bool Extend(const Byte* base, std::uint64_t origin, std::uint64_t available);
    bool Settle(const Byte* base, std::uint64_t origin, std::uint64_t available);
    void PutLiterals(const Byte* base, std::uint64_t origin, std::uint64_t end);
    void PutMatch(std::uint64_t length, std::uint32_t offset);

    static constexpr int HashLog = 13;

    const int level;
    const std::uint64_t length;
    const std::uint32_t maxDistance;
    // No match starts at or past scanLimit, none reaches past matchLimit.
    const std::uint64_t scanLimit;
    const std::uint64_t matchLimit;
    Byte* const out;
    Byte* op;
    Stage stage = Stage::Scan;
    std::uint64_t ip = 1;
    std::uint64_t anchor = 0;
    std::uint32_t misses = 0;
    // The match being extended: where it starts, how far back its source
    // is, and how far it reaches so far.
    std::uint64_t matchStart = 0;
    std::uint32_t distance = 0;
    std::uint64_t matchEnd = 0;
    // The most recent position of each hash, modulo 2^32.
    std::uint32_t table[1u << HashLog] = {};
};

#endif
