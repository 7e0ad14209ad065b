#ifndef ORVO_TESTS_OCCURRENCES_H
#define ORVO_TESTS_OCCURRENCES_H

#include <cstddef>
#include <string>

namespace OrvoTest {

// How often part occurs in text (overlaps counted), starting before end.
inline std::size_t Occurrences(const std::string& text, const std::string& part,
                               std::size_t end = std::string::npos) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at < end && at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

} // namespace OrvoTest

#endif
