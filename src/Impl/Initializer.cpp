#include "Impl/Initializer.h"

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
