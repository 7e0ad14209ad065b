#ifndef ORVO_KERNEL_CONFIGURATOR_H
#define ORVO_KERNEL_CONFIGURATOR_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <boost/shared_ptr.hpp>
#include <log4cplus/logger.h>

namespace Orvo {
namespace Browser {

// Reads the worker's command line and one INI file and applies the result to
// logging; the constructor does all the work. The command line knows
// -c/--config FILE, --allow-file-urls, --denied-networks LIST, --engine NAME,
// --shared-group NAME, --max-pages N, --recycle-pages N and --recycle-rss MB; every other argument is ignored
// here and left to the GUI toolkit. The INI file knows two keys under the section named by
// the option prefix: logLevel (default "INFO") and logFile (default empty,
// meaning standard output; its first "{pid}" becomes the process id).
//
// The file is the one named by --config when it exists, else the default
// INI file, else "app.ini" when that exists. A missing file is not an error.
// An option-library or file-system error is logged at FATAL and rethrown, so
// that start-up does not go on.
class Configurator {
public:
    static boost::shared_ptr<Configurator> instance;

    Configurator(int processId, const std::vector<std::string>& args, const std::string& optionPrefix,
                 const std::string& defaultIniFile, boost::program_options::options_description& description);

    // The file that was read; empty when none exists.
    const std::string& ConfigFile() const { return configFile; }

    // Whether the command line allowed file: URLs (--allow-file-urls).
    bool AllowFileUrls() const {
        return variables.count("allow-file-urls") != 0 && variables["allow-file-urls"].as<bool>();
    }

    static constexpr int DefaultMaxPages = 32;

    // How many pages may be open at once (--max-pages, at least 1).
    int MaxPages() const {
        return variables.count("max-pages") != 0 ? std::max(1, variables["max-pages"].as<int>()) : DefaultMaxPages;
    }

    // When the worker retires: after --recycle-pages requests taken, or
    // once its resident memory passes --recycle-rss MB (0: never).
    std::size_t RecyclePages() const { return variables["recycle-pages"].as<std::size_t>(); }
    std::size_t RecycleRssMb() const { return variables["recycle-rss"].as<std::size_t>(); }

    // The networks given with --denied-networks (ADDRESS/BITS, separated by
    // commas); empty when none.
    std::string DeniedNetworks() const {
        return variables.count("denied-networks") != 0 ? variables["denied-networks"].as<std::string>()
                                                       : std::string();
    }

    // The page engine given with --engine: "webkit" (the default) or
    // "chromium"; any other text as given.
    std::string Engine() const {
        return variables.count("engine") != 0 ? variables["engine"].as<std::string>() : std::string("webkit");
    }

    // The group given with --shared-group; empty when none.
    std::string SharedGroup() const {
        return variables.count("shared-group") != 0 ? variables["shared-group"].as<std::string>() : std::string();
    }

    // Adds the INI file's keys, under the section optionPrefix, to
    // description.
    static void DescribeIniFile(const std::string& optionPrefix,
                                boost::program_options::options_description& description);

private:
    void Configure(const std::vector<std::string>& args, const std::string& defaultIniFile,
                   boost::program_options::options_description& description);
    void ChooseConfigFile(const std::string& defaultIniFile);
    void ApplyLogging();

    int processId;
    std::string configFile;
    std::string optionPrefix;
    boost::program_options::variables_map variables;
    log4cplus::Logger logger;
};

} // namespace Browser
} // namespace Orvo

#endif
