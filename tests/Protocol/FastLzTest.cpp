#include "Protocol/FastLz.h"
#include "Protocol/FastLzDecoder.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>

#include "Common/TestData.h"
#include "Protocol/WindowDecoder.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const char* const Vectors[] = {"tiny-16",     "text-small", "random-1000", "zeros-65535",
                               "zeros-65536", "runs",       "far-matches", "bmp-997x131"};

Bytes Vector(const std::string& name, const char* extension) {
    const Bytes bytes = OrvoTest::ReadTestData(std::string("fastlz/") + name + extension);
    EXPECT_FALSE(bytes.empty()) << name << extension;
    return bytes;
}

Bytes Compress(const Bytes& input, int level = 0) {
    Bytes block(input.size() + input.size() / 32 + 1);
    block.resize(level == 0 ? fastlz_compress(input.data(), input.size(), block.data())
                            : fastlz_compress_level(level, input.data(), input.size(), block.data()));
    return block;
}

// Decompresses into a buffer of exactly maxout bytes; returns the result
// code and leaves the output in out.
int Decompress(const Bytes& block, int maxout, Bytes& out) {
    out.assign(static_cast<std::size_t>(maxout), 0);
    return static_cast<int>(fastlz_decompress(block.data(), block.size(), out.data(), out.size()));
}

TEST(FastLzVectors, PublicBlocksDecompressByteForByte) {
    for (const char* name : Vectors) {
        const Bytes raw = Vector(name, ".raw");
        const Bytes block = Vector(name, ".flz");
        Bytes out;
        ASSERT_EQ(static_cast<int>(raw.size()), Decompress(block, static_cast<int>(raw.size()), out)) << name;
        EXPECT_TRUE(out == raw) << name;
    }
}

TEST(FastLzVectors, OwnBlocksRoundTripWithTheLevelTheLengthCalls) {
    for (const char* name : Vectors) {
        const Bytes raw = Vector(name, ".raw");
        const Bytes block = Compress(raw);
        ASSERT_FALSE(block.empty()) << name;
        EXPECT_EQ(raw.size() < 65536 ? 0 : 1, block[0] >> 5) << name;
        Bytes out;
        ASSERT_EQ(static_cast<int>(raw.size()), Decompress(block, static_cast<int>(raw.size()), out)) << name;
        EXPECT_TRUE(out == raw) << name;
    }
}

TEST(FastLzVectors, BitmapsAndRunsCompressAtLeastAsWellAsWithThePublicLibrary) {
    for (const char* name : {"zeros-65535", "zeros-65536", "runs", "bmp-997x131"}) {
        EXPECT_LE(Compress(Vector(name, ".raw")).size(), Vector(name, ".flz").size()) << name;
    }
}

TEST(FastLzRoundTrip, BothLevelsOnAssortedInputs) {
    std::mt19937 random(7);
    std::vector<Bytes> inputs = {Bytes{'a'}, Bytes{'a', 'b', 'c'}, Bytes(5, 'x'), Bytes(300, 'y'), Bytes(266, 'z')};
    // Repeats at distances around both windows' edges, with noise between.
    for (std::size_t distance : {1u, 3u, 8191u, 8192u, 8193u, 73726u, 73727u, 73728u}) {
        Bytes input(distance + 600);
        for (std::size_t k = 0; k < distance; ++k) {
            input[k] = static_cast<unsigned char>(random());
        }
        for (std::size_t k = distance; k < input.size(); ++k) {
            input[k] = input[k - distance];
        }
        inputs.push_back(input);
    }
    for (const Bytes& input : inputs) {
        for (int level : {1, 2}) {
            const Bytes block = Compress(input, level);
            Bytes out;
            ASSERT_EQ(static_cast<int>(input.size()), Decompress(block, static_cast<int>(input.size()), out))
                << "level " << level << ", " << input.size() << " bytes";
            EXPECT_TRUE(out == input) << "level " << level << ", " << input.size() << " bytes";
        }
    }
}

// How many literal bytes end a block (over one or more runs), 0 when it
// ends with a match; walks the instructions as the format defines them.
std::size_t TailLiteralRun(const Bytes& block) {
    const int level = (block[0] >> 5) + 1;
    std::size_t at = 0;
    std::size_t tail = 0;
    while (at < block.size()) {
        const unsigned ctrl = block[at] & (at == 0 ? 31 : 255);
        ++at;
        if ((ctrl >> 5) == 0) {
            tail += (ctrl & 31) + 1;
            at += (ctrl & 31) + 1;
            continue;
        }
        tail = 0;
        if ((ctrl >> 5) == 7) {
            if (level == 1) {
                ++at;
            } else {
                while (block[at++] == 255) {
                }
            }
        }
        const unsigned offset = block[at++];
        if (level == 2 && (ctrl & 31) == 31 && offset == 255) {
            at += 2;
        }
    }
    return tail;
}

