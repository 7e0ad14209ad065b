#ifndef ORVO_PROTOCOL_OBJECTNAME_H
#define ORVO_PROTOCOL_OBJECTNAME_H

#include <string>

namespace Orvo {
namespace Interprocess {

// Builds the names of shared objects from a printf pattern with one
// argument. Names must fit a 512-byte buffer with its terminating zero, the
// limit both ends of the protocol share; a longer name is rejected with
// std::invalid_argument rather than cut short.
class ObjectName {
public:
    static constexpr int BufferSize = 512;

    // pattern holds exactly one "%s".
    static std::string Format(const char* pattern, const std::string& text);
    // pattern holds exactly one "%ld".
    static std::string Format(const char* pattern, long number);
};

} // namespace Interprocess
} // namespace Orvo

#endif
