// orvo-render against the raw engine, in one run on the same pages: the
// corpus served on 127.0.0.1 with links to other hosts pointed back at the
// server, every page loaded once by each contender in each round, the
// contenders taking turns with the raw engine round after round (ROUNDS,
// default 3). The raw engine is qtwk-baseline (QtWebKit in one process, one
// page at a time, HTML and a full-page PNG), whose path is the first
// argument; every contender renders at a 1280 x 800 viewport. Printed per
// round and contender: pages rendered, seconds and pages per second; then
// per contender the median rate, its ratio to the raw engine's median and
// to the HTML-only median. Last, what each image format of orvo-render costs: the page
// snapshots the raw engine wrote are encoded again with the writers
// orvo-render uses and with Qt's PNG writer, and the median time per
// snapshot and the total size are printed. ORVO_BENCH_RENDER names another
// orvo-render program (an older build's), which then takes its turns too
// with PNG on 1 and 2 workers and JPEG on 2.

#include <chrono>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <boost/filesystem.hpp>

#include "Client/Snapshot.h"
#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"
#include "Median.h"
#include "Protocol/JpegWriter.h"
#include "Protocol/PngWriter.h"
#include "Rounds.h"
#include "WholeImagePng.h"

namespace {

using OrvoBench::Contender;
using OrvoTest::TestHttpServer;

// Writes image as one image format would, into path; returns its size.
typedef std::size_t (*Encoder)(const QImage& image, const std::string& path);

std::size_t FileSize(const std::string& path) {
    return static_cast<std::size_t>(boost::filesystem::file_size(path));
}

std::size_t WithQt(const QImage& image, const std::string& path, const char* format, int quality) {
    QImageWriter writer(QString::fromStdString(path), format);
    writer.setQuality(quality);
    writer.write(image);
    return FileSize(path);
}

Orvo::Browser::Client::Snapshot SnapshotOf(const QImage& image) {
    Orvo::Browser::Client::Snapshot snapshot;
    snapshot.width = image.width();
    snapshot.height = image.height();
    for (int y = 0; y < image.height(); ++y) {
        snapshot.rgb.insert(snapshot.rgb.end(), image.constScanLine(y), image.constScanLine(y) + 3 * image.width());
    }
    return snapshot;
}

// Bands: as many as the machine has cores (0), or that many.
template <int Level, int Bands>
std::size_t PngAt(const QImage& image, const std::string& path) {
    const Orvo::Browser::Client::Snapshot snapshot = SnapshotOf(image);
    std::string png;
    std::string error;
    const Orvo::Browser::PngWriter writer(Level, Bands > 0 ? Bands : Orvo::Browser::PngWriter::DefaultBands());
    writer.Encode(snapshot.rgb.data(), snapshot.width, snapshot.height, 3 * static_cast<std::size_t>(snapshot.width), png,
                  error);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(png.data(), static_cast<std::streamsize>(png.size()));
    return FileSize(path);
}

template <int Level, bool UseZlib>
std::size_t WholeImage(const QImage& image, const std::string& path) {
    const Orvo::Browser::Client::Snapshot snapshot = SnapshotOf(image);
    const std::string png =
        OrvoBench::WholeImagePng(snapshot.rgb.data(), snapshot.width, snapshot.height, Level, UseZlib);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(png.data(), static_cast<std::streamsize>(png.size()));
    return FileSize(path);
}

std::size_t QtPngLevel1(const QImage& image, const std::string& path) {
    return WithQt(image, path, "png", 89);
}

std::size_t QtPngDefault(const QImage& image, const std::string& path) {
    return WithQt(image, path, "png", -1);
}

std::size_t QtJpeg80(const QImage& image, const std::string& path) {
    return WithQt(image, path, "jpeg", 80);
}

std::size_t Jpeg80(const QImage& image, const std::string& path) {
    std::string jpeg;
    std::string error;
    Orvo::Browser::JpegWriter(80).Encode(image.constBits(), image.width(), image.height(),
                                         static_cast<std::size_t>(image.bytesPerLine()),
                                         Orvo::Browser::JpegWriter::Order::Rgb, jpeg, error);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(jpeg.data(), static_cast<std::streamsize>(jpeg.size()));
    return FileSize(path);
}

std::size_t QtBmp(const QImage& image, const std::string& path) {
    return WithQt(image, path, "bmp", -1);
}

// Encodes every image with each writer: median ms per image, total bytes.
void ImageCosts(const std::string& directory) {
    std::vector<QImage> images;
    for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".png" && images.size() < 40) {
            images.push_back(
                QImage(QString::fromStdString(entry.path().string())).convertToFormat(QImage::Format_RGB888));
        }
    }
    if (images.empty()) {
        return;
    }
    const std::vector<std::pair<const char*, Encoder>> encoders = {
        {"PNG, level 1 (ISA-L), no filter, bands (used)", &PngAt<1, 0>},
        {"PNG, level 1 (ISA-L), no filter, one band", &PngAt<1, 1>},
        {"PNG, zlib level 2, no filter, bands", &PngAt<2, 0>},
        {"PNG, zlib level 1, no filter, whole image", &WholeImage<1, true>},
        {"PNG, libdeflate, no filter, level 1", &WholeImage<1, false>},
        {"PNG, libdeflate, no filter, level 2", &WholeImage<2, false>},
        {"PNG, Qt's writer, level 1", &QtPngLevel1},
        {"PNG, Qt's writer, its default level", &QtPngDefault},
        {"JPEG, libjpeg-turbo, quality 80 (used)", &Jpeg80},
        {"JPEG, Qt's writer, quality 80 (before)", &QtJpeg80},
        {"BMP, Qt's writer (used)", &QtBmp}};
    std::printf("\n%zu snapshots of the raw engine's run, encoded again (one warms up)\n%-44s %10s %10s\n", images.size(), "writer",
                "median ms", "total MB");
    const std::string path = directory + "/encoded";
    // The writers take turns on each image, each image starting with the
    // next one, so that none pays alone for what the machine does meanwhile
    // (the file the last one wrote going to disk); the first image warms
    // them up.
    std::vector<std::vector<double>> times(encoders.size());
    std::vector<double> bytes(encoders.size());
    for (std::size_t k = 0; k < images.size(); ++k) {
        for (std::size_t turn = 0; turn < encoders.size(); ++turn) {
            const std::size_t e = (k + turn) % encoders.size();
            const auto start = std::chrono::steady_clock::now();
            const double size = static_cast<double>(encoders[e].second(images[k], path));
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (k > 0) {
                times[e].push_back(std::chrono::duration<double, std::milli>(elapsed).count());
                bytes[e] += size;
            }
        }
    }
    for (std::size_t e = 0; e < encoders.size(); ++e) {
        std::printf("%-44s %10.1f %10.1f\n", encoders[e].first, OrvoBench::Median(times[e]), bytes[e] / 1e6);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-bench-compare QTWK_BASELINE\n");
        return 2;
    }
    OrvoBench::Corpus corpus;
    if (!corpus.LoadPointingHere()) {
        return 1;
    }
    TestHttpServer server([&corpus](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    OrvoTest::TemporaryDirectory work;
    std::string urls;
    for (const std::string& url : corpus.Urls(server)) {
        urls += url + "\n";
    }
    work.Write("urls.txt", urls);
    const std::string list = work.path + "/urls.txt";
    const std::string render = std::string(ORVO_RENDER_BINARY) + " --quiet --viewport 1280x800 --input " + list;
    const std::string rendered = "\"outcome\":\"rendered\"";
    const std::string htmlOnly = "orvo-render, 2 workers, --no-snapshot";
    const std::string results = "results.jsonl";
    std::vector<Contender> contenders = {
        {"raw engine, in-process, PNG",
         "mkdir -p DIR && QT_QPA_PLATFORM=offscreen " + std::string(argv[1])
             + " --concurrency 1 --width 1280 --height 800 --out DIR " + list + " > DIR/raw.txt 2>/dev/null",
         "raw.txt", "\tok\t"},
        {"orvo-render, 1 worker, PNG", render + " --out DIR --workers 1", results, rendered},
        {"orvo-render, 2 workers, PNG", render + " --out DIR --workers 2", results, rendered},
        {"orvo-render, 2 workers, JPEG", render + " --out DIR --workers 2 --image jpeg", results, rendered},
        {"orvo-render, 1 worker, --no-snapshot", render + " --out DIR --workers 1 --no-snapshot", results, rendered},
        {htmlOnly, render + " --out DIR --workers 2 --no-snapshot", results, rendered},
    };
    const char* const other = std::getenv("ORVO_BENCH_RENDER");
    if (other != nullptr) {
        const std::string otherRender = std::string(other) + " --quiet --viewport 1280x800 --input " + list;
        contenders.push_back({"other orvo-render, 1 worker, PNG", otherRender + " --out DIR --workers 1", results, rendered});
        contenders.push_back({"other orvo-render, 2 workers, PNG", otherRender + " --out DIR --workers 2", results, rendered});
        contenders.push_back({"other orvo-render, 2 workers, JPEG", otherRender + " --out DIR --workers 2 --image jpeg",
                              results, rendered});
    }
    // With 0 rounds the raw engine runs once alone, for the image costs.
    const int rounds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 3;
    const std::size_t running = rounds == 0 ? 1 : contenders.size();
    std::map<std::string, std::vector<double>> rates =
        OrvoBench::RunRounds(contenders, running, std::max(rounds, 1), corpus.pages.size(), work.path);
    const double raw = OrvoBench::Median(rates[contenders[0].name]);
    const double html = OrvoBench::Median(rates[htmlOnly]);
    std::printf("\nmedians\n%-40s %9s %9s %9s\n", "contender", "pages/s", "vs raw", "vs html");
    for (const Contender& contender : contenders) {
        const double rate = OrvoBench::Median(rates[contender.name]);
        std::printf("%-40s %9.2f %9.2f %9.2f\n", contender.name.c_str(), rate, raw > 0 ? rate / raw : 0.0,
                    html > 0 ? rate / html : 0.0);
    }
    ImageCosts(work.path + "/run0");
    return 0;
}