TEST(FastLzRoundTrip, BlocksEndWithTheInputsLastBytesAsLiterals) {
    std::mt19937 random(5);
    std::vector<Bytes> inputs;
    for (const char* name : Vectors) {
        inputs.push_back(Vector(name, ".raw"));
    }
    // Inputs that end inside a near and a far repeat, where a match would
    // otherwise run to the last byte.
    for (std::size_t distance : {4u, 100u, 9000u, 70000u}) {
        Bytes input(distance + 5000);
        for (std::size_t k = 0; k < input.size(); ++k) {
            input[k] = k < distance ? static_cast<unsigned char>(random()) : input[k - distance];
        }
        inputs.push_back(input);
    }
    for (const Bytes& input : inputs) {
        for (int level : {1, 2}) {
            const Bytes block = Compress(input, level);
            EXPECT_GE(TailLiteralRun(block), std::min<std::size_t>(input.size(), 2))
                << "level " << level << ", " << input.size() << " bytes";
        }
    }
}

// Checks that block decodes to input under the public decoder's rules.
void ExpectPublicDecodes(const Bytes& block, const Bytes& input, const std::string& what) {
    OrvoTest::WindowDecoder decoder;
    ASSERT_TRUE(decoder.Decode(block.data(), block.size())) << what;
    ASSERT_EQ(input.size(), decoder.Length()) << what;
    const std::size_t seen = std::min(input.size(), OrvoTest::WindowDecoder::Window);
    EXPECT_TRUE(decoder.Tail(seen) == Bytes(input.end() - static_cast<std::ptrdiff_t>(seen), input.end())) << what;
}

// The test decoder refuses what the public one refuses: a block whose last
// instruction is a far match, while the same block with one literal more
// is taken.
TEST(FastLzInterop, TheTestDecoderRefusesABlockEndingInAFarMatch) {
    Bytes block;
    for (int run = 0; run < 260; ++run) {
        block.push_back(31);
        for (int k = 0; k < 32; ++k) {
            block.push_back(static_cast<unsigned char>(run * 7 + k));
        }
    }
    block[0] |= 1 << 5;
    // A 5-byte match at distance 8,192 + 100.
    for (unsigned char byte : {static_cast<unsigned char>((3 << 5) | 31), static_cast<unsigned char>(255),
                               static_cast<unsigned char>(0), static_cast<unsigned char>(100)}) {
        block.push_back(byte);
    }
    OrvoTest::WindowDecoder ending;
    EXPECT_FALSE(ending.Decode(block.data(), block.size()));
    block.insert(block.end(), {0, 42});
    OrvoTest::WindowDecoder followed;
    EXPECT_TRUE(followed.Decode(block.data(), block.size()));
    EXPECT_EQ(260u * 32 + 5 + 1, followed.Length());
}

// Blocks of both levels decode under the public decoder's rules, among them
// inputs built to end in a far match: random bytes followed by their own
// beginning again.
TEST(FastLzInterop, BlocksOfBothLevelsDecodeUnderThePublicRules) {
    std::mt19937 random(7);
    std::vector<Bytes> inputs;
    for (const char* name : Vectors) {
        inputs.push_back(Vector(name, ".raw"));
    }
    for (std::size_t size : {12000u, 70000u}) {
        Bytes input(size);
        for (unsigned char& byte : input) {
            byte = static_cast<unsigned char>(random());
        }
        input.insert(input.end(), input.begin(), input.begin() + 4000);
        inputs.push_back(input);
    }
    for (const Bytes& input : inputs) {
        for (int level : {1, 2}) {
            ExpectPublicDecodes(Compress(input, level), input,
                                "level " + std::to_string(level) + ", " + std::to_string(input.size()) + " bytes");
        }
    }
}

