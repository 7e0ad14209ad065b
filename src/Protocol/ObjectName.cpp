#include "Protocol/ObjectName.h"

#include <cstdio>
#include <stdexcept>

namespace Orvo {
namespace Interprocess {

namespace {

std::string Checked(const char* pattern, const char* buffer, int length) {
    if (length < 0 || length >= ObjectName::BufferSize) {
        throw std::invalid_argument(std::string("Name too long for \"") + pattern + "\": "
                                    + std::to_string(length) + " characters, at most "
                                    + std::to_string(ObjectName::BufferSize - 1));
    }
    return std::string(buffer, length);
}

} // namespace

std::string ObjectName::Format(const char* pattern, const std::string& text) {
    char buffer[BufferSize];
    return Checked(pattern, buffer, std::snprintf(buffer, sizeof buffer, pattern, text.c_str()));
}

std::string ObjectName::Format(const char* pattern, long number) {
    char buffer[BufferSize];
    return Checked(pattern, buffer, std::snprintf(buffer, sizeof buffer, pattern, number));
}

} // namespace Interprocess
} // namespace Orvo
