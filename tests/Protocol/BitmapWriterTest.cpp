#include "Protocol/BitmapWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Protocol/Compressor.h"
#include "Protocol/FastLz.h"
#include "Protocol/SnapshotEncoder.h"

namespace {

using Orvo::Browser::BitmapWriter;
using Orvo::Browser::Compressor;
using Orvo::Browser::SnapshotEncoder;

typedef std::vector<unsigned char> Bytes;

std::uint32_t Le32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] | (u[1] << 8) | (u[2] << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}

std::uint32_t Le32(const unsigned char* p) {
    return Le32(reinterpret_cast<const char*>(p));
}

std::uint16_t Le16(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}

// An RGB image whose pixel (x, y) is (x, y, 200 + x + y), so every byte of
// the bitmap tells where it came from; and the same bytes as 32-bit
// pixels, each followed by a fourth byte that must not reach the bitmap.
struct TestImage {
    TestImage(int width, int height)
        : width(width), height(height), pixels(3 * width * height), wide(4 * width * height) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                unsigned char* p = &pixels[3 * (y * width + x)];
                p[0] = static_cast<unsigned char>(x);
                p[1] = static_cast<unsigned char>(y);
                p[2] = static_cast<unsigned char>(200 + x + y);
                unsigned char* q = &wide[4 * (y * width + x)];
                std::memcpy(q, p, 3);
                q[3] = static_cast<unsigned char>(0x5A + x);
            }
        }
    }
    boost::gil::rgb8c_view_t Rgb() const {
        return boost::gil::interleaved_view(width, height, reinterpret_cast<const boost::gil::rgb8_pixel_t*>(pixels.data()),
                                            3 * width);
    }
    boost::gil::bgr8c_view_t Bgr() const {
        return boost::gil::interleaved_view(width, height, reinterpret_cast<const boost::gil::bgr8_pixel_t*>(pixels.data()),
                                            3 * width);
    }
    boost::gil::bgra8c_view_t Bgra() const {
        return boost::gil::interleaved_view(width, height, reinterpret_cast<const boost::gil::bgra8_pixel_t*>(wide.data()),
                                            4 * width);
    }
    int width;
    int height;
    Bytes pixels;
    Bytes wide;
};

template <class View>
Bytes Encode(const View& view) {
    std::size_t length = 0;
    const boost::shared_array<char> bytes = BitmapWriter<View>(view)(&length);
    return Bytes(bytes.get(), bytes.get() + length);
}

void ExpectHeader(const Bytes& bmp, int width, int height) {
    const char* p = reinterpret_cast<const char*>(bmp.data());
    const std::uint32_t rowBytes = (width * 3 + 3) & ~3u;
    ASSERT_EQ(54 + rowBytes * height, bmp.size());
    EXPECT_EQ('B', bmp[0]);
    EXPECT_EQ('M', bmp[1]);
    EXPECT_EQ(bmp.size(), Le32(p + 2));
    EXPECT_EQ(0u, Le32(p + 6)) << "reserved";
    EXPECT_EQ(54u, Le32(p + 10));
    EXPECT_EQ(40u, Le32(p + 14));
    EXPECT_EQ(static_cast<std::uint32_t>(width), Le32(p + 18));
    EXPECT_EQ(static_cast<std::uint32_t>(height), Le32(p + 22));
    EXPECT_EQ(1, Le16(p + 26));
    EXPECT_EQ(24, Le16(p + 28));
    for (int offset = 30; offset < 54; offset += 4) {
        EXPECT_EQ(0u, Le32(p + offset)) << "offset " << offset;
    }
}

// Rows bottom-up, pixels as blue, green, red, zero padding.
void ExpectPixels(const Bytes& bmp, const TestImage& image, bool swapped) {
    const int rowBytes = (image.width * 3 + 3) & ~3;
    for (int row = 0; row < image.height; ++row) {
        const int y = image.height - 1 - row;
        const unsigned char* line = &bmp[54 + row * rowBytes];
        for (int x = 0; x < image.width; ++x) {
            const unsigned char* source = &image.pixels[3 * (y * image.width + x)];
            const unsigned char red = swapped ? source[2] : source[0];
            const unsigned char blue = swapped ? source[0] : source[2];
            ASSERT_EQ(blue, line[3 * x]) << x << "," << y;
            ASSERT_EQ(source[1], line[3 * x + 1]) << x << "," << y;
            ASSERT_EQ(red, line[3 * x + 2]) << x << "," << y;
        }
        for (int k = image.width * 3; k < rowBytes; ++k) {
            ASSERT_EQ(0, line[k]) << "padding of row " << row;
        }
    }
}