// An input past 4 GiB makes one block, and matches past 4 GiB still find
// their source. The input is zero pages nobody writes (they cost no memory)
// with a random stretch written twice at its end; the block is checked by
// the test decoder, as decoding it whole would take 4 GiB.
TEST(FastLzLarge, AnInputPastFourGibIsOneBlockWhoseLateMatchesFindTheirSource) {
    const std::size_t zeros = (std::size_t(1) << 32) + 65536;
    const std::size_t stretch = 32768;
    const std::size_t size = zeros + 2 * stretch;
    const std::size_t room = size + size / 32 + 1;
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
    void* const input = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, flags, -1, 0);
    void* const output = ::mmap(nullptr, room, PROT_READ | PROT_WRITE, flags, -1, 0);
    ASSERT_NE(MAP_FAILED, input);
    ASSERT_NE(MAP_FAILED, output);
    unsigned char* const bytes = static_cast<unsigned char*>(input);
    std::mt19937 random(13);
    for (std::size_t k = 0; k < stretch; ++k) {
        bytes[zeros + k] = bytes[zeros + stretch + k] = static_cast<unsigned char>(random());
    }

    const std::size_t length = fastlz_compress(input, size, output);
    OrvoTest::WindowDecoder decoder;
    EXPECT_TRUE(decoder.Decode(static_cast<const unsigned char*>(output), length));
    EXPECT_EQ(size, decoder.Length());
    EXPECT_TRUE(decoder.Tail(2 * stretch) == Bytes(bytes + zeros, bytes + size));
    // The second copy went as a match: literals are the first copy and the
    // block's last bytes.
    EXPECT_LT(decoder.LiteralBytes(), stretch + 64);
    ::munmap(input, size);
    ::munmap(output, room);
}

TEST(FastLzRoundTrip, IncompressibleInputStaysWithinTheWorstCase) {
    std::mt19937 random(11);
    for (std::size_t size : {1u, 15u, 31u, 32u, 33u, 1000u, 70000u}) {
        Bytes input(size);
        for (unsigned char& byte : input) {
            byte = static_cast<unsigned char>(random());
        }
        EXPECT_LE(Compress(input).size(), size + size / 32 + 1) << size;
    }
}

TEST(FastLzCorrupt, TruncatedBlocksReturnZero) {
    for (const char* name : {"text-small", "runs", "far-matches"}) {
        const Bytes raw = Vector(name, ".raw");
        const Bytes block = Vector(name, ".flz");
        for (std::size_t cut : {std::size_t(1), std::size_t(2), block.size() / 2, block.size() - 1}) {
            const Bytes truncated(block.begin(), block.begin() + static_cast<long>(cut));
            Bytes out;
            const int n = Decompress(truncated, static_cast<int>(raw.size()), out);
            // A cut may fall between instructions: then the prefix is a valid,
            // shorter block. It must never claim the whole output.
            EXPECT_LT(n, static_cast<int>(raw.size())) << name << " cut at " << cut;
        }
    }
    Bytes out;
    EXPECT_EQ(0, Decompress(Bytes{0x05, 'a', 'b'}, 16, out)) << "literal run past the end";
    EXPECT_EQ(0, Decompress(Bytes{0x00, 'a', 0xE0}, 16, out)) << "long match without its length byte";
    EXPECT_EQ(0, Decompress(Bytes{0x20, 'a', 0x20}, 16, out)) << "level 2 match without its offset";
    EXPECT_EQ(0, Decompress(Bytes{0x20, 'a', 0x3F, 0xFF, 0x00}, 100000, out)) << "far match missing a byte";
    EXPECT_EQ(0, Decompress(Bytes{0x20, 'a', 0xE0, 0xFF, 0xFF}, 100000, out)) << "unfinished length extension";
}

TEST(FastLzCorrupt, OffsetsBeforeTheStartReturnZero) {
    Bytes out;
    EXPECT_EQ(0, Decompress(Bytes{0x00, 'a', 0x20, 0x01}, 16, out)) << "offset 1 after one byte";
    EXPECT_EQ(4, Decompress(Bytes{0x00, 'a', 0x20, 0x00}, 16, out)) << "offset 0 repeats the byte";
    EXPECT_EQ((Bytes{'a', 'a', 'a', 'a'}), Bytes(out.begin(), out.begin() + 4));
    EXPECT_EQ(0, Decompress(Bytes{0x01, 'a', 'b', 0x3F, 0xFF}, 16, out)) << "level 1 offset 8191";
    EXPECT_EQ(0, Decompress(Bytes{0x21, 'a', 'b', 0x3F, 0xFF, 0x00, 0x00}, 100000, out)) << "far offset 8191";
}

TEST(FastLzCorrupt, BadTagsReturnZero) {
    const Bytes raw = Vector("text-small", ".raw");
    Bytes block = Vector("text-small", ".flz");
    for (unsigned char tag = 2; tag < 8; ++tag) {
        block[0] = static_cast<unsigned char>((block[0] & 31) | (tag << 5));
        Bytes out;
        EXPECT_EQ(0, Decompress(block, static_cast<int>(raw.size()), out)) << "tag " << int(tag);
    }
}

