// Where the time of a page's snapshot goes, stage by stage, on the corpus
// pages served on 127.0.0.1 (links to other hosts pointed back there, as
// in the other benchmarks): the worker paints the page band by band into
// Qt's 32-bit pixels and compresses each band's bitmap rows with FastLZ as it
// goes (the result record's snapshot; painting the whole picture, writing
// its bitmap and compressing that, the stages this replaced, are timed
// apart too), the client decompresses and decodes it, and
// orvo-render or orvo-serve encodes the PNG (in bands on each core, and in
// one band for comparison); then what the clients do now, a PNG or a JPEG
// straight from the snapshot as sent, against Qt's JPEG writer on the
// decoded rows, as before. Each page is measured once, in this process:
// no worker, no shared memory, so the stages and nothing else; the
// client's decoding is timed whole and its decompression alone. Prints the
// median ms of each stage over the pages at least TALL px tall (default
// 4000), the same for all pages, and the tallest page's own split.

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImageWriter>
#include <QTimer>
#include <QUrl>
#include <QWebFrame>
#include <QWebPage>

#include "Client/Snapshot.h"
#include "Client/SnapshotStream.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Kernel/ViewHolder.h"
#include "Median.h"
#include "Page/PagePicture.h"
#include "Protocol/BitmapWriter.h"
#include "Protocol/Compressor.h"
#include "Protocol/FastLz.h"
#include "Protocol/PngWriter.h"
#include "Protocol/SnapshotEncoder.h"

