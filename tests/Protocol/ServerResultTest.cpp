#include "Protocol/ServerResult.h"

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "Common/ChildProcess.h"
#include "Common/ResultFiles.h"
#include "Common/ScopedSegment.h"
#include "Protocol/FastLz.h"

namespace {

using Orvo::Browser::Segment;
using Orvo::Browser::ServerResult;
using Orvo::Browser::String;

const std::size_t Limit = ServerResult::SizeLimit;

std::string Std(const String& text) {
    return std::string(text.begin(), text.end());
}

std::string FileContents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The path a file reference names; fails the test when it is no reference.
std::string Referenced(const std::string& field) {
    static const std::regex reference("file:///(/tmp/_BWIMPL_[A-Za-z0-9]{6})");
    std::smatch match;
    EXPECT_TRUE(std::regex_match(field, match, reference)) << field.substr(0, 80);
    return match.size() > 1 ? match[1].str() : std::string();
}

struct Image {
    Image(int width, int height) : width(width), height(height), pixels(3 * width * height) {
        for (std::size_t k = 0; k < pixels.size(); ++k) {
            pixels[k] = static_cast<unsigned char>((k / 3) % 7 == 0 ? 255 : k % 5);
        }
    }
    boost::gil::rgb8c_view_t View() const {
        return boost::gil::interleaved_view(width, height, reinterpret_cast<const boost::gil::rgb8_pixel_t*>(pixels.data()),
                                            3 * width);
    }
    // What the snapshot field holds for this image.
    std::string Encoded() const {
        std::size_t bitmapLength = 0;
        const auto bitmap = Orvo::Browser::BitmapWriter<boost::gil::rgb8c_view_t>(View())(&bitmapLength);
        std::string encoded(Orvo::Browser::Compressor::Capacity(bitmapLength), '\0');
        encoded.resize(fastlz_compress(bitmap.get(), bitmapLength, &encoded[0]));
        for (int k = 0; k < 4; ++k) {
            encoded += static_cast<char>((bitmapLength >> (8 * k)) & 0xFF);
        }
        return encoded;
    }
    int width;
    int height;
    std::vector<unsigned char> pixels;
};

const boost::gil::bgr8c_view_t NoImage;

class ServerResultTest : public ::testing::Test {
protected:
    ServerResultTest() : shared(24 << 20), before(OrvoTest::ResultFiles()) {}

    template <class View>
    ServerResult* Build(const std::string& url, const std::string& detail, const std::string& body, const View& view) {
        return shared.segment.construct<ServerResult>(boost::interprocess::anonymous_instance)(
            shared.segment, url.c_str(), detail.c_str(), body.c_str(), view);
    }

    std::set<std::string> NewFiles() const {
        std::set<std::string> added;
        for (const std::string& file : OrvoTest::ResultFiles()) {
            if (before.count(file) == 0) {
                added.insert(file);
            }
        }
        return added;
    }

