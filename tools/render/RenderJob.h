#ifndef ORVO_TOOLS_RENDER_RENDERJOB_H
#define ORVO_TOOLS_RENDER_RENDERJOB_H

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Client/Client.h"
#include "Record.h"
#include "Settings.h"

namespace Orvo {
namespace Render {

// Renders every URL of the settings with workers: each worker slot keeps up
// to in-flight requests outstanding, takes URLs from one shared list, and
// starts a fresh worker when its worker has ended. A request answered dead
// or lost with its worker is sent once more before it is reported so.
class RenderJob {
public:
    typedef std::function<void(const Record&)> Listener;

    // interrupted is polled: once it is set, no new request is sent and the
    // run ends as soon as the outstanding ones are given up.
    RenderJob(const Settings& settings, const std::atomic<bool>& interrupted, const std::string& workerLog);

    // Runs to the end; onDone hears of each URL as it is finished. Returns
    // the records in input order.
    std::vector<Record> Run(const Listener& onDone);

private:
    struct Slot;

    void Serve(int slotNumber);
    std::unique_ptr<Browser::Client::Client> NewClient(std::string& error);
    void EndWorker(Slot& slot);
    bool Next(Slot& slot, std::size_t& index);
    void Finish(std::size_t index, const Browser::Client::Result& result, double ms);
    void Fill(Slot& slot);
    void CollectOne(Slot& slot);
    Browser::Client::Result Await(Slot& slot, Browser::Client::PendingRequest& pending);

    const Settings& settings;
    const std::atomic<bool>& interrupted;
    const std::string workerLog;
    std::vector<Record> records;
    std::vector<bool> retried;
    std::size_t next;
    std::mutex mutex;
    Listener listener;
};

} // namespace Render
} // namespace Orvo

#endif
