#ifndef ORVO_PROTOCOL_FASTLZ_H
#define ORVO_PROTOCOL_FASTLZ_H

// A codec of the FastLZ block format, byte-compatible with the public FastLZ
// library: blocks made here decode there and the other way round.
//
// A block starts with a 3-bit level tag (0: level 1, 8 KiB window and match
// lengths of one extra byte; 1: level 2, about 72 KiB window and open-ended
// match lengths), followed by literal runs and back references. The format
// has no length field, so sizes here are 64-bit: any input that fits in
// memory makes one block.

#include <cstddef>

// Compresses length bytes of input into output and returns the block's
// length. Level 1 for inputs below 65536 bytes, level 2 from there. A block
// never ends with a back reference: as in the public compressor, no match
// starts in the input's last 12 bytes and none covers its last 2, which go
// out as literals, since the public decoder refuses a block whose last
// instruction is a match. The output must hold at least
// length + length / 32 + 1 bytes. An empty input gives an empty block (0).
std::size_t fastlz_compress(const void* input, std::size_t length, void* output);

// As fastlz_compress with the level given (1 or 2; any other value is
// treated as 1).
std::size_t fastlz_compress_level(int level, const void* input, std::size_t length, void* output);

// Decompresses a block of length bytes into output, which holds maxout
// bytes. Returns the decompressed length, or 0 when the block is corrupt or
// truncated, or would write past maxout or refer before the start of the
// output. Never reads or writes outside the two buffers, whatever the input.
std::size_t fastlz_decompress(const void* input, std::size_t length, void* output, std::size_t maxout);

#endif
