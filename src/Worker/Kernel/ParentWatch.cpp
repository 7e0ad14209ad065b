#include "Kernel/ParentWatch.h"

#include <cstdlib>

#include <unistd.h>

#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

namespace {

pid_t NamedParent() {
    const char* text = std::getenv(WireFormat::ParentPidVariable);
    char* end = nullptr;
    const long pid = text != nullptr ? std::strtol(text, &end, 10) : 0;
    return text != nullptr && *text != '\0' && *end == '\0' && pid > 1 ? static_cast<pid_t>(pid) : 0;
}

} // namespace

ParentWatch::ParentWatch() : watched(NamedParent()) {}

bool ParentWatch::Gone() const {
    return watched != 0 && ::getppid() != watched;
}

} // namespace Browser
} // namespace Orvo
