#include "Impl/Initializer.h"

#include <string>
#include <vector>

#include <boost/program_options/options_description.hpp>
#include <unistd.h>

#include "Kernel/Configurator.h"
#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

const char* const Initializer::OptionPrefix = "Orvo.browser.webkit.Server";
const char* const Initializer::DefaultIniFile = "Orvo.browser.webkit.ini";

bool Initializer::InitServerMain(int argc, char** argv) {
    Logging::LoggerFactory::InitLogger();
    boost::program_options::options_description description("Options");
    const int processId = getpid();
    const std::vector<std::string> args(argv, argv + argc);
    if (!Configurator::instance) {
        Configurator::instance.reset(new Configurator(processId, args, OptionPrefix, DefaultIniFile, description));
    }
    return static_cast<bool>(Configurator::instance);
}

} // namespace Browser
} // namespace Orvo
