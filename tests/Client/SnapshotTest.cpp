// A snapshot's bitmap, in every row layout a worker may send (widths whose
// rows need padding and those that need none, bottom-up and top-down),
// decodes to exactly its pixels, rows top to bottom, red, green, blue,
// whether decoded whole or streamed into a PNG band by band, or into a
// JPEG.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <QImage>
#include <gtest/gtest.h>

#include "Client/Snapshot.h"
#include "Client/SnapshotStream.h"
#include "Common/TestBitmap.h"
#include "Protocol/JpegWriter.h"

namespace {

using Orvo::Browser::Client::Snapshot;
using Orvo::Browser::Client::SnapshotStream;
using Orvo::Browser::JpegWriter;
using OrvoTest::Bitmap;
using OrvoTest::Channel;
using OrvoTest::Encoded;
using OrvoTest::PutLe;

TEST(Snapshot, EveryRowLayoutDecodesToItsExactPixels) {
    for (const int width : {1, 2, 3, 4, 5, 301}) {
        for (const int height : {1, 2, 3, 8}) {
            for (const bool bottomUp : {true, false}) {
                SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height) + (bottomUp ? " bottom-up" : ""));
                std::vector<unsigned char> expected;
                for (int y = 0; y < height; ++y) {
                    for (int x = 0; x < width; ++x) {
                        expected.insert(expected.end(), {Channel(x, y, 0), Channel(x, y, 1), Channel(x, y, 2)});
                    }
                }
                Snapshot snapshot;
                std::string error;
                ASSERT_TRUE(Snapshot::Decode(Encoded(Bitmap(width, height, bottomUp)), snapshot, error)) << error;
                EXPECT_EQ(width, snapshot.width);
                EXPECT_EQ(height, snapshot.height);
                EXPECT_EQ(expected, snapshot.rgb);
            }
        }
    }
}

// A bitmap whose header does not fit its size leaves the snapshot empty.
TEST(Snapshot, AnInconsistentBitmapLeavesNothingBehind) {
    std::string bitmap = Bitmap(5, 3, true);
    PutLe(bitmap, 22, 4, 4);
    Snapshot snapshot;
    std::string error;
    EXPECT_FALSE(Snapshot::Decode(Encoded(bitmap), snapshot, error));
    EXPECT_EQ("snapshot bitmap has an inconsistent size", error);
    EXPECT_TRUE(snapshot.Empty());
    EXPECT_TRUE(snapshot.rgb.empty());
}

