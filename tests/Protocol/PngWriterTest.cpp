#include <cstddef>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>

#include "Protocol/PngWriter.h"

namespace {

using Orvo::Browser::PngWriter;

struct Picture {
    int width;
    int height;
    std::size_t stride;
    std::vector<unsigned char> pixels;
};

// Flat runs and noise, as pages have: rows of one colour, then rows of
// pseudo-random bytes; the padding past each row's end is never encoded.
Picture Make(int width, int height, std::size_t padding) {
    Picture picture{width, height, 3 * static_cast<std::size_t>(width) + padding, {}};
    picture.pixels.assign(picture.stride * height, 0xEE);
    unsigned state = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 3 * width; ++x) {
            state = state * 1103515245u + 12345u;
            picture.pixels[y * picture.stride + x] = y % 3 == 0 ? static_cast<unsigned char>(40 + y) : state >> 24;
        }
    }
    return picture;
}

// Every picture, at every level, decodes (a second decoder checks the
// chunks' CRCs and the zlib stream) to exactly its pixels.
TEST(PngWriter, EveryPictureDecodesToItsExactPixels) {
    const struct {
        int width, height;
        std::size_t padding;
    } cases[] = {{1, 1, 0}, {3, 2, 0}, {17, 5, 5}, {1280, 300, 0}, {801, 1203, 3}};
    for (const int level : {0, 1, 9}) {
        for (const auto& size : cases) {
            const Picture picture = Make(size.width, size.height, size.padding);
            std::string png;
            std::string error;
            ASSERT_TRUE(PngWriter(level).Encode(picture.pixels.data(), picture.width, picture.height, picture.stride,
                                                png, error))
                << error;
            ASSERT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
            QImage decoded;
            ASSERT_TRUE(decoded.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()),
                                             "PNG"))
                << size.width << "x" << size.height << " at level " << level;
            decoded = decoded.convertToFormat(QImage::Format_RGB888);
            ASSERT_EQ(picture.width, decoded.width());
            ASSERT_EQ(picture.height, decoded.height());
            for (int y = 0; y < picture.height; ++y) {
                ASSERT_EQ(0, std::memcmp(picture.pixels.data() + y * picture.stride, decoded.constScanLine(y),
                                         3 * static_cast<std::size_t>(picture.width)))
                    << "row " << y << " of " << size.width << "x" << size.height << " at level " << level;
            }
        }
    }
}

TEST(PngWriter, APictureWithoutPixelsIsRefused) {
    const unsigned char pixel[3] = {1, 2, 3};
    for (const auto& size : {std::make_pair(0, 1), std::make_pair(1, 0)}) {
        std::string png = "left over";
        std::string error;
        EXPECT_FALSE(PngWriter(1).Encode(pixel, size.first, size.second, 3, png, error));
        EXPECT_EQ("PNG encoding failed: no pixels", error);
        EXPECT_EQ("", png);
    }
}

} // namespace
