#ifndef ORVO_KERNEL_RECYCLEPOLICY_H
#define ORVO_KERNEL_RECYCLEPOLICY_H

#include <cstddef>
#include <string>

#include <sys/types.h>

namespace Orvo {
namespace Browser {

class Configurator;

// When a long-lived worker has done enough and should make way for a fresh
// one: once it has taken a number of requests, or once its resident memory
// passes a limit. A limit of 0 is no limit. Immutable; safe to use from
// any thread.
class RecyclePolicy {
public:
    RecyclePolicy(std::size_t maxPages, std::size_t maxResidentMb);
    // The worker's --recycle-pages and --recycle-rss.
    static RecyclePolicy Of(const Configurator& configuration);
    // The same of the process's configuration; none without one.
    static RecyclePolicy OfConfiguration();

    bool Enabled() const { return maxPages != 0 || maxResidentMb != 0; }

    // Why the worker should retire, having taken pagesTaken requests and
    // holding residentBytes now; empty when it should not yet.
    std::string Due(std::size_t pagesTaken, std::size_t residentBytes) const;

    // Whether Due needs the resident memory (a limit on it is set).
    bool WatchesMemory() const { return maxResidentMb != 0; }

    // This process's resident memory, from /proc/self/statm; 0 when it
    // cannot be read.
    static std::size_t ResidentBytes();
    // The resident memory of root and every process under it (a browser
    // and its renderers), each counted whole.
    static std::size_t TreeResidentBytes(pid_t root);

private:
    static std::size_t ResidentBytesOf(const std::string& statm);

    const std::size_t maxPages;
    const std::size_t maxResidentMb;
};

} // namespace Browser
} // namespace Orvo

#endif
