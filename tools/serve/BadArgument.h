#ifndef ORVO_TOOLS_SERVE_BADARGUMENT_H
#define ORVO_TOOLS_SERVE_BADARGUMENT_H

#include <stdexcept>
#include <string>

namespace Orvo {
namespace Serve {

// A render request's argument is missing or unusable: argument names it,
// what() says what is wrong with it.
class BadArgument : public std::invalid_argument {
public:
    BadArgument(const std::string& argument, const std::string& what)
        : std::invalid_argument(what), argument(argument) {}

    const std::string argument;
};

} // namespace Serve
} // namespace Orvo

#endif
