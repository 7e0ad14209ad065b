#include "Kernel/MainThreadWatchdog.h"

#include <algorithm>

namespace Orvo {
namespace Browser {

MainThreadWatchdog::MainThreadWatchdog(std::chrono::milliseconds limit, StuckHandler onStuck)
    : limit(limit),
      onStuck(std::move(onStuck)),
      lastBeat(std::chrono::steady_clock::now()),
      stopping(false),
      watcher(&MainThreadWatchdog::Watch, this) {}

MainThreadWatchdog::~MainThreadWatchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    watcher.join();
}

void MainThreadWatchdog::Beat() {
    std::lock_guard<std::mutex> lock(mutex);
    lastBeat = std::chrono::steady_clock::now();
}

void MainThreadWatchdog::Working(const std::string& name, const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex);
    workingName = name;
    workingUrl = url;
}

void MainThreadWatchdog::Watch() {
    const std::chrono::milliseconds step =
        std::max(std::chrono::milliseconds(1), std::min(std::chrono::milliseconds(1000), limit / 4));
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        wake.wait_for(lock, step);
        if (!stopping && std::chrono::steady_clock::now() - lastBeat >= limit) {
            const std::string name = workingName;
            const std::string url = workingUrl;
            lock.unlock();
            onStuck(name, url);
            return;
        }
    }
}

} // namespace Browser
} // namespace Orvo