    OrvoTest::ScopedSegment shared;
    const std::set<std::string> before;
};

TEST_F(ServerResultTest, SmallResultsStayInTheSegment) {
    const ServerResult* result = Build("http://127.0.0.1/a", "12/01/2026 10:00:00", "<html>ü</html>", NoImage);
    EXPECT_EQ("http://127.0.0.1/a", Std(result->pageUrl));
    EXPECT_EQ("12/01/2026 10:00:00", Std(result->detail));
    EXPECT_EQ("<html>ü</html>", Std(result->body));
    EXPECT_TRUE(result->snapshot.empty());
    EXPECT_TRUE(NewFiles().empty());
}

TEST_F(ServerResultTest, ADeadResponseHoldsTheUrlAndDeadTwice) {
    const ServerResult* result = Build("http://127.0.0.1/gone", "DEAD", "DEAD", NoImage);
    EXPECT_EQ("http://127.0.0.1/gone", Std(result->pageUrl));
    EXPECT_EQ("DEAD", Std(result->detail));
    EXPECT_EQ("DEAD", Std(result->body));
    EXPECT_TRUE(result->snapshot.empty());
}

TEST_F(ServerResultTest, TheSnapshotIsTheEncodedBitmapWithNulBytesKept) {
    const Image image(64, 33);
    const ServerResult* result = Build("u", "d", "b", image.View());
    const std::string expected = image.Encoded();
    ASSERT_NE(std::string::npos, expected.find('\0'));
    EXPECT_EQ(expected, Std(result->snapshot));
}

TEST_F(ServerResultTest, ExactlyAtTheLimitStaysAndOneByteMoreMovesTheSnapshot) {
    const Image image(200, 100);
    const std::string encoded = image.Encoded();
    const std::string url = "http://127.0.0.1/big";
    const std::string detail = "200";
    const std::string body(Limit - url.size() - detail.size() - encoded.size(), 'x');

    const ServerResult* atLimit = Build(url, detail, body, image.View());
    EXPECT_EQ(encoded, Std(atLimit->snapshot));
    EXPECT_EQ(body, Std(atLimit->body));
    EXPECT_TRUE(NewFiles().empty());

    const ServerResult* over = Build(url, detail, body + "x", image.View());
    EXPECT_EQ(body + "x", Std(over->body));
    const std::string path = Referenced(Std(over->snapshot));
    EXPECT_EQ(encoded, FileContents(path));
    EXPECT_EQ((std::set<std::string>{path}), NewFiles());
    boost::filesystem::remove(path);
}

TEST_F(ServerResultTest, TextsOverTheLimitMoveTheBodyBesideAnEmptySnapshotFile) {
    const std::string body(Limit + 10, 'b');
    const ServerResult* result = Build("http://127.0.0.1/", "200", body, NoImage);
    const std::string snapshotPath = Referenced(Std(result->snapshot));
    const std::string bodyPath = Referenced(Std(result->body));
    EXPECT_EQ("", FileContents(snapshotPath));
    EXPECT_EQ(body, FileContents(bodyPath));
    EXPECT_EQ("http://127.0.0.1/", Std(result->pageUrl));
    EXPECT_EQ("200", Std(result->detail));
    EXPECT_EQ((std::set<std::string>{snapshotPath, bodyPath}), NewFiles());
    boost::filesystem::remove(snapshotPath);
    boost::filesystem::remove(bodyPath);
}

TEST_F(ServerResultTest, AResultThatCannotBeBroughtUnderTheLimitIsEmptyAndLeavesNoFiles) {
    const Image image(50, 50);
    const std::string url(Limit, 'u');
    const ServerResult* result = Build(url, "200", "body", image.View());
    EXPECT_TRUE(result->pageUrl.empty());
    EXPECT_TRUE(result->detail.empty());
    EXPECT_TRUE(result->body.empty());
    EXPECT_TRUE(result->snapshot.empty());
    EXPECT_TRUE(NewFiles().empty());
}

TEST_F(ServerResultTest, StoreToFileWritesTheBytesAndNamesThem) {
    const ServerResult* result = Build("u", "d", "b", NoImage);
    std::string reference;
    const char data[] = {'a', '\0', 'b'};
    EXPECT_EQ(3u, result->StoreToFile(reference, data, 3));
    const std::string path = Referenced(reference);
    EXPECT_EQ(std::string(data, 3), FileContents(path));
    boost::filesystem::remove(path);
    EXPECT_EQ(5u, result->StoreToFile(reference, "hello", 0)) << "0 means the text's own length";
    boost::filesystem::remove(Referenced(reference));
}

// A file size limit makes writes fail for real, in a child so that the
// limit does not reach the other tests.
TEST_F(ServerResultTest, FailedWritesAreReportedAndLeaveNoFiles) {
    OrvoTest::ChildProcess child([this] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit small = {1024, 1024};
        ::setrlimit(RLIMIT_FSIZE, &small);
        const ServerResult* probe = Build("u", "d", "b", NoImage);
        std::string reference;
        if (probe->StoreToFile(reference, std::string(4096, 'z').c_str(), 0) != ServerResult::WriteFailed) {
            return 1;
        }
        const ServerResult* result = Build("http://127.0.0.1/", "200", std::string(Limit + 1, 'b'), NoImage);
        if (!result->pageUrl.empty() || !result->body.empty() || !result->snapshot.empty()) {
            return 2;
        }
        return NewFiles().empty() ? 0 : 3;
    });
    EXPECT_EQ(0, child.Wait());
}

// The worker builds the record in the client's segment; the client reads it.
TEST_F(ServerResultTest, ARecordBuiltInAnotherProcessReadsBackWithItsImage) {
    const Image image(97, 41);
    // The two processes map the segment at different addresses, so the
    // record's place travels as a handle.
    Segment::handle_t* slot = shared.segment.construct<Segment::handle_t>("slot")(0);
    OrvoTest::ChildProcess worker([&] {
        Segment mapped(boost::interprocess::open_only, shared.name.c_str());
        ServerResult* result = mapped.construct<ServerResult>(boost::interprocess::anonymous_instance)(
            mapped, "http://127.0.0.1/p", "07/04/2026 12:00:00", "<p>hi</p>", image.View());
        *mapped.find<Segment::handle_t>("slot").first = mapped.get_handle_from_address(result);
        return 0;
    });
    ASSERT_EQ(0, worker.Wait());
    ASSERT_NE(0, *slot);
    const ServerResult* result = static_cast<ServerResult*>(shared.segment.get_address_from_handle(*slot));
    EXPECT_EQ("http://127.0.0.1/p", Std(result->pageUrl));
    EXPECT_EQ("<p>hi</p>", Std(result->body));
    const std::string snapshot = Std(result->snapshot);
    ASSERT_GT(snapshot.size(), 4u);
    const unsigned char* tail = reinterpret_cast<const unsigned char*>(snapshot.data() + snapshot.size() - 4);
    const std::uint32_t bitmapLength = tail[0] | tail[1] << 8 | tail[2] << 16 | std::uint32_t(tail[3]) << 24;
    std::vector<unsigned char> bmp(bitmapLength);
    ASSERT_EQ(bitmapLength, fastlz_decompress(snapshot.data(), snapshot.size() - 4, bmp.data(), bitmapLength));
    const int rowBytes = (97 * 3 + 3) & ~3;
    EXPECT_EQ(54u + rowBytes * 41, bitmapLength);
    // Top-left pixel of the image is in the last row of the bitmap.
    const unsigned char* topLeft = &bmp[54 + 40 * rowBytes];
    EXPECT_EQ(image.pixels[2], topLeft[0]);
    EXPECT_EQ(image.pixels[1], topLeft[1]);
    EXPECT_EQ(image.pixels[0], topLeft[2]);
}

} // namespace