// Streamed into a PNG, any bitmap, whole or cut to its top-left part, gives
// exactly its pixels: rows arrive bottom-up or top-down and bands of
// BandRows are made as their last row comes. Its JPEG is, byte for byte,
// the JPEG of those pixels.
TEST(SnapshotStream, EveryRowLayoutMakesAPngOfItsExactPixelsAndTheirJpeg) {
    const int tall = 2 * SnapshotStream::BandRows + 1;
    const struct {
        int width, height, shownWidth, shownHeight;
    } cases[] = {{1, 1, 1, 1},       {5, 3, 5, 3},         {301, tall, 301, tall},   {301, tall, 300, 100},
                 {4, tall, 9, 9999}, {7, tall, 3, tall - 1}, {1280, SnapshotStream::BandRows, 1280, 1}};
    for (const auto& size : cases) {
        for (const bool bottomUp : {true, false}) {
            SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height) + " shown "
                         + std::to_string(size.shownWidth) + " x " + std::to_string(size.shownHeight)
                         + (bottomUp ? " bottom-up" : ""));
            const std::string encoded = Encoded(Bitmap(size.width, size.height, bottomUp));
            SnapshotStream stream;
            std::string png;
            std::string error;
            ASSERT_TRUE(stream.Open(encoded, error)) << error;
            EXPECT_EQ(size.width, stream.Width());
            EXPECT_EQ(size.height, stream.Height());
            ASSERT_TRUE(stream.EncodePng(1, size.shownWidth, size.shownHeight, png, error)) << error;
            QImage picture;
            ASSERT_TRUE(picture.loadFromData(reinterpret_cast<const uchar*>(png.data()), static_cast<int>(png.size()),
                                             "PNG"));
            picture = picture.convertToFormat(QImage::Format_RGB888);
            ASSERT_EQ(std::min(size.width, size.shownWidth), picture.width());
            ASSERT_EQ(std::min(size.height, size.shownHeight), picture.height());
            for (int y = 0; y < picture.height(); ++y) {
                for (int x = 0; x < picture.width(); ++x) {
                    const uchar* pixel = picture.constScanLine(y) + 3 * x;
                    ASSERT_TRUE(pixel[0] == Channel(x, y, 0) && pixel[1] == Channel(x, y, 1)
                                && pixel[2] == Channel(x, y, 2))
                        << "pixel " << x << ", " << y;
                }
            }
            std::vector<const unsigned char*> rows;
            for (int y = 0; y < picture.height(); ++y) {
                rows.push_back(picture.constScanLine(y));
            }
            std::string expected;
            ASSERT_TRUE(JpegWriter(90).Encode(rows, picture.width(), JpegWriter::Order::Rgb, expected, error));
            SnapshotStream again;
            std::string jpeg;
            ASSERT_TRUE(again.Open(encoded, error)) << error;
            ASSERT_TRUE(again.EncodeJpeg(90, size.shownWidth, size.shownHeight, jpeg, error)) << error;
            EXPECT_TRUE(expected == jpeg);
        }
    }
}

// A malformed field is refused with the reason the whole decoder gives, at
// opening or, for damage in the rows, at encoding; no PNG is left.
TEST(SnapshotStream, AMalformedSnapshotIsRefusedWithItsReason) {
    std::string inconsistent = Bitmap(5, 3, true);
    PutLe(inconsistent, 22, 4, 4);
    std::string notBitmap = Bitmap(5, 3, true);
    notBitmap[0] = 'X';
    std::string longer = Encoded(Bitmap(300, 40, true));
    PutLe(longer, longer.size() - 4, static_cast<std::uint32_t>(Bitmap(300, 40, true).size() + 1), 4);
    std::string cut = Encoded(Bitmap(300, 40, true));
    cut.erase(cut.size() / 2, cut.size() / 4);
    const struct {
        std::string encoded;
        bool opens;
        const char* error;
    } cases[] = {{"abc", false, "snapshot is too short"},
                 {Encoded(inconsistent), false, "snapshot bitmap has an inconsistent size"},
                 {Encoded(notBitmap), false, "snapshot is not a bitmap"},
                 {longer, true, "snapshot does not decompress to its announced length"},
                 {cut, true, "snapshot does not decompress to its announced length"}};
    for (const auto& bad : cases) {
        SnapshotStream stream;
        std::string png = "left over";
        std::string error;
        ASSERT_EQ(bad.opens, stream.Open(bad.encoded, error)) << bad.error;
        if (bad.opens) {
            EXPECT_FALSE(stream.EncodePng(1, 9999, 9999, png, error));
            EXPECT_EQ("", png);
            SnapshotStream again;
            std::string jpeg = "left over";
            std::string jpegError;
            ASSERT_TRUE(again.Open(bad.encoded, jpegError));
            EXPECT_FALSE(again.EncodeJpeg(80, 9999, 9999, jpeg, jpegError));
            EXPECT_EQ("", jpeg);
            EXPECT_EQ(bad.error, jpegError);
        }
        EXPECT_EQ(bad.error, error);
        Snapshot snapshot;
        std::string whole;
        EXPECT_FALSE(Snapshot::Decode(bad.encoded, snapshot, whole));
        EXPECT_EQ(bad.error, whole) << "the whole decoder's reason";
    }
}

} // namespace
