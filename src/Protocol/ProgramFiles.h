#ifndef ORVO_PROTOCOL_PROGRAMFILES_H
#define ORVO_PROTOCOL_PROGRAMFILES_H

#include <string>

namespace Orvo {
namespace Browser {

// Files that lie beside the running program (the worker beside the tools
// that start it, the worker's font configuration beside the worker).
class ProgramFiles {
public:
    // The path of name in the running program's directory; name alone when
    // that directory cannot be found.
    static std::string Beside(const std::string& name);
};

} // namespace Browser
} // namespace Orvo

#endif