namespace {

const char* const Stages[] = {"worker: paint + encode, in bands",
                              "paint alone, whole picture",
                              "bitmap file of the picture",
                              "FastLZ compress of the bitmap",
                              "client: FastLZ decompress alone",
                              "client: decompress + RGB rows",
                              "PNG, bands on each core",
                              "PNG, one band",
                              "client: PNG as the rows decode",
                              "client: JPEG 80 of the rows as sent",
                              "JPEG 80 of the RGB rows, Qt's"};
// The two PNG stages of the decoded picture, and the stages that follow.
const int FirstPngStage = 6;
const int StreamedPngStage = 8;
const int StreamedJpegStage = 9;
const int QtJpegStage = 10;
const int StageCount = sizeof Stages / sizeof Stages[0];
// A page still loading after this is drawn as it is.
const int LoadLimitMs = 15000;

struct Split {
    std::string page;
    int height = 0;
    double ms[StageCount] = {};
    std::size_t compressed = 0;
    std::size_t png = 0;
};

template <class Step>
double Time(Step step) {
    QElapsedTimer timer;
    timer.start();
    step();
    return timer.nsecsElapsed() / 1e6;
}

OrvoBench::Corpus corpus;

// A page whose dialogs are answered at once, as the worker's are: a modal
// alert would wait for a click that never comes.
class SilentPage : public QWebPage {
protected:
    void javaScriptAlert(QWebFrame*, const QString&) override {}
    bool javaScriptConfirm(QWebFrame*, const QString&) override { return false; }
    bool javaScriptPrompt(QWebFrame*, const QString&, const QString&, QString*) override { return false; }
};

// A stage that fails makes the figures meaningless: say so and end.
void Check(bool made, const std::string& page, const std::string& error) {
    if (!made) {
        std::fprintf(stderr, "%s: %s\n", page.c_str(), error.c_str());
        std::exit(1);
    }
}

OrvoTest::TestHttpServer::Response Serve(const OrvoTest::TestHttpServer::Request& request) {
    return corpus.Serve(request);
}

void Load(QWebPage& page, const std::string& url) {
    QEventLoop loop;
    QObject::connect(&page, &QWebPage::loadFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(LoadLimitMs, &loop, &QEventLoop::quit);
    page.mainFrame()->load(QUrl(QString::fromStdString(url)));
    loop.exec();
    page.triggerAction(QWebPage::Stop);
}

Split Measure(QWebPage& page, const std::string& url) {
    Split split;
    split.page = url.substr(url.rfind('/') + 1);
    page.setViewportSize(QSize(1280, 800));
    Load(page, url);
    // As the worker does: a page without a layout yet is drawn at its
    // viewport's size.
    QSize size = page.mainFrame()->contentsSize().boundedTo(QSize(PagePicture::MaxWidth, PagePicture::MaxHeight));
    if (size.isEmpty()) {
        size = page.viewportSize();
    }
    size.setWidth(1280);
    page.setViewportSize(size);
    split.height = size.height();
    // A first paint decodes the page's images; it is not timed, so that
    // neither way of painting pays for it.
    QImage image(size, QImage::Format_RGB888);
    PagePicture::RenderInBands(page.mainFrame(), image);
    // What the worker does: bands painted and encoded one by one.
    boost::shared_array<char> block;
    std::uint32_t blockLength = 0;
    split.ms[0] = Time([&] { block = PagePicture::Snapshot(page.mainFrame(), &blockLength); });
    split.compressed = blockLength;
    // The same picture whole, then its bitmap and its compression apart,
    // as the worker's stages were before.
    image.fill(Qt::white);
    split.ms[1] = Time([&] { PagePicture::RenderInBands(page.mainFrame(), image); });
    const ViewHolder view(image);
    boost::shared_array<char> bitmap;
    std::size_t bitmapLength = 0;
    const boost::gil::rgb8c_view_t pixels = view.View();
    const Orvo::Browser::BitmapWriter<boost::gil::rgb8c_view_t> writeBitmap(pixels);
    split.ms[2] = Time([&] { bitmap = writeBitmap(&bitmapLength); });
    std::size_t wholeLength = 0;
    split.ms[3] = Time([&] { Orvo::Browser::Compressor(bitmap.get(), bitmapLength)(&wholeLength); });
    bitmap.reset();
    const std::string encoded(block.get(), split.compressed);
    Orvo::Browser::Client::Snapshot snapshot;
    std::string error;
    std::vector<char> bmp(bitmapLength);
    split.ms[4] = Time([&] { fastlz_decompress(block.get(), split.compressed - 4, bmp.data(), bmp.size()); });
    bool made = false;
    split.ms[5] = Time([&] { made = Orvo::Browser::Client::Snapshot::Decode(encoded, snapshot, error); });
    Check(made, split.page, error);
    std::string png;
    for (int stage = FirstPngStage; stage < StreamedPngStage; ++stage) {
        const Orvo::Browser::PngWriter writer(1, stage == FirstPngStage ? Orvo::Browser::PngWriter::DefaultBands() : 1);
        split.ms[stage] = Time([&] {
            made = writer.Encode(snapshot.rgb.data(), snapshot.width, snapshot.height, 3 * std::size_t(snapshot.width),
                                 png, error);
        });
        Check(made, split.page, error);
    }
    split.png = png.size();
    Orvo::Browser::Client::SnapshotStream pngStream;
    Check(pngStream.Open(encoded, error), split.page, error);
    split.ms[StreamedPngStage] =
        Time([&] { made = pngStream.EncodePng(1, pngStream.Width(), pngStream.Height(), png, error); });
    Check(made, split.page, error);
    Orvo::Browser::Client::SnapshotStream jpegStream;
    Check(jpegStream.Open(encoded, error), split.page, error);
    std::string jpeg;
    split.ms[StreamedJpegStage] =
        Time([&] { made = jpegStream.EncodeJpeg(80, jpegStream.Width(), jpegStream.Height(), jpeg, error); });
    Check(made, split.page, error);
    split.ms[QtJpegStage] = Time([&] {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setQuality(80);
        made = writer.write(QImage(snapshot.rgb.data(), snapshot.width, snapshot.height, 3 * snapshot.width,
                                   QImage::Format_RGB888));
    });
    Check(made, split.page, "Qt's JPEG writer failed");
    return split;
}

void Report(const char* title, const std::vector<Split>& splits) {
    std::printf("\n%s: %zu pages\n%-32s %10s\n", title, splits.size(), "stage", "median ms");
    for (int stage = 0; stage < StageCount; ++stage) {
        std::vector<double> ms;
        for (const Split& split : splits) {
            ms.push_back(split.ms[stage]);
        }
        std::printf("%-32s %10.1f\n", Stages[stage], OrvoBench::Median(ms));
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    const int tall = argc > 1 ? std::atoi(argv[1]) : 4000;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    OrvoTest::TestHttpServer server(&Serve);
    std::vector<Split> all;
    std::vector<Split> tallOnes;
    for (const std::string& url : corpus.Urls(server)) {
        SilentPage page;
        all.push_back(Measure(page, url));
        if (all.back().height >= tall) {
            tallOnes.push_back(all.back());
        }
    }
    Report(("pages at least " + std::to_string(tall) + " px tall").c_str(), tallOnes);
    Report("all pages", all);
    const auto tallest = std::max_element(all.begin(), all.end(),
                                          [](const Split& a, const Split& b) { return a.height < b.height; });
    if (tallest != all.end()) {
        Report(("the tallest, " + tallest->page + ", 1280 x " + std::to_string(tallest->height)).c_str(), {*tallest});
        std::printf("FastLZ block %.1f MB, PNG %.1f MB\n", tallest->compressed / 1e6, tallest->png / 1e6);
    }
    return 0;
}
