#ifndef ORVO_KERNEL_SERVERTIMES_H
#define ORVO_KERNEL_SERVERTIMES_H

namespace Orvo {
namespace Browser {

// The worker's long waits, in milliseconds: the defaults below, divided by
// the test-only TimeDivisor.
class ServerTimes {
public:
    static constexpr int DefaultRequestWaitMs = 180000;
    static constexpr int DefaultGracePeriodMs = 300000;
    static constexpr int DefaultPageTimeOutMs = 300000;
    static constexpr int DefaultStuckLimitMs = 20000;
    // Tests shorten the stuck limit no further than this: a worker's
    // start-up (its first page, its fonts) under a sanitizer on a busy
    // machine keeps the main thread away that long.
    static constexpr int ShortestStuckLimitMs = 4000;
    static constexpr int DefaultScriptLimitMs = 10000;

    // The longest wait for the next request before the server stops itself.
    static int RequestWaitMs();
    // How long the serving thread waits to be interrupted after it drained
    // before it ends the process.
    static int GracePeriodMs();
    // How long a page may load before its request handler gives up.
    static int PageTimeOutMs();
    // How long the main thread may stay away from its event loop before
    // the watchdog gives the worker up.
    static int StuckLimitMs();
    // How long one run of a page's script may last before the engine
    // interrupts it, where the engine can.
    static int ScriptLimitMs();
};

} // namespace Browser
} // namespace Orvo

#endif
