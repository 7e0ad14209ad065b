#ifndef ORVO_CLIENT_WORKER_H
#define ORVO_CLIENT_WORKER_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/types.h>

namespace Orvo {
namespace Browser {
namespace Client {

// A worker process as a client sees it: started by this client (owned) or
// found by its process id (attached). It is ready while its ready marker
// exists. Safe to use from several threads.
class Worker {
public:
    struct StartOptions {
        // The worker executable; empty means orvo-browser beside the calling
        // executable.
        std::string program;
        std::vector<std::string> arguments;
        // Where the worker runs (it reads its INI file there); empty keeps
        // the caller's directory.
        std::string directory;
        // Extra environment entries, NAME=VALUE.
        std::vector<std::string> environment;
        // Where the worker's standard output and error go; empty inherits.
        std::string logFile;
        int readyTimeoutMs = 30000;

        // Gives the worker recycling limits, 0 for none: it retires (stops
        // taking requests, answers those it was sent, and exits with
        // ExitStatus::Recycled) after taking pages requests, or once its
        // resident memory passes residentMb.
        void Recycle(std::size_t pages, std::size_t residentMb);
    };

    // Starts a worker and waits for its ready marker. The worker inherits
    // no descriptor but its standard streams, and ends by itself when the
    // calling process ends, killed or not. Throws
    // std::runtime_error saying why when the program cannot be started, ends
    // before it is ready or is not ready in time (it is killed then, and its
    // shared objects removed).
    static std::unique_ptr<Worker> Start(const StartOptions& options);

    // A running worker, found by its process id; waits up to readyTimeoutMs
    // for its ready marker. Throws std::runtime_error when it is not there.
    static std::unique_ptr<Worker> Attach(pid_t pid, int readyTimeoutMs = 5000);

    // An owned worker still running is left to end by itself.
    ~Worker();

    pid_t Pid() const { return pid; }
    bool Owned() const { return owned; }

    // Whether the process still runs. The first time it is seen gone, its
    // leftover shared objects are removed (it can no longer do so).
    bool IsAlive();

    // Whether the worker takes requests: alive with its ready marker.
    bool IsReady();

    // What WaitForExit returns when the worker did not end in time.
    static constexpr int StillRunning = -1000;

    // Waits for an owned worker to end; returns its exit status (minus the
    // signal number when a signal ended it), or StillRunning.
    int WaitForExit(int timeoutMs);

    // How long End waits, after SIGTERM and after SIGKILL.
    static constexpr int EndWaitMs = 10000;

    // Ends an owned worker still running and waits for it: SIGTERM, and
    // SIGKILL when it has not ended within waitMs. An attached worker is
    // left alone.
    void End(int waitMs = EndWaitMs);

    // orvo-browser in the directory of the calling executable.
    static std::string DefaultProgram();

private:
    Worker(pid_t pid, bool owned);

    bool WaitUntilReady(int timeoutMs);
    bool Reap(bool block);
    void RemoveLeftovers();

    const pid_t pid;
    const bool owned;
    std::mutex mutex;
    bool exited;
    int exitStatus;
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
