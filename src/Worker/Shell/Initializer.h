#ifndef ORVO_WORKER_SHELL_INITIALIZER_H
#define ORVO_WORKER_SHELL_INITIALIZER_H

#include <ostream>
#include <string>

namespace Orvo {
namespace Browser {

// Process start-up before the GUI toolkit exists: logging to standard output
// at INFO, then the configuration (which may redirect the log).
class Initializer {
public:
    static const char* const OptionPrefix;
    static const char* const DefaultIniFile;

    // Sets up logging and builds Configurator::instance from argv. Returns
    // whether the configurator exists afterwards; a configuration error
    // propagates after it has been logged at FATAL.
    static bool InitServerMain(int argc, char** argv);

    // When argv holds --help (or -h) or --version, writes the usage or the
    // version to out and returns true: the worker then does not start.
    static bool AnswerInformation(int argc, char** argv, std::ostream& out);

private:
    // Warns when running as root; with a group, shares every object the
    // worker makes with it (an unknown group is a FATAL error that
    // propagates).
    static void ShareObjects(const std::string& group);
};

} // namespace Browser
} // namespace Orvo

#endif
