#include "Shell/Initializer.h"

#include <string>
#include <vector>

#include <boost/program_options/options_description.hpp>
#include <unistd.h>

#include <log4cplus/loggingmacros.h>

#include "Kernel/Configurator.h"
#include "Protocol/SharedAccess.h"
#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

const char* const Initializer::OptionPrefix = "Orvo.browser.webkit.Server";
const char* const Initializer::DefaultIniFile = "Orvo.browser.webkit.ini";

namespace {

const char* const Usage =
    "Usage: orvo-browser [-c FILE | --config FILE] [--engine webkit|chromium] [--allow-file-urls]\n"
    "                    [--denied-networks LIST]\n"
    "                    [--shared-group NAME] [--max-pages N] [--recycle-pages N] [--recycle-rss MB]\n"
    "                    [Qt options]\n"
    "\n"
    "A headless page-rendering worker. It creates the request segment\n"
    "Orvo_Browser_PID_Request and the ready marker Orvo_Browser_PID_Ready, renders\n"
    "the pages clients queue there, and ends once idle.\n"
    "\n"
    "  -c, --config FILE     the INI file (default Orvo.browser.webkit.ini, else app.ini,\n"
    "                        in the working directory)\n"
    "  --engine NAME         webkit (the default) or chromium: a headless Chromium driven over\n"
    "                        the DevTools protocol renders the pages (as yet one at a time,\n"
    "                        with the options snapshot, keep, delay, timeout, maxHeight,\n"
    "                        viewport, headers, cookie and script)\n"
    "  --allow-file-urls     load file: URLs too\n"
    "  --denied-networks LIST  no request of a page reaches these networks (ADDRESS/BITS,\n"
    "                        separated by commas; a host name is looked up first)\n"
    "  --shared-group NAME   share the worker's shared objects and result files with NAME\n"
    "  --max-pages N         pages open at once at most (default 32)\n"
    "  --recycle-pages N     retire after taking N requests (default 0: never)\n"
    "  --recycle-rss MB      retire once resident memory passes MB (default 0: never)\n"
    "                        A retiring worker removes its ready marker, answers every request\n"
    "                        it was sent, and exits with status 5.\n"
    "  --help, --version     this text, the version\n"
    "Other arguments go to Qt (-platform NAME, for instance).\n"
    "\n"
    "INI file, section [Orvo.browser.webkit.Server]:\n"
    "  logLevel=LEVEL        TRACE, DEBUG, INFO, WARN, ERROR or FATAL (default INFO)\n"
    "  logFile=PATH          appended to; {pid} becomes the process id (default: standard output)\n"
    "\n"
    "Environment:\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM   without any of them, Qt's offscreen platform\n"
    "  FONTCONFIG_FILE       a font configuration instead of the worker's orvo-fonts.conf\n"
    "  JSC_watchdog          ms a page script may run before the engine interrupts it (10000)\n"
    "  ORVO_TEST_TIME_DIVISOR   tests only: divides the worker's long waits\n"
    "\n"
    "SIGTERM, SIGINT and SIGHUP stop the worker: it answers what it holds and exits 0.\n";

} // namespace

void Initializer::ShareObjects(const std::string& group) {
    const log4cplus::Logger logger = Logging::LoggerFactory::GetLogger("");
    if (::geteuid() == 0) {
        LOG4CPLUS_WARN(logger, "Running as root: any page bug is a root bug; run the worker as a user of its own");
    }
    if (group.empty()) {
        return;
    }
    try {
        Interprocess::SharedAccess::ShareWithGroup(group);
    } catch (const std::exception& e) {
        LOG4CPLUS_FATAL(logger, "Unable to configurate => " << e.what());
        throw;
    }
}

bool Initializer::AnswerInformation(int argc, char** argv, std::ostream& out) {
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--help" || arg == "-h") {
            out << Usage;
            return true;
        }
        if (arg == "--version") {
            out << "orvo-browser " << ORVO_VERSION << "\n";
            return true;
        }
    }
    return false;
}

bool Initializer::InitServerMain(int argc, char** argv) {
    Logging::LoggerFactory::InitLogger();
    boost::program_options::options_description description("Options");
    const int processId = getpid();
    const std::vector<std::string> args(argv, argv + argc);
    if (!Configurator::instance) {
        Configurator::instance.reset(new Configurator(processId, args, OptionPrefix, DefaultIniFile, description));
        ShareObjects(Configurator::instance->SharedGroup());
    }
    return static_cast<bool>(Configurator::instance);
}

} // namespace Browser
} // namespace Orvo
