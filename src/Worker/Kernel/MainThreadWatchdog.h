#ifndef ORVO_KERNEL_MAINTHREADWATCHDOG_H
#define ORVO_KERNEL_MAINTHREADWATCHDOG_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Orvo {
namespace Browser {

// Notices a main thread that no longer comes back to its event loop. The
// main thread calls Beat on every pass through the loop (the poll timer's
// tick) and Working whenever it turns to another request's page; a thread
// of the watchdog's own looks at the last beat a few times per limit. When
// no beat came for the limit, it calls the stuck handler once, on its own
// thread, with the name and URL last given to Working (empty when none),
// and looks no more. The handler is expected to end the process.
class MainThreadWatchdog {
public:
    typedef std::function<void(const std::string& name, const std::string& url)> StuckHandler;

    // Starts watching at once, counting the limit from now.
    MainThreadWatchdog(std::chrono::milliseconds limit, StuckHandler onStuck);
    // Stops the watching thread and waits for it.
    ~MainThreadWatchdog();

    MainThreadWatchdog(const MainThreadWatchdog&) = delete;
    MainThreadWatchdog& operator=(const MainThreadWatchdog&) = delete;

    void Beat();
    void Working(const std::string& name, const std::string& url);

private:
    void Watch();

    const std::chrono::milliseconds limit;
    const StuckHandler onStuck;
    // Guards lastBeat, workingName, workingUrl and stopping.
    std::mutex mutex;
    std::condition_variable wake;
    std::chrono::steady_clock::time_point lastBeat;
    std::string workingName;
    std::string workingUrl;
    bool stopping;
    std::thread watcher;
};

} // namespace Browser
} // namespace Orvo

#endif
