// orvo-render against the raw engine, in one run on the same pages: the
// corpus served on 127.0.0.1 with links to other hosts pointed back at the
// server, every page loaded once by each contender. The raw engine is
// qtwk-baseline (QtWebKit in one process, one page at a time, HTML and a
// full-page PNG at 800 px), whose path is the first argument. Printed per
// contender: pages rendered, seconds, pages per second and the ratio to the
// raw engine. Last, what each image format of orvo-render costs: the page
// snapshots the raw engine wrote are encoded again with Qt's writers as
// orvo-render sets them, and the median time per snapshot and the total
// size are printed.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <algorithm>
#include <boost/filesystem.hpp>

#include "Common/TemporaryDirectory.h"
#include "Common/TestHttpServer.h"
#include "Corpus.h"

namespace {

using OrvoTest::TestHttpServer;

struct Contender {
    std::string name;
    std::string command;
    // Counts the pages it rendered, from what it wrote.
    std::string (*outputFile)(const std::string& directory);
    std::string renderedMark;
};

std::string RawOutput(const std::string& directory) {
    return directory + "/raw.txt";
}

std::string RenderOutput(const std::string& directory) {
    return directory + "/results.jsonl";
}

std::size_t CountLines(const std::string& path, const std::string& mark) {
    std::ifstream file(path);
    std::size_t count = 0;
    for (std::string line; std::getline(file, line);) {
        count += line.find(mark) != std::string::npos ? 1 : 0;
    }
    return count;
}

struct ImageSetting {
    std::string name;
    const char* format;
    int quality;
};

// Encodes every image with each setting: median ms per image, total bytes.
void ImageCosts(const std::string& directory) {
    std::vector<QImage> images;
    for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
        if (entry.path().extension() == ".png" && images.size() < 40) {
            images.push_back(QImage(QString::fromStdString(entry.path().string())).convertToFormat(QImage::Format_RGB888));
        }
    }
    if (images.empty()) {
        return;
    }
    const std::vector<ImageSetting> settings = {{"PNG, zlib level 1 (default)", "png", 89},
                                                {"PNG, zlib level 6 (Qt's default)", "png", -1},
                                                {"JPEG, quality 80", "jpeg", 80},
                                                {"BMP", "bmp", -1}};
    std::printf("\n%zu snapshots of the raw engine's run, encoded again\n%-34s %12s %12s\n", images.size(), "format",
                "median ms", "total MB");
    for (const ImageSetting& setting : settings) {
        std::vector<double> times;
        double bytes = 0;
        for (const QImage& image : images) {
            QBuffer buffer;
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, setting.format);
            writer.setQuality(setting.quality);
            const auto start = std::chrono::steady_clock::now();
            writer.write(image);
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            bytes += buffer.size();
        }
        std::sort(times.begin(), times.end());
        std::printf("%-34s %12.1f %12.1f\n", setting.name.c_str(), times[times.size() / 2], bytes / 1e6);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-bench-compare QTWK_BASELINE\n");
        return 2;
    }
    OrvoBench::Corpus corpus;
    if (!corpus.Load(OrvoBench::Corpus::Directory(), &OrvoBench::Corpus::PointLinksHere)) {
        std::fprintf(stderr, "no corpus at %s\n", OrvoBench::Corpus::Directory().c_str());
        return 1;
    }
    TestHttpServer server([&corpus](const TestHttpServer::Request& request) { return corpus.Serve(request); });
    OrvoTest::TemporaryDirectory work;
    std::string urls;
    for (const auto& page : corpus.pages) {
        urls += server.Url(page.first) + "\n";
    }
    work.Write("urls.txt", urls);
    const std::string list = work.path + "/urls.txt";
    const std::string render = std::string(ORVO_RENDER_BINARY) + " --quiet --input " + list;
    const std::vector<Contender> contenders = {
        {"raw engine, in-process, PNG",
         "mkdir -p DIR && QT_QPA_PLATFORM=offscreen " + std::string(argv[1])
             + " --concurrency 1 --width 800 --height 600 --out DIR " + list + " > DIR/raw.txt 2>/dev/null",
         &RawOutput, "\tok\t"},
        {"orvo-render, 1 worker, PNG", render + " --out DIR --workers 1", &RenderOutput, "\"outcome\":\"rendered\""},
        {"orvo-render, 2 workers, PNG", render + " --out DIR --workers 2", &RenderOutput, "\"outcome\":\"rendered\""},
        {"orvo-render, 2 workers, JPEG", render + " --out DIR --workers 2 --image jpeg", &RenderOutput,
         "\"outcome\":\"rendered\""},
        {"orvo-render, 2 workers, --no-snapshot", render + " --out DIR --workers 2 --no-snapshot", &RenderOutput,
         "\"outcome\":\"rendered\""},
    };
    std::printf("%zu pages\n%-40s %9s %9s %9s %9s\n", corpus.pages.size(), "contender", "rendered", "seconds",
                "pages/s", "vs raw");
    double rawRate = 0;
    for (std::size_t k = 0; k < contenders.size(); ++k) {
        const std::string directory = work.path + "/run" + std::to_string(k);
        std::string command = contenders[k].command;
        for (std::size_t at = command.find("DIR"); at != std::string::npos; at = command.find("DIR", at)) {
            command.replace(at, 3, directory);
        }
        const auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) == -1) {
            std::fprintf(stderr, "cannot run: %s\n", command.c_str());
            continue;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double rate = corpus.pages.size() / seconds;
        rawRate = k == 0 ? rate : rawRate;
        std::printf("%-40s %9zu %9.1f %9.2f %9.2f\n", contenders[k].name.c_str(),
                    CountLines(contenders[k].outputFile(directory), contenders[k].renderedMark), seconds, rate,
                    rawRate > 0 ? rate / rawRate : 0.0);
        std::fflush(stdout);
    }
    ImageCosts(work.path + "/run0");
    return 0;
}
