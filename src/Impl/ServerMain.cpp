#include "Impl/ServerMain.h"

#include <QApplication>
#include <QTimer>
#include <QWebSettings>
#include <QtGlobal>
#include <log4cplus/loggingmacros.h>

#include "Impl/Initializer.h"
#include "Impl/PageScripts.h"
#include "Impl/QMainRequestHandler.h"
#include "Kernel/Server.h"
#include "Kernel/ServerMediator.h"
#include "Support/LoggerFactory.h"

namespace {

const int StartupFailed = 1;
const int PollIntervalMs = 50;

// Without a display the worker still has to start: pick Qt's offscreen
// platform unless the caller chose a platform or a display exists. A
// -platform argument overrides the environment inside Qt.
void SelectHeadlessPlatform() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

// Every request must reach the network: a page that the engine took from
// its memory cache would have no reply to judge it by, and a crawler wants
// the page as it is now.
void KeepNoPagesInMemory() {
    QWebSettings::setObjectCacheCapacities(0, 0, 0);
    QWebSettings::setMaximumPagesInCache(0);
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
    PageScripts::Load();
    KeepNoPagesInMemory();
    QMainRequestHandler* handler = new QMainRequestHandler(nullptr);
    handler->pollTimer = new QTimer(handler);
    QObject::connect(handler->pollTimer, SIGNAL(timeout()), handler, SLOT(OnPollTimer()));
    handler->pollTimer->start(PollIntervalMs);
    const int code = application.exec();
    LOG4CPLUS_INFO(logger, "Exit Main: " << code);
    // Sender threads may still be delivering: the mediator waits for them,
    // here, while logging and the rest of the process are still whole.
    Orvo::Browser::ServerMediator::instance.reset();
    Orvo::Browser::Server::instance.reset();
    return code;
}
