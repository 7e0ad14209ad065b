#ifndef ORVO_TOOLS_RENDER_RENDERJOB_H
#define ORVO_TOOLS_RENDER_RENDERJOB_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Client/Client.h"
#include "Client/RequestWindow.h"
#include "Client/WindowLoop.h"
#include "Record.h"
#include "Settings.h"

namespace Orvo {
namespace Render {

// Renders every URL of the settings with workers: each worker slot keeps up
// to in-flight requests outstanding (a WindowLoop, whose source of tasks
// the job is), takes their results in the order they come, refills its
// window at once from one shared list, and starts a fresh worker when its
// worker has ended. A URL that never reached a worker goes to a fresh one;
// a request answered dead or lost with its worker is sent once more, to a
// fresh worker, before it is reported so. Workers the run started are
// ended when it is over. Requests carry a keep of 10000 ms unless the
// settings give one.
class RenderJob : private Browser::Client::WindowLoop::Source {
public:
    // Hears of each URL once it is finished, on the thread of the worker
    // slot that finished it; several slots may call it at once.
    typedef std::function<void(Record&)> Listener;

    // interrupted is polled: once it is set, no new request is sent and the
    // run ends as soon as the outstanding ones are given up.
    RenderJob(const Settings& settings, const std::atomic<bool>& interrupted, const std::string& workerLog);

    // Runs to the end; onDone hears of each URL as it is finished. Returns
    // the records in input order.
    std::vector<Record> Run(const Listener& onDone);

private:
    typedef Browser::Client::WindowLoop::Task Task;

    void Serve();
    std::unique_ptr<Browser::Client::Client> NewClient() const;
    void Finish(std::size_t index, Browser::Client::Result result, double ms, long pid, int attempts);

    // The loops' source: the URLs in order, each sent with a deadline of
    // the settings' time-out from its send; a worker that cannot be
    // started fails the next URL with the reason.
    bool Stopped() override { return interrupted; }
    bool More() override;
    void Await() override {}
    bool Take(std::size_t& index, Task& task) override;
    bool Again(std::size_t index, Task& task) override;
    void Settle(Browser::Client::RequestWindow::Settled& settled) override;
    void Fail(std::size_t index, int attempts, Browser::Client::Result result) override;
    // What is given up stays unfinished: Run reports it interrupted.
    void GiveUp(std::size_t) override {}
    bool NoWorker(const std::string&) override { return true; }

    const Settings& settings;
    const std::atomic<bool>& interrupted;
    const std::string workerLog;
    Browser::Request::Options options;
    // Guards records and next.
    std::mutex mutex;
    std::vector<Record> records;
    std::size_t next;
    Listener listener;
};

} // namespace Render
} // namespace Orvo

#endif
