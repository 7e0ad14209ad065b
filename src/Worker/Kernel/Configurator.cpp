#include "Kernel/Configurator.h"

#include <exception>
#include <fstream>

#include <boost/filesystem/operations.hpp>
#include <log4cplus/loggingmacros.h>

#include "Support/LoggerFactory.h"

namespace po = boost::program_options;

namespace Orvo {
namespace Browser {

boost::shared_ptr<Configurator> Configurator::instance;

namespace {

const char* const FallbackIniFile = "app.ini";
const char* const PidPlaceholder = "{pid}";

} // namespace

Configurator::Configurator(int processId, const std::vector<std::string>& args, const std::string& optionPrefix,
                           const std::string& defaultIniFile, po::options_description& description)
    : processId(processId), optionPrefix(optionPrefix), logger(Logging::LoggerFactory::GetLogger("Configurator")) {
    try {
        Configure(args, defaultIniFile, description);
    } catch (const std::exception& e) {
        LOG4CPLUS_FATAL(logger, "Unable to configurate => " << e.what());
        throw;
    } catch (...) {
        LOG4CPLUS_FATAL(logger, "Unable to configurate.");
        throw;
    }
    if (!boost::filesystem::exists(configFile)) {
        configFile.clear();
    }
    LOG4CPLUS_INFO(logger, "Configuration file: " << configFile);
}

void Configurator::Configure(const std::vector<std::string>& args, const std::string& defaultIniFile,
                             po::options_description& description) {
    po::options_description allowed("Allowed options");
    allowed.add_options()("config,c", po::value<std::string>()->default_value(""), "Configuration INI file.")(
        "allow-file-urls", po::bool_switch(), "Load file: URLs too.")(
        "denied-networks", po::value<std::string>(), "Networks no request may reach.")(
        "engine", po::value<std::string>()->default_value("webkit"), "The page engine: webkit or chromium.")(
        "shared-group", po::value<std::string>(), "Share the worker's objects with this group.")(
        "max-pages", po::value<int>()->default_value(DefaultMaxPages), "Pages open at once at most.")(
        "recycle-pages", po::value<std::size_t>()->default_value(0), "Retire after taking this many requests.")(
        "recycle-rss", po::value<std::size_t>()->default_value(0), "Retire once resident memory passes this (MB).");
    DescribeIniFile(optionPrefix, description);

    po::store(po::command_line_parser(args).options(allowed).allow_unregistered().run(), variables);
    ChooseConfigFile(defaultIniFile);

    std::ifstream stream(configFile.c_str());
    po::store(po::parse_config_file(stream, description, true), variables);
    po::notify(variables);
    ApplyLogging();
}

void Configurator::DescribeIniFile(const std::string& optionPrefix, po::options_description& description) {
    description.add_options()
        ((optionPrefix + ".logLevel").c_str(), po::value<std::string>()->default_value("INFO"), "Log level.")
        ((optionPrefix + ".logFile").c_str(), po::value<std::string>()->default_value(""), "Log file store path.");
}

void Configurator::ChooseConfigFile(const std::string& defaultIniFile) {
    configFile = variables["config"].as<std::string>();
    if (configFile.empty() || !boost::filesystem::exists(configFile)) {
        configFile = defaultIniFile;
        if (!boost::filesystem::exists(defaultIniFile) && boost::filesystem::exists(FallbackIniFile)) {
            configFile = FallbackIniFile;
        }
    }
}

void Configurator::ApplyLogging() {
    const std::string logLevel = variables[optionPrefix + ".logLevel"].as<std::string>();
    std::string logFile = variables[optionPrefix + ".logFile"].as<std::string>();
    if (logLevel == "INFO" && logFile.empty()) {
        return;
    }
    const std::string::size_type at = logFile.find(PidPlaceholder);
    if (at != std::string::npos) {
        logFile.replace(at, std::char_traits<char>::length(PidPlaceholder), std::to_string(processId));
    }
    Logging::LoggerFactory::ConfigLogger("", logLevel, logFile);
}

} // namespace Browser
} // namespace Orvo
