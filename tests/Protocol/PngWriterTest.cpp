#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <string>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>
#include <zlib.h>

#include "Protocol/PngBandWriter.h"
#include "Protocol/PngWriter.h"

namespace {

using Orvo::Browser::PngBandWriter;
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

std::uint32_t Uint32At(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + k));
    }
    return value;
}

// The IDAT chunks' data, one after another: the picture's zlib stream.
std::string ZlibStream(const std::string& png) {
    std::string stream;
    for (std::size_t at = 8; at + 12 <= png.size(); at += 12 + Uint32At(png, at)) {
        if (png.compare(at + 4, 4, "IDAT") == 0) {
            stream.append(png, at + 8, Uint32At(png, at));
        }
    }
    return stream;
}

// zlib's own inflate, which checks the stream's Adler-32: Z_STREAM_END and
// each row behind its filter byte, or a failure.
::testing::AssertionResult InflatesToRows(const std::string& stream, const Picture& picture) {
    std::string rows(static_cast<std::size_t>(picture.height) * (1 + 3 * picture.width) + 1, '\0');
    z_stream inflater{};
    inflateInit(&inflater);
    inflater.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    inflater.avail_in = static_cast<uInt>(stream.size());
    inflater.next_out = reinterpret_cast<Bytef*>(&rows[0]);
    inflater.avail_out = static_cast<uInt>(rows.size());
    const int status = inflate(&inflater, Z_FINISH);
    const std::size_t length = inflater.total_out;
    inflateEnd(&inflater);
    if (status != Z_STREAM_END || inflater.avail_in != 0) {
        return ::testing::AssertionFailure() << "inflate said " << status << " with " << inflater.avail_in
                                             << " bytes left";
    }
    if (length + 1 != rows.size()) {
        return ::testing::AssertionFailure() << length << " bytes inflated";
    }
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(picture.width);
    for (int y = 0; y < picture.height; ++y) {
        const char* row = rows.data() + y * (1 + rowBytes);
        if (row[0] != 0 || std::memcmp(row + 1, picture.pixels.data() + y * picture.stride, rowBytes) != 0) {
            return ::testing::AssertionFailure() << "row " << y << " differs";
        }
    }
    return ::testing::AssertionSuccess();
}

// Every picture, at every level and however many bands it is cut into,
// decodes to exactly its pixels: through Qt's reader, and its zlib stream
// through zlib's, which checks what Qt's may pass over (the Adler-32 of
// the bands joined).
TEST(PngWriter, EveryPictureDecodesToItsExactPixels) {
    const struct {
        int width, height;
        std::size_t padding;
    } cases[] = {{1, 1, 0},      {3, 2, 0},       {17, 5, 5},
                 {1280, 300, 0}, {801, 1203, 3}, {64, 4 * PngWriter::MinBandRows + 3, 1}};
    for (const int level : {0, 1, 9}) {
        for (const int bands : {1, 2, PngWriter::MaxBands}) {
            for (const auto& size : cases) {
                const Picture picture = Make(size.width, size.height, size.padding);
                const std::string name = std::to_string(size.width) + "x" + std::to_string(size.height) + " at level "
                                         + std::to_string(level) + " in " + std::to_string(bands) + " bands";
                std::string png;
                std::string error;
                ASSERT_TRUE(PngWriter(level, bands).Encode(picture.pixels.data(), picture.width, picture.height,
                                                           picture.stride, png, error))
                    << error;
                ASSERT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
                ASSERT_TRUE(InflatesToRows(ZlibStream(png), picture)) << name;
                QImage decoded;
                ASSERT_TRUE(decoded.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                                                 static_cast<int>(png.size()), "PNG"))
                    << name;
                decoded = decoded.convertToFormat(QImage::Format_RGB888);
                ASSERT_EQ(picture.width, decoded.width());
                ASSERT_EQ(picture.height, decoded.height());
                for (int y = 0; y < picture.height; ++y) {
                    ASSERT_EQ(0, std::memcmp(picture.pixels.data() + y * picture.stride, decoded.constScanLine(y),
                                             3 * static_cast<std::size_t>(picture.width)))
                        << "row " << y << " of " << name;
                }
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

// The picture's rows as the PNG's lines: each behind its filter byte.
std::vector<unsigned char> Lines(const Picture& picture) {
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(picture.width);
    std::vector<unsigned char> lines;
    for (int y = 0; y < picture.height; ++y) {
        lines.push_back(PngBandWriter::NoFilter);
        const auto row = picture.pixels.begin() + static_cast<std::ptrdiff_t>(y * picture.stride);
        lines.insert(lines.end(), row, row + static_cast<std::ptrdiff_t>(rowBytes));
    }
    return lines;
}

// Bands given in any order, of any sizes, as rows or as lines, at ISA-L's
// level and at zlib's, make one PNG whose zlib stream (the bands'
// Adler-32s joined) inflates to the picture's rows, the same file either
// way the rows are given; bands that leave a row out, or give one twice,
// make none.
TEST(PngBandWriter, BandsInAnyOrderMakeThePicture) {
    const Picture picture = Make(301, 700, 2);
    const std::vector<unsigned char> lines = Lines(picture);
    const std::size_t lineBytes = 1 + 3 * static_cast<std::size_t>(picture.width);
    const struct {
        const char* name;
        std::vector<std::pair<int, int>> bands;  // first row, rows
        const char* error;  // none when the picture is made
    } cases[] = {{"bottom up", {{600, 100}, {256, 344}, {0, 256}}, ""},
                 {"one band", {{0, 700}}, ""},
                 {"a row each at the top, out of order", {{1, 1}, {0, 1}, {2, 698}}, ""},
                 {"a row missing", {{0, 256}, {257, 443}}, "PNG encoding failed: the bands do not make the picture"},
                 {"a row twice", {{0, 257}, {256, 444}}, "PNG encoding failed: the bands do not make the picture"},
                 {"past the bottom", {{0, 600}, {600, 101}}, "PNG encoding failed: rows outside the picture"}};
    for (const auto& test : cases) {
        for (const int level : {PngBandWriter::FastLevel, 6}) {
            std::string files[2];
            for (const bool asLines : {false, true}) {
                SCOPED_TRACE(std::string(test.name) + (asLines ? ", as lines" : ", as rows") + ", level "
                             + std::to_string(level));
                PngBandWriter writer(level, picture.width, picture.height);
                bool added = true;
                for (const auto& band : test.bands) {
                    added = (asLines ? writer.AddLines(band.first, band.second, lines.data() + band.first * lineBytes)
                                     : writer.Add(band.first, band.second,
                                                  picture.pixels.data() + band.first * picture.stride, picture.stride))
                            && added;
                }
                std::string& png = files[asLines];
                png = "left over";
                std::string error;
                const bool finished = writer.Finish(png, error);
                const bool made = *test.error == '\0';
                ASSERT_EQ(made, added && finished) << error;
                if (made) {
                    EXPECT_TRUE(InflatesToRows(ZlibStream(png), picture));
                } else {
                    EXPECT_EQ("", png);
                    EXPECT_EQ(test.error, error);
                }
            }
            EXPECT_EQ(files[0], files[1]) << test.name << ", level " << level;
        }
    }
}

} // namespace
