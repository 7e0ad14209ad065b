#include "Shell/ServerMain.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include <QApplication>
#include <QTimer>
#include <QWebSettings>
#include <QtGlobal>
#include <log4cplus/loggingmacros.h>
#include <unistd.h>

#include "Chromium/ChromiumWorker.h"
#include "Chromium/DevToolsPipe.h"
#include "Kernel/Configurator.h"
#include "Kernel/MainThreadWatchdog.h"
#include "Kernel/Server.h"
#include "Kernel/ServerMediator.h"
#include "Kernel/ServerTimes.h"
#include "Network/DeniedNetworks.h"
#include "Page/PageScripts.h"
#include "Process/HeapRelease.h"
#include "Protocol/ExitStatus.h"
#include "Protocol/ProgramFiles.h"
#include "Request/QRequestHandler.h"
#include "Scheduler/QMainRequestHandler.h"
#include "Shell/Initializer.h"
#include "Shell/QActivityTracker.h"
#include "Shell/QParentWatch.h"
#include "Shell/QStopSignals.h"
#include "Support/LoggerFactory.h"

namespace {

const char* const FontConfiguration = "orvo-fonts.conf";
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

// A local page may show its own files but not read other local files or
// remote URLs by script; a request's script runs with the same limits.
void ConfineLocalPages() {
    QWebSettings* settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, false);
}

// The worker's font configuration (web family names for the Liberation
// faces, generic families, a cache of its own) lies beside the program; a
// configuration chosen in the environment is kept.
void UseWorkerFonts() {
    if (!qEnvironmentVariableIsEmpty("FONTCONFIG_FILE")) {
        return;
    }
    const std::string path = Orvo::Browser::ProgramFiles::Beside(FontConfiguration);
    if (::access(path.c_str(), R_OK) == 0) {
        qputenv("FONTCONFIG_FILE", QByteArray::fromStdString(path));
    }
}

// The engine's script watchdog interrupts a script that runs past the limit
// (a loop in a page's own code, mostly), so that its page can still be
// answered. It does not reach every script: the main-thread watchdog is the
// backstop. A limit set in the environment is kept.
void LimitScriptRuns() {
    if (qEnvironmentVariableIsEmpty("JSC_watchdog")) {
        qputenv("JSC_watchdog", QByteArray::number(Orvo::Browser::ServerTimes::ScriptLimitMs()));
    }
}

// A --denied-networks that names no network stops start-up, as any other
// unusable setting does.
void CheckDeniedNetworks() {
    try {
        DeniedNetworks::Configured();
    } catch (const std::exception& e) {
        LOG4CPLUS_FATAL(Orvo::Logging::LoggerFactory::GetLogger(""),
                        "Unable to configurate => --denied-networks: " << e.what());
        throw;
    }
}

// The main thread is not coming back: answer every request it held, let
// the server remove the worker's shared names, and end with a status of
// its own so that whoever started the worker can tell.
[[noreturn]] void GiveUpStuckWorker(const std::string& name, const std::string& url) {
    const std::string why = "MainThreadWatchdog => main thread stuck for "
                            + std::to_string(Orvo::Browser::ServerTimes::StuckLimitMs()) + " ms on " + url + " ("
                            + name + ")";
    const boost::shared_ptr<Orvo::Browser::ServerMediator> mediator = Orvo::Browser::ServerMediator::instance;
    if (mediator) {
        mediator->GiveUp(why, name, Orvo::Browser::ExitStatus::MainThreadStuck, true);
    }
    LOG4CPLUS_FATAL(Orvo::Logging::LoggerFactory::GetLogger(""), why);
    std::cout.flush();
    std::_Exit(Orvo::Browser::ExitStatus::MainThreadStuck);
}

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) {
    stopRequested = 1;
}

// --engine names a page engine this worker has.
void CheckEngine() {
    const std::string engine = Orvo::Browser::Configurator::instance->Engine();
    if (engine != "webkit" && engine != "chromium") {
        LOG4CPLUS_FATAL(Orvo::Logging::LoggerFactory::GetLogger(""),
                        "Unable to configurate => --engine: " << engine << " is neither webkit nor chromium");
        throw std::invalid_argument("--engine");
    }
}

// The Chromium engine's worker: the browser starts before the worker takes
// requests, so that one that cannot start is a start-up failure. Scripts
// run in Qt's event loop, between the worker's requests.
int ServeWithChromium(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::signal(signal, &RequestStop);
    }
    PageScripts::Load();
    int code = 0;
    try {
        DevToolsPipe browser(ChromiumWorker::BrowserOptions());
        LOG4CPLUS_INFO(Orvo::Logging::LoggerFactory::GetLogger(""), "Chromium engine: " << browser.Product());
        const boost::shared_ptr<Orvo::Browser::ServerMediator> mediator =
            Orvo::Browser::ServerMediator::Create(::getpid());
        code = ChromiumWorker(browser, *mediator, *Orvo::Browser::Configurator::instance).Run(stopRequested);
    } catch (const DevToolsError& e) {
        LOG4CPLUS_FATAL(Orvo::Logging::LoggerFactory::GetLogger(""), "Unable to start the browser => " << e.what());
        code = Orvo::Browser::ExitStatus::StartupFailed;
    }
    Orvo::Browser::ServerMediator::instance.reset();
    Orvo::Browser::Server::instance.reset();
    return code;
}

} // namespace

int Main(int argc, char** argv) {
    Orvo::Browser::HeapRelease::TuneAllocator();
    if (Orvo::Browser::Initializer::AnswerInformation(argc, argv, std::cout)) {
        return 0;
    }
    try {
        Orvo::Browser::Initializer::InitServerMain(argc, argv);
        CheckDeniedNetworks();
        CheckEngine();
    } catch (...) {
        // Already logged at FATAL. Returning, rather than dying of the
        // exception, flushes that line and gives a plain exit status.
        return Orvo::Browser::ExitStatus::StartupFailed;
    }
    if (Orvo::Browser::Configurator::instance->Engine() == "chromium") {
        return ServeWithChromium(argc, argv);
    }
    log4cplus::Logger logger = Orvo::Logging::LoggerFactory::GetLogger("");
    SelectHeadlessPlatform();
    LimitScriptRuns();
    UseWorkerFonts();
    QApplication application(argc, argv);
    QStopSignals stopSignals(nullptr);
    QParentWatch parentWatch(nullptr);
    PageScripts::Load();
    KeepNoPagesInMemory();
    ConfineLocalPages();
    QMainRequestHandler* handler = new QMainRequestHandler(nullptr);
    handler->pollTimer = new QTimer(handler);
    QObject::connect(handler->pollTimer, SIGNAL(timeout()), handler, SLOT(OnPollTimer()));
    handler->pollTimer->start(PollIntervalMs);
    QObject::connect(&stopSignals, SIGNAL(Received(QString)), handler, SLOT(StopOnSignal(QString)));
    QObject::connect(&parentWatch, SIGNAL(Gone()), handler, SLOT(StopOnParentGone()));
    int code = 0;
    {
        Orvo::Browser::MainThreadWatchdog watchdog(
            std::chrono::milliseconds(Orvo::Browser::ServerTimes::StuckLimitMs()), &GiveUpStuckWorker);
        QActivityTracker tracker(watchdog, nullptr);
        code = application.exec();
    }
    LOG4CPLUS_INFO(logger, "Exit Main: " << code);
    // The sender thread may still be delivering: the mediator's ledger waits
    // for it, here, while logging and the rest of the process are still
    // whole.
    Orvo::Browser::ServerMediator::instance.reset();
    Orvo::Browser::Server::instance.reset();
    return code;
}
