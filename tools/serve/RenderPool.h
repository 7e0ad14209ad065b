#ifndef ORVO_TOOLS_SERVE_RENDERPOOL_H
#define ORVO_TOOLS_SERVE_RENDERPOOL_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Client/Client.h"
#include "RenderTask.h"

namespace Orvo {
namespace Serve {

// Renders tasks with a fixed number of workers, one thread a worker. Each
// thread keeps up to in-flight requests outstanding with its worker (a
// WindowLoop), takes their results in the order they come and refills
// at once from one shared queue of bounded length. A worker that has ended
// or died is replaced by a fresh one; a task lost with its worker
// (answered dead, or the worker gone) is sent once more, to the fresh
// worker. A task whose deadline has
// passed is not sent; one in flight is waited for until its deadline and a
// grace period have passed, so that a worker never holds more than
// in-flight pages.
class RenderPool {
public:
    struct Settings {
        int workers = 1;
        int inFlight = 8;
        std::size_t maxQueue = 200;
        bool allowFileUrls = false;
        // Networks no page may reach (the workers' --denied-networks).
        std::string deniedNetworks;
        // The worker executable; empty means orvo-browser beside the
        // calling executable.
        std::string workerProgram;
        // Where the workers' standard output and error go; empty inherits.
        std::string workerLog;
        // More arguments for each worker ("--engine", "chromium").
        std::vector<std::string> workerArguments;
        // The workers' recycling limits (0: none); a retiring worker is
        // replaced at once and answers what it holds beside its successor.
        std::size_t recyclePages = 0;
        std::size_t recycleRssMb = 0;
    };

    struct Stats {
        std::size_t queued = 0;
        int busyWorkers = 0;
        int readyWorkers = 0;
        unsigned long restartedWorkers = 0;
        unsigned long recycledWorkers = 0;
    };

    // How long past its deadline a request in flight is waited for.
    static constexpr int GraceMs = 10000;
    // The worker's time-out for a page ends this long after the task's
    // deadline: a page past its deadline is then always answered as such
    // (504), never by the worker's time-out, whose timer may fire a little
    // early.
    static constexpr int WorkerTimeoutMarginMs = 1000;

    explicit RenderPool(const Settings& settings);
    // Stop.
    ~RenderPool();

    RenderPool(const RenderPool&) = delete;
    RenderPool& operator=(const RenderPool&) = delete;

    // Starts the threads; each starts its worker. Tasks submitted before
    // wait in the queue.
    void Start();

    // Queues a task; false when the queue is full or the pool stopping.
    bool Submit(std::shared_ptr<RenderTask> task);

    Stats GetStats() const;

    // Gives up the tasks still queued or in flight (they end as WorkerGone),
    // ends the workers and waits for them and the threads.
    void Stop();

private:
    class Slot;

    std::unique_ptr<Browser::Client::Client> StartWorker() const;
    std::shared_ptr<RenderTask> Dequeue();
    bool Stopping() const;

    const Settings settings;
    // Guards queue and stopping; taskQueued wakes idle threads.
    mutable std::mutex mutex;
    std::condition_variable taskQueued;
    std::deque<std::shared_ptr<RenderTask>> queue;
    bool stopping;
    std::vector<std::unique_ptr<Slot>> slots;
    std::vector<std::thread> threads;
};

} // namespace Serve
} // namespace Orvo

#endif
