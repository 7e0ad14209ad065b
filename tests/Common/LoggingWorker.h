#ifndef ORVO_TESTS_LOGGINGWORKER_H
#define ORVO_TESTS_LOGGINGWORKER_H

#include <memory>
#include <string>
#include <vector>

#include "Client/Worker.h"
#include "Common/TemporaryDirectory.h"

namespace OrvoTest {

// Starts the real worker in directory, on Qt's offscreen platform, logging
// at DEBUG into directory's worker.log (its standard output goes to
// worker.out); environment adds NAME=VALUE entries to the worker's, and
// arguments are given to it.
inline std::unique_ptr<Orvo::Browser::Client::Worker> StartLoggingWorker(
    const TemporaryDirectory& directory, const std::vector<std::string>& environment = {},
    const std::vector<std::string>& arguments = {}) {
    directory.Write("Orvo.browser.webkit.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=worker.log\n");
    Orvo::Browser::Client::Worker::StartOptions options;
    options.program = ORVO_BROWSER_BINARY;
    options.directory = directory.path;
    options.logFile = directory.path + "/worker.out";
    options.environment = {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    options.arguments = arguments;
    return Orvo::Browser::Client::Worker::Start(options);
}

} // namespace OrvoTest

#endif