TEST(FastLzCorrupt, OutputPastMaxoutReturnsZero) {
    const Bytes raw = Vector("zeros-65536", ".raw");
    const Bytes block = Vector("zeros-65536", ".flz");
    Bytes out;
    EXPECT_EQ(0, Decompress(block, static_cast<int>(raw.size()) - 1, out));
    EXPECT_EQ(0, Decompress(Bytes{0x03, 'a', 'b', 'c', 'd'}, 3, out));
    EXPECT_EQ(0, Decompress(Bytes{}, 16, out));
}

TEST(FastLzCorrupt, RandomDamageNeverOverrunsTheOutput) {
    std::mt19937 random(3);
    const Bytes raw = Vector("bmp-997x131", ".raw");
    const Bytes original = Compress(Bytes(raw.begin(), raw.begin() + 20000));
    const int maxout = 20000;
    for (int round = 0; round < 2000; ++round) {
        Bytes block = original;
        for (int k = 0; k < 1 + round % 8; ++k) {
            block[random() % block.size()] = static_cast<unsigned char>(random());
        }
        // A guard zone after maxout shows any write past the limit.
        Bytes out(maxout + 64, 0xA5);
        ASSERT_LE(fastlz_decompress(block.data(), block.size(), out.data(), maxout), static_cast<std::size_t>(maxout));
        for (int k = maxout; k < maxout + 64; ++k) {
            ASSERT_EQ(0xA5, out[static_cast<std::size_t>(k)]) << "round " << round;
        }
    }
}

// Reads outputLength bytes through the decoder's window in pieces of the
// given sizes, in turn; stops at the first refusal.
Bytes ReadInPieces(std::size_t outputLength, const std::vector<std::size_t>& pieces, FastLzDecoder& decoder) {
    Bytes out;
    for (std::size_t k = 0; out.size() < outputLength; ++k) {
        const std::size_t piece = std::min(pieces[k % pieces.size()], outputLength - out.size());
        Bytes part(piece);
        if (!decoder.Read(part.data(), piece)) {
            break;
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Past its window the decoder keeps only what references may reach: every
// block, read in pieces of any size, gives the whole output and ends done,
// including far matches reaching back across the window's slides.
TEST(FastLzDecoder, ReadingInPiecesOfAnySizeGivesTheWholeOutput) {
    std::vector<Bytes> inputs;
    for (const char* name : Vectors) {
        inputs.push_back(Vector(name, ".raw"));
    }
    // A megabyte of rows that repeat 70,000 bytes apart: far matches.
    Bytes far(1 << 20);
    std::mt19937 random(7);
    for (std::size_t k = 0; k < far.size(); ++k) {
        far[k] = k < 70000 ? static_cast<unsigned char>(random()) : far[k - 70000];
    }
    inputs.push_back(far);
    const std::vector<std::vector<std::size_t>> readings = {{1}, {7, 4096}, {3 * 1280}, {100000}, {5 << 20}};
    for (const Bytes& input : inputs) {
        for (const int level : {1, 2}) {
            const Bytes block = Compress(input, level);
            for (const auto& pieces : readings) {
                FastLzDecoder decoder(block.data(), block.size(), input.size());
                const Bytes out = ReadInPieces(input.size(), pieces, decoder);
                ASSERT_TRUE(out == input) << input.size() << " bytes at level " << level << " in pieces of "
                                          << pieces[0];
                EXPECT_TRUE(decoder.Done());
                unsigned char more = 0;
                EXPECT_FALSE(decoder.Read(&more, 1)) << "a byte past the output";
            }
        }
    }
}

// Damaged, truncated or too long for their announced output, blocks read
// in pieces are refused, never overrun, and stay refused.
TEST(FastLzDecoder, DamagedBlocksAreRefusedWhateverThePieces) {
    const Bytes raw = Vector("bmp-997x131", ".raw");
    const Bytes original = Compress(raw);
    std::mt19937 random(5);
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes block = original;
        if (round % 3 == 0) {
            block.resize(random() % block.size());
        } else {
            for (int k = 0; k < 1 + round % 8; ++k) {
                block[random() % block.size()] = static_cast<unsigned char>(random());
            }
        }
        FastLzDecoder decoder(block.data(), block.size(), raw.size());
        const Bytes out = ReadInPieces(raw.size(), {1 + random() % 5000}, decoder);
        if (out.size() < raw.size() || !decoder.Done()) {
            ++refused;
            unsigned char more = 0;
            EXPECT_FALSE(decoder.Read(&more, 1) && decoder.Done()) << "round " << round;
        }
    }
    EXPECT_GT(refused, 100);
    FastLzDecoder shorter(original.data(), original.size(), raw.size() - 1);
    EXPECT_LT(ReadInPieces(raw.size() - 1, {4096}, shorter).size(), raw.size() - 1);
    EXPECT_TRUE(shorter.Failed()) << "a block longer than its announced output";
}

} // namespace
