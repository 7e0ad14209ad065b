#include "Client/StaleObjects.h"

#include <cerrno>
#include <cstdlib>

#include <boost/filesystem.hpp>
#include <signal.h>
#include <unistd.h>

#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

const char* const Prefixes[] = {WireFormat::WorkerPrefix, WireFormat::ClientPrefix};
const char* const SemaphorePrefix = "sem.";

bool Alive(long pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

} // namespace

long StaleObjects::OwnerOf(const std::string& name) {
    std::string rest = name.compare(0, 4, SemaphorePrefix) == 0 ? name.substr(4) : name;
    for (const char* prefix : Prefixes) {
        const std::string start(prefix);
        if (rest.compare(0, start.size(), start) != 0) {
            continue;
        }
        const std::string digits = rest.substr(start.size(), rest.find('_', start.size()) - start.size());
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos
            || rest.size() == start.size() + digits.size()) {
            return 0;
        }
        return std::strtol(digits.c_str(), nullptr, 10);
    }
    return 0;
}

std::size_t StaleObjects::Sweep(const std::string& directory) {
    std::size_t removed = 0;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const long pid = OwnerOf(entry->path().filename().string());
        if (pid > 0 && !Alive(pid) && boost::filesystem::remove(entry->path(), error)) {
            ++removed;
        }
        error.clear();
    }
    return removed;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
