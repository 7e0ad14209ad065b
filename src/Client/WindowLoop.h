#ifndef ORVO_CLIENT_WINDOWLOOP_H
#define ORVO_CLIENT_WINDOWLOOP_H

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "Client/RequestWindow.h"
#include "Client/Result.h"
#include "Protocol/Request.h"

namespace Orvo {
namespace Browser {
namespace Client {

// Keeps one worker's window of requests full from a source of tasks until
// the source has no more or stops. Each round it replaces a worker that
// retires (while work remains), or that is gone, ended or not started
// while nothing is outstanding; it sends tasks lost with a worker first,
// then fresh ones, until the window is full; and it settles the first
// request answered or past its deadline plus the grace. Once the source
// stops, what is already answered is settled and the rest given up. What
// differs between callers (where tasks come from, what becomes of a
// result, how an idle loop waits, what happens when no worker starts)
// is the source's. Run is called on one thread; Busy, Ready and the
// counts may be read from any.
class WindowLoop {
public:
    // A request to send.
    struct Task {
        std::string url;
        Request::Options options;
        RequestWindow::Clock::time_point deadline;
    };

    // Where the loop's tasks come from and where their results go. A
    // source may serve several loops, each on a thread of its own.
    class Source {
    public:
        virtual ~Source() = default;
        // Whether the loop must end now.
        virtual bool Stopped() = 0;
        // Whether fresh tasks may still come; the loop ends once none
        // may and nothing is outstanding.
        virtual bool More() = 0;
        // Blocks, briefly, until a fresh task may have come or the source
        // stopped; called while the loop has nothing outstanding.
        virtual void Await() = 0;
        // A fresh task and its tag; false when none waits now.
        virtual bool Take(std::size_t& tag, Task& task) = 0;
        // The task under tag, lost with its worker, to be sent again; false
        // when it is not to be sent (the source has finished it).
        virtual bool Again(std::size_t tag, Task& task) = 0;
        // A task's final result.
        virtual void Settle(RequestWindow::Settled& settled) = 0;
        // A task that could not be sent, with the reason as its result;
        // attempts is how many times it was sent before.
        virtual void Fail(std::size_t tag, int attempts, Result result) = 0;
        // A task given up unanswered as the loop ends.
        virtual void GiveUp(std::size_t tag) = 0;
        // No worker could be started (error says why). True to fail the
        // next task with it; false to go on (the source may have waited).
        virtual bool NoWorker(const std::string& error) = 0;
    };

    // graceMs: how long past its deadline a request is waited for.
    WindowLoop(RequestWindow::Factory factory, int capacity, int graceMs, Source& source);

    WindowLoop(const WindowLoop&) = delete;
    WindowLoop& operator=(const WindowLoop&) = delete;

    void Run();

    // Whether requests are outstanding.
    bool Busy() const { return busy; }
    // Whether the last worker start succeeded.
    bool Ready() const { return ready; }
    // Workers started in place of another, and of those how many in place
    // of one that retired.
    unsigned long Replaced() const { return replaced; }
    unsigned long Recycled() const { return recycled; }

private:
    void Replace();
    void Fill();
    void FailNext(const std::string& error);
    void Collect();
    void Drain();

    const RequestWindow::Factory factory;
    const int capacity;
    const int graceMs;
    // Made by Run and dropped at its end, which ends the worker it started.
    std::unique_ptr<RequestWindow> window;
    Source& source;
    std::atomic<bool> busy{false};
    std::atomic<bool> ready{false};
    std::atomic<unsigned long> replaced{0};
    std::atomic<unsigned long> recycled{0};
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
