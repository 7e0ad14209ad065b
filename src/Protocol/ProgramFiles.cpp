#include "Protocol/ProgramFiles.h"

#include <unistd.h>

namespace Orvo {
namespace Browser {

std::string ProgramFiles::Beside(const std::string& name) {
    char program[4096];
    const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) {
        return name;
    }
    const std::string path(program, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

} // namespace Browser
} // namespace Orvo
