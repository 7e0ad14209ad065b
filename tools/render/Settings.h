#ifndef ORVO_TOOLS_RENDER_SETTINGS_H
#define ORVO_TOOLS_RENDER_SETTINGS_H

#include <cstddef>
#include <string>
#include <vector>

#include "Protocol/PngBandWriter.h"
#include "Protocol/Request.h"

namespace Orvo {
namespace Render {

// What one run of orvo-render is asked to do, as read from its command line.
struct Settings {
    std::vector<std::string> urls;
    Browser::Request::Options options;
    std::string outDirectory = "orvo-out";
    int workers = 1;
    int inFlight = 8;
    int workerPid = 0;
    // The page engine of the workers started: "webkit" or "chromium".
    std::string engine = "webkit";
    // Recycling limits of the workers started (0: none): a retiring worker
    // is replaced at once and answers what it holds beside its successor.
    std::size_t recyclePages = 0;
    std::size_t recycleRssMb = 0;
    int timeoutSeconds = 310;
    // --timeout was given.
    bool timeoutSet = false;
    std::string imageFormat = "png";
    int pngLevel = Browser::PngBandWriter::FastLevel;
    int jpegQuality = 80;
    int writers = 0;  // threads writing files; 0: one per core
    bool raw = false;
    // Some URL is a file: URL: the workers started must load them.
    bool allowFileUrls = false;
    bool quiet = false;
    // A fleet's queue, redis://HOST:PORT[/DB], renders the URLs instead of
    // workers of the run's own.
    std::string queue;
    std::string queueName = "orvo";
};

} // namespace Render
} // namespace Orvo

#endif
