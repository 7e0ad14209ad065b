// The worker's INI file as its configuration reads it: any text is either
// read or refused with the option library's error, nothing else.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include <boost/program_options.hpp>

#include "Kernel/Configurator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace po = boost::program_options;
    po::options_description description;
    Orvo::Browser::Configurator::DescribeIniFile("Orvo.browser.webkit.Server", description);
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    try {
        po::variables_map variables;
        po::store(po::parse_config_file(stream, description, true), variables);
        po::notify(variables);
        variables["Orvo.browser.webkit.Server.logLevel"].as<std::string>();
        variables["Orvo.browser.webkit.Server.logFile"].as<std::string>();
    } catch (const po::error&) {
    }
    return 0;
}
