#ifndef ORVO_PROTOCOL_FASTLZDECODER_H
#define ORVO_PROTOCOL_FASTLZDECODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

// The FastLZ block decoder as a machine that can stop wherever its output
// space runs out and go on when more is given: a block can be decoded into
// one buffer whole, or read out in pieces through a window that keeps only
// the bytes a back reference may still reach (about 72 KiB), so that a
// reader of a large block never holds its whole output.
//
// Whatever the block, the decoder never reads outside it nor writes outside
// the space it is given; a block that is corrupt, truncated, longer than the
// output announced for it, or that refers before its output's start, makes
// it fail, and it stays failed.
class FastLzDecoder {
public:
    typedef std::uint8_t Byte;

    // Decodes the length bytes of block, which must outlive the decoder and
    // decompress to at most outputLength bytes. An empty block is done at
    // once, with no output.
    FastLzDecoder(const void* block, std::size_t length, std::uint64_t outputLength);

    // Decodes the output that comes next into [op, limit), where the output
    // before op is still there back to oldest. Returns how many bytes it
    // wrote; stops at limit, at the block's end or at a fault.
    std::size_t DecodeInto(Byte* op, Byte* limit, const Byte* oldest);

    // The next n bytes of output, copied to dest, decoded through the
    // decoder's own window. False when the block cannot give them.
    bool Read(void* dest, std::size_t n);

    bool Failed() const { return failed; }
    // True once the whole block is decoded, without a fault.
    bool Done() const { return !failed && ip == end && pending == 0; }

private:
    // Reads the next instruction into the pending copy; false at a fault.
    bool Next();
    void Fail() { failed = true; }

    const Byte* ip;
    const Byte* const end;
    const std::uint64_t outputLength;
    bool level2 = false;
    bool failed = false;
    std::uint64_t produced = 0;
    // The instruction being carried out: count bytes still to copy, from
    // the block (a literal run) or from distance bytes back (a match).
    std::size_t pending = 0;
    bool literal = false;
    std::size_t distance = 0;
    // Read's window: decoded bytes [0, filled), of which [0, served) are
    // given out already.
    std::vector<Byte> window;
    std::size_t filled = 0;
    std::size_t served = 0;
};

#endif
