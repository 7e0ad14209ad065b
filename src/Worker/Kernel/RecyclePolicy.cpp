#include "Kernel/RecyclePolicy.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include <boost/filesystem.hpp>

#include "Kernel/Configurator.h"

#include <unistd.h>

namespace Orvo {
namespace Browser {

namespace {

const std::size_t BytesPerMb = 1024 * 1024;

} // namespace

RecyclePolicy::RecyclePolicy(std::size_t maxPages, std::size_t maxResidentMb)
    : maxPages(maxPages), maxResidentMb(maxResidentMb) {}

RecyclePolicy RecyclePolicy::Of(const Configurator& configuration) {
    return RecyclePolicy(configuration.RecyclePages(), configuration.RecycleRssMb());
}

RecyclePolicy RecyclePolicy::OfConfiguration() {
    const boost::shared_ptr<Configurator> configurator = Configurator::instance;
    return configurator ? Of(*configurator) : RecyclePolicy(0, 0);
}

std::string RecyclePolicy::Due(std::size_t pagesTaken, std::size_t residentBytes) const {
    if (maxPages != 0 && pagesTaken >= maxPages) {
        return "took " + std::to_string(pagesTaken) + " requests (limit " + std::to_string(maxPages) + ")";
    }
    if (maxResidentMb != 0 && residentBytes > maxResidentMb * BytesPerMb) {
        return "resident memory " + std::to_string(residentBytes / BytesPerMb) + " MB (limit "
               + std::to_string(maxResidentMb) + " MB)";
    }
    return std::string();
}

std::size_t RecyclePolicy::ResidentBytes() {
    return ResidentBytesOf("/proc/self/statm");
}

std::size_t RecyclePolicy::TreeResidentBytes(pid_t root) {
    // Parents as /proc/PID/stat gives them, after the command's ')'.
    std::map<pid_t, pid_t> parents;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::ifstream stat(entry->path().string() + "/stat");
        std::string line;
        if (name.find_first_not_of("0123456789") != std::string::npos || !std::getline(stat, line)) {
            continue;
        }
        const std::size_t close = line.rfind(')');
        long parent = 0;
        if (close != std::string::npos && std::istringstream(line.substr(close + 4)) >> parent) {
            parents[static_cast<pid_t>(std::stol(name))] = static_cast<pid_t>(parent);
        }
    }
    std::size_t bytes = 0;
    for (const auto& process : parents) {
        pid_t up = process.first;
        while (up > 1 && up != root && parents.count(up) != 0) {
            up = parents[up];
        }
        if (up == root) {
            bytes += ResidentBytesOf("/proc/" + std::to_string(process.first) + "/statm");
        }
    }
    return bytes;
}

std::size_t RecyclePolicy::ResidentBytesOf(const std::string& path) {
    std::FILE* statm = std::fopen(path.c_str(), "r");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const bool read = std::fscanf(statm, "%lu %lu", &size, &resident) == 2;
    std::fclose(statm);
    return read ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace Browser
} // namespace Orvo
