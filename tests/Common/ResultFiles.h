#ifndef ORVO_TESTS_RESULTFILES_H
#define ORVO_TESTS_RESULTFILES_H

#include <set>
#include <string>

#include <boost/filesystem.hpp>

namespace OrvoTest {

// The temporary files /tmp/_BWIMPL_* that results over the size limit
// travel in.
inline std::set<std::string> ResultFiles() {
    std::set<std::string> files;
    for (const auto& entry : boost::filesystem::directory_iterator("/tmp")) {
        if (entry.path().filename().string().rfind("_BWIMPL_", 0) == 0) {
            files.insert(entry.path().string());
        }
    }
    return files;
}

} // namespace OrvoTest

#endif
