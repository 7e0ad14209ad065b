#ifndef ORVO_TOOLS_RENDER_COMMANDLINE_H
#define ORVO_TOOLS_RENDER_COMMANDLINE_H

#include <iosfwd>
#include <string>
#include <vector>

#include "Settings.h"

namespace Orvo {
namespace Render {

// Reads orvo-render's command line into Settings. The request options'
// flags, their checks and their usage lines come from the option schema; URLs come from the arguments
// and from --input (a file, or - for standard input). A plain file path is
// turned into a file:// URL.
class CommandLine {
public:
    enum class Action { Run, Help, Version, UsageError };

    // Parses args (without the program name); error says what was wrong on
    // UsageError.
    static Action Parse(const std::vector<std::string>& args, std::istream& standardInput, Settings& settings,
                        std::string& error);

    static std::string Usage();

    // The usage text's lines for the request options' flags, one each, from
    // the option schema.
    static std::string RequestOptionLines();

    // A URL for text: URLs stay as they are, existing file paths become
    // absolute file:// URLs.
    static std::string ToUrl(const std::string& text);
};

} // namespace Render
} // namespace Orvo

#endif