TEST(BitmapWriter, OnePixelIsFiftyEightBytes) {
    const TestImage image(1, 1);
    const Bytes bmp = Encode(image.Rgb());
    ExpectHeader(bmp, 1, 1);
    EXPECT_EQ((Bytes{200, 0, 0, 0}), Bytes(bmp.begin() + 54, bmp.end()));
}

TEST(BitmapWriter, WidthsOneFourAndFiveWithOddHeights) {
    for (int width : {1, 4, 5}) {
        for (int height : {1, 3, 7}) {
            const TestImage image(width, height);
            const Bytes bmp = Encode(image.Rgb());
            ExpectHeader(bmp, width, height);
            ExpectPixels(bmp, image, false);
        }
    }
    EXPECT_EQ(54u + 12 * 3, Encode(TestImage(4, 3).Rgb()).size()) << "width 4 needs no padding";
    EXPECT_EQ(54u + 16 * 3, Encode(TestImage(5, 3).Rgb()).size()) << "width 5 pads each row to 16 bytes";
}

// Widths below, at and past the 16 bytes that rows are turned in at a
// time, each with its last pixels turned one by one.
TEST(BitmapWriter, BgrAndBgraViewsAreWrittenInTheSameBlueGreenRedOrder) {
    for (const int width : {1, 5, 6, 7, 9, 17, 37}) {
        SCOPED_TRACE(width);
        const TestImage image(width, 3);
        const Bytes bgr = Encode(image.Bgr());
        ExpectHeader(bgr, width, 3);
        ExpectPixels(bgr, image, true);
        EXPECT_TRUE(Encode(image.Bgra()) == bgr);
        ExpectPixels(Encode(image.Rgb()), image, false);
    }
}

// The encoded snapshot of bytes written to a Compressor in pieces.
Bytes Compressed(const std::vector<char>& input, std::size_t piece, std::size_t* length) {
    Compressor compressor(input.size());
    for (std::size_t at = 0; at < input.size(); at += piece) {
        compressor.Write(input.data() + at, std::min(piece, input.size() - at));
    }
    const boost::shared_array<char> encoded = compressor.Finish(length);
    return Bytes(encoded.get(), encoded.get() + *length);
}

TEST(Compressor, TheEncodedSnapshotEndsWithTheBitmapLengthAndDecompressesToIt) {
    const TestImage image(37, 29);
    const Bytes bmp = Encode(image.Rgb());
    std::size_t length = 0;
    const Bytes encoded = Compressed(std::vector<char>(bmp.begin(), bmp.end()), 1000, &length);
    ASSERT_GT(length, 4u);
    EXPECT_EQ(bmp.size(), Le32(encoded.data() + length - 4));
    Bytes out(bmp.size());
    ASSERT_EQ(bmp.size(), fastlz_decompress(encoded.data(), length - 4, out.data(), out.size()));
    EXPECT_TRUE(out == bmp);
}

// Written in pieces of any size, the input gives the block the codec makes
// of it whole: across both levels, past the window the compressor keeps,
// with matches and literal runs that span pieces.
TEST(Compressor, PiecesOfAnySizeGiveTheBlockOfTheWholeInput) {
    std::mt19937 random(11);
    const std::size_t sizes[] = {17, 40000, 700000};
    const std::size_t pieces[] = {1, 7, 4096, 100003, 1u << 20};
    for (const std::size_t size : sizes) {
        for (int kind = 0; kind < 4; ++kind) {
            std::vector<char> input(size);
            for (std::size_t k = 0; k < size; ++k) {
                const char* const kinds[] = {"\xff", "ab", "abcdefgh", nullptr};
                const char* pool = kinds[kind];
                // A page's bitmap: white, with rows of noise now and then.
                input[k] = pool == nullptr ? static_cast<char>((k / 3840) % 40 < 3 ? random() : 0xff)
                                           : pool[random() % std::strlen(pool)];
            }
            Bytes block(Compressor::Capacity(size));
            const std::size_t blockLength = fastlz_compress(input.data(), size, block.data());
            std::size_t wholeLength = 0;
            const boost::shared_array<char> inPlace = Compressor(input.data(), size)(&wholeLength);
            ASSERT_EQ(blockLength + 4, wholeLength);
            EXPECT_TRUE(std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(blockLength),
                                   reinterpret_cast<const unsigned char*>(inPlace.get())));
            for (const std::size_t piece : pieces) {
                SCOPED_TRACE(std::to_string(size) + " bytes of kind " + std::to_string(kind) + " in pieces of "
                             + std::to_string(piece));
                std::size_t length = 0;
                const Bytes encoded = Compressed(input, piece, &length);
                ASSERT_EQ(blockLength + 4, length);
                EXPECT_TRUE(std::equal(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(blockLength),
                                       encoded.begin()));
                EXPECT_EQ(size, Le32(encoded.data() + blockLength));
            }
        }
    }
}

