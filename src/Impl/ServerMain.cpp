#include "Impl/ServerMain.h"

#include <QApplication>
#include <QtGlobal>
#include <log4cplus/loggingmacros.h>

#include "Impl/Initializer.h"
#include "Support/LoggerFactory.h"

namespace {

const int StartupFailed = 1;

// Without a display the worker still has to start: pick Qt's offscreen
// platform unless the caller chose a platform or a display exists. A
// -platform argument overrides the environment inside Qt.
void SelectHeadlessPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

} // namespace

int Main(int argc, char** argv) {
    try {
        Orvo::Browser::Initializer::InitServerMain(argc, argv);
    } catch (...) {
        // Already logged at FATAL. Returning, rather than dying of the
        // exception, flushes that line and gives a plain exit status.
        return StartupFailed;
    }
    log4cplus::Logger logger = Orvo::Logging::LoggerFactory::GetLogger("");
    SelectHeadlessPlatform();
    QApplication application(argc, argv);
    // The request handler that polls for requests and ends the event loop
    // joins here; until it does, start-up ends once the application exists.
    const int code = 0;
    LOG4CPLUS_INFO(logger, "Exit Main: " << code);
    return code;
}
