// orvo-render's files from snapshots a client left encoded: a good one
// becomes its PNG or JPEG as it decodes; one whose rows prove unusable
// writes no image and fails its record with the reason, never a rendered
// page without its picture.

#include <string>

#include <QImage>
#include <gtest/gtest.h>

#include "Common/TemporaryDirectory.h"
#include "Common/TestBitmap.h"
#include "render/OutputWriter.h"

namespace {

using Orvo::Browser::Client::Outcome;
using Orvo::Render::OutputWriter;
using Orvo::Render::Record;

TEST(OutputWriter, AnEncodedSnapshotBecomesItsImageOrFailsItsRecord) {
    const std::string good = OrvoTest::Encoded(OrvoTest::Bitmap(301, 300, true));
    std::string damaged = good;
    damaged.erase(damaged.size() / 2, damaged.size() / 4);
    const struct {
        const char* name;
        std::string encoded;
        const char* error;  // none when the image is made
    } cases[] = {{"good", good, ""}, {"damaged rows", damaged, "snapshot does not decompress to its announced length"}};
    for (const auto& test : cases) {
        for (const std::string format : {"png", "jpeg"}) {
            SCOPED_TRACE(format);
            OrvoTest::TemporaryDirectory directory;
            Orvo::Render::Settings settings;
            settings.outDirectory = directory.path + "/out";
            settings.imageFormat = format;
            const OutputWriter writer(settings);
            Record record;
            record.index = 1;
            record.url = "http://127.0.0.1/";
            record.result.outcome = Outcome::Rendered;
            record.result.encodedSnapshot = test.encoded;
            record.result.snapshot.width = 301;
            record.result.snapshot.height = 300;
            writer.Name(record);
            ASSERT_EQ("0001." + format, record.imageFile) << test.name;
            const std::string reason = writer.WriteFiles(record.TakePayload());
            EXPECT_EQ(test.error, reason) << test.name;
            const QImage picture(QString::fromStdString(settings.outDirectory + "/" + record.imageFile));
            if (reason.empty()) {
                ASSERT_EQ(QSize(301, 300), picture.size()) << test.name;
                if (format == "png") {
                    const QRgb pixel = picture.pixel(300, 299);
                    EXPECT_EQ(OrvoTest::Channel(300, 299, 0), qRed(pixel));
                    EXPECT_EQ(OrvoTest::Channel(300, 299, 2), qBlue(pixel));
                }
                continue;
            }
            EXPECT_TRUE(picture.isNull()) << test.name << ": no image is written";
            OutputWriter::Unusable(record, reason);
            const std::string line = OutputWriter::JsonLine(record);
            EXPECT_NE(std::string::npos, line.find("\"outcome\":\"failed\"")) << line;
            EXPECT_NE(std::string::npos, line.find("\"snapshot\":null")) << line;
            EXPECT_NE(std::string::npos, line.find(std::string("\"error\":\"") + test.error)) << line;
        }
    }
}

} // namespace
