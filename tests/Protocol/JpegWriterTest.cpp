// The JPEG writer against Qt's reader: colours come back within JPEG's
// loss, quality trades bytes for fidelity, blue-green-red rows give the
// same file as red-green-blue ones, and what JPEG cannot hold is refused
// with the library's reason.

#include <cstdlib>
#include <string>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>

#include "Protocol/JpegWriter.h"

namespace {

using Orvo::Browser::JpegWriter;

// width × height pixels, top half one colour and bottom half another, in
// either channel order.
std::vector<unsigned char> Halves(int width, int height, bool bgr) {
    std::vector<unsigned char> pixels;
    for (int y = 0; y < height; ++y) {
        const unsigned char rgb[3] = {static_cast<unsigned char>(y < height / 2 ? 200 : 20), 120,
                                      static_cast<unsigned char>(y < height / 2 ? 30 : 210)};
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                pixels.push_back(rgb[bgr ? 2 - c : c]);
            }
        }
    }
    return pixels;
}

std::vector<const unsigned char*> Rows(const std::vector<unsigned char>& pixels, int width, int height) {
    std::vector<const unsigned char*> rows;
    for (int y = 0; y < height; ++y) {
        rows.push_back(pixels.data() + 3 * static_cast<std::size_t>(width) * y);
    }
    return rows;
}

TEST(JpegWriter, ColoursComeBackAndBothChannelOrdersMakeOneFile) {
    const int width = 37;
    const int height = 50;
    const std::vector<unsigned char> rgb = Halves(width, height, false);
    const std::vector<unsigned char> bgr = Halves(width, height, true);
    std::size_t previous = 0;
    const struct {
        int quality;
        int tolerance;
    } qualities[] = {{10, 24}, {80, 6}, {100, 3}};
    for (const auto& [quality, tolerance] : qualities) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        std::string jpeg;
        std::string swapped;
        std::string error;
        ASSERT_TRUE(JpegWriter(quality).Encode(Rows(rgb, width, height), width, JpegWriter::Order::Rgb, jpeg, error))
            << error;
        ASSERT_TRUE(
            JpegWriter(quality).Encode(Rows(bgr, width, height), width, JpegWriter::Order::Bgr, swapped, error))
            << error;
        EXPECT_EQ(jpeg, swapped);
        EXPECT_LT(previous, jpeg.size()) << "a higher quality keeps more";
        previous = jpeg.size();
        QImage picture;
        ASSERT_TRUE(picture.loadFromData(reinterpret_cast<const uchar*>(jpeg.data()), static_cast<int>(jpeg.size()),
                                         "JPEG"));
        ASSERT_EQ(width, picture.width());
        ASSERT_EQ(height, picture.height());
        for (const int y : {2, height - 3}) {
            const QRgb pixel = picture.pixel(width / 2, y);
            const unsigned char* expected = rgb.data() + 3 * (static_cast<std::size_t>(width) * y + width / 2);
            EXPECT_NEAR(expected[0], qRed(pixel), tolerance) << "row " << y;
            EXPECT_NEAR(expected[1], qGreen(pixel), tolerance) << "row " << y;
            EXPECT_NEAR(expected[2], qBlue(pixel), tolerance) << "row " << y;
        }
    }
}

TEST(JpegWriter, WhatJpegCannotHoldIsRefusedWithItsReason) {
    const std::vector<unsigned char> row(3 * 70000, 128);
    const struct {
        std::vector<const unsigned char*> rows;
        int width;
        const char* error;
    } cases[] = {{{}, 5, "JPEG encoding failed: no pixels"},
                 {{row.data()}, 0, "JPEG encoding failed: no pixels"},
                 {std::vector<const unsigned char*>(65501, row.data()), 1,
                  "JPEG encoding failed: Maximum supported image dimension is 65500 pixels"},
                 {{row.data()}, 65501, "JPEG encoding failed: Maximum supported image dimension is 65500 pixels"}};
    for (const auto& bad : cases) {
        std::string jpeg = "left over";
        std::string error;
        EXPECT_FALSE(JpegWriter(80).Encode(bad.rows, bad.width, JpegWriter::Order::Rgb, jpeg, error));
        EXPECT_EQ(bad.error, error);
        EXPECT_EQ("", jpeg);
    }
}

} // namespace
