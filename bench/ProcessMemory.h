#ifndef ORVO_BENCH_PROCESSMEMORY_H
#define ORVO_BENCH_PROCESSMEMORY_H

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include <sys/types.h>

namespace OrvoBench {

// A "VmRSS:"-like field of a process's /proc status in KiB; 0 when the
// process or the field is not there.
inline long StatusKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix(field);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return 0;
}

inline long ResidentKiB(pid_t pid) {
    return StatusKiB(pid, "VmRSS:");
}

inline long PeakResidentKiB(pid_t pid) {
    return StatusKiB(pid, "VmHWM:");
}

// The process ids of pid's children, from all its threads.
inline std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (!boost::filesystem::is_directory(tasks)) {
        return children;
    }
    for (const auto& task : boost::filesystem::directory_iterator(tasks)) {
        std::ifstream file(task.path().string() + "/children");
        for (pid_t child = 0; file >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

} // namespace OrvoBench

#endif