TEST(Compressor, SmallIncompressibleInputsFitTheirBuffer) {
    // 5 % above the input is less than a block's worst case below 54 bytes.
    for (std::size_t size = 1; size < 80; ++size) {
        EXPECT_GE(Compressor::Capacity(size), size + size / 32 + 1 + 4) << size;
        std::vector<char> input(size);
        for (std::size_t k = 0; k < size; ++k) {
            input[k] = static_cast<char>(k * 97 + 13);
        }
        std::size_t length = 0;
        const Bytes encoded = Compressed(input, size, &length);
        EXPECT_LE(length, Compressor::Capacity(size)) << size;
        EXPECT_EQ(size, Le32(encoded.data() + length - 4)) << size;
    }
    EXPECT_EQ(static_cast<std::size_t>(1000000 * 1.05 + 4), Compressor::Capacity(1000000));
}

// A picture given in bands from its bottom up, as the worker paints it,
// encodes as the whole bitmap file compressed at once; in either channel
// order.
TEST(SnapshotEncoder, BandsFromTheBottomUpGiveTheWholePicturesSnapshot) {
    const TestImage image(37, 29);
    const auto rgb = image.Rgb();
    const Bytes bmp = Encode(rgb);
    std::size_t wholeLength = 0;
    const boost::shared_array<char> whole = Compressor(reinterpret_cast<const char*>(bmp.data()), bmp.size())(&wholeLength);
    for (const int bandHeight : {1, 5, 28, 29}) {
        SCOPED_TRACE(bandHeight);
        SnapshotEncoder encoder(image.width, image.height);
        for (int bottom = image.height; bottom > 0; bottom -= bandHeight) {
            const int top = std::max(0, bottom - bandHeight);
            encoder.AddBandAbove(boost::gil::subimage_view(rgb, 0, top, image.width, bottom - top));
        }
        std::uint32_t length = 0;
        const boost::shared_array<char> banded = encoder.Finish(&length);
        ASSERT_EQ(wholeLength, length);
        EXPECT_EQ(0, std::memcmp(whole.get(), banded.get(), length));
    }
    std::uint32_t length = 0;
    const boost::shared_array<char> bgr = SnapshotEncoder::Encode(image.Bgr(), &length);
    std::size_t bmpLength = 0;
    const boost::shared_array<char> bgrBmp = BitmapWriter<boost::gil::bgr8c_view_t>(image.Bgr())(&bmpLength);
    EXPECT_EQ(bmpLength, Le32(bgr.get() + length - 4));
    Bytes out(bmpLength);
    ASSERT_EQ(bmpLength, fastlz_decompress(bgr.get(), length - 4, out.data(), out.size()));
    EXPECT_EQ(0, std::memcmp(out.data(), bgrBmp.get(), bmpLength));

    SnapshotEncoder misfit(image.width, image.height);
    EXPECT_THROW(misfit.AddBandAbove(boost::gil::subimage_view(rgb, 0, 0, 36, 1)), std::invalid_argument);
    misfit.AddBandAbove(boost::gil::subimage_view(rgb, 0, 1, image.width, 28));
    EXPECT_THROW(misfit.AddBandAbove(boost::gil::subimage_view(rgb, 0, 0, image.width, 2)), std::invalid_argument);
    EXPECT_THROW(misfit.Finish(&length), std::length_error) << "a row is missing";
    EXPECT_EQ(nullptr, SnapshotEncoder::Encode(boost::gil::rgb8c_view_t(), &length).get());
    EXPECT_EQ(0u, length);
}

TEST(Compressor, InputLongerOrShorterThanAnnouncedIsRefused) {
    const char bytes[8] = {};
    Compressor longer(4);
    EXPECT_THROW(longer.Write(bytes, 8), std::length_error);
    EXPECT_THROW(longer.Room(5), std::length_error);
    std::memcpy(longer.Room(4), "abcd", 4);
    longer.Filled();
    EXPECT_THROW(longer.Room(1), std::length_error);
    std::size_t filledLength = 0;
    const boost::shared_array<char> filled = longer.Finish(&filledLength);
    char out[4] = {};
    ASSERT_EQ(4u, fastlz_decompress(filled.get(), filledLength - 4, out, sizeof out));
    EXPECT_EQ(0, std::memcmp(out, "abcd", 4));
    Compressor shorter(8);
    shorter.Write(bytes, 4);
    std::size_t length = 0;
    EXPECT_THROW(shorter.Finish(&length), std::length_error);
    EXPECT_THROW(Compressor(std::size_t(Compressor::MaxInputLength) + 1), std::length_error);
}

} // namespace
