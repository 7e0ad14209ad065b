#ifndef ORVO_BENCH_PROCESSMEMORY_H
#define ORVO_BENCH_PROCESSMEMORY_H

#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include <sys/types.h>

namespace OrvoBench {

// A "VmRSS:"-like field in KiB of a process's /proc file ("status",
// "smaps_rollup"); 0 when the process, the file or the field is not there.
inline long ProcFieldKiB(pid_t pid, const char* file, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/" + file);
    const std::string prefix(field);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return 0;
}

inline long StatusKiB(pid_t pid, const char* field) {
    return ProcFieldKiB(pid, "status", field);
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

// pid and every process below it.
inline std::vector<pid_t> TreeOf(pid_t pid) {
    std::vector<pid_t> tree{pid};
    for (std::size_t k = 0; k < tree.size(); ++k) {
        for (pid_t child : ChildrenOf(tree[k])) {
            tree.push_back(child);
        }
    }
    return tree;
}

// The resident memory of pid's tree: summed resident sizes (pages shared
// between the processes count once per process) and summed proportional
// sizes (each shared page split among its sharers), in KiB.
struct TreeMemory {
    long residentKiB = 0;
    long proportionalKiB = 0;
};

inline TreeMemory TreeMemoryOf(pid_t pid) {
    TreeMemory memory;
    for (pid_t process : TreeOf(pid)) {
        memory.residentKiB += ResidentKiB(process);
        memory.proportionalKiB += ProcFieldKiB(process, "smaps_rollup", "Pss:");
    }
    return memory;
}

} // namespace OrvoBench

#endif
