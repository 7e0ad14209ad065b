#include "Kernel/RequestLedger.h"

#include <chrono>

#include <log4cplus/loggingmacros.h>

#include "Support/LoggerFactory.h"

namespace Orvo {
namespace Browser {

RequestLedger::RequestLedger()
    : logger(Logging::LoggerFactory::GetLogger("RequestLedger")), sender(&RequestLedger::Send, this) {}

RequestLedger::~RequestLedger() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ending = true;
    }
    deliveriesChanged.notify_all();
    sender.join();
}

void RequestLedger::Queue(const RequestPtr& request) {
    std::lock_guard<std::mutex> lock(mutex);
    queued.Push(request);
}

RequestLedger::RequestPtr RequestLedger::Next() {
    std::lock_guard<std::mutex> lock(mutex);
    if (chosen) {
        return RequestPtr();
    }
    chosen = queued.Pop();
    return chosen;
}

RequestLedger::Placing RequestLedger::Place() {
    std::unique_lock<std::mutex> lock(mutex);
    slotChanged.wait(lock, [this]() { return !offered || closed || !chosen; });
    if (!chosen) {
        return Placing::Gone;
    }
    if (closed) {
        chosen.reset();
        return Placing::Closed;
    }
    offered.swap(chosen);
    slotChanged.notify_all();
    if (offerHook) {
        offerHook();
    }
    return Placing::Placed;
}

void RequestLedger::SetOfferHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex);
    offerHook = std::move(hook);
}

RequestLedger::Taking RequestLedger::Take(RequestPtr& request, int waitMs) {
    std::unique_lock<std::mutex> lock(mutex);
    if (!slotChanged.wait_for(lock, std::chrono::milliseconds(waitMs), [this]() { return offered != nullptr; })) {
        return Taking::Nothing;
    }
    request = offered;
    offered.reset();
    slotChanged.notify_all();
    if (!held.emplace(request->name, Entry{request, Held::Taken}).second) {
        return Taking::InFlight;
    }
    return Taking::Taken;
}

bool RequestLedger::Answer(const std::string& name, Delivery delivery) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = held.find(name);
        if (found == held.end() || found->second.state != Held::Taken) {
            return false;
        }
        found->second.state = Held::Delivering;
        deliveries.emplace_back(name, std::move(delivery));
    }
    deliveriesChanged.notify_all();
    return true;
}

void RequestLedger::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    slotChanged.notify_all();
}

bool RequestLedger::IsClosed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return closed;
}

bool RequestLedger::HasOffered() const {
    std::lock_guard<std::mutex> lock(mutex);
    return offered != nullptr;
}

RequestLedger::RequestPtr RequestLedger::TakeOffered(bool& inFlight) {
    RequestPtr request;
    {
        std::lock_guard<std::mutex> lock(mutex);
        request.swap(offered);
        inFlight = request && held.count(request->name) != 0;
    }
    slotChanged.notify_all();
    return request;
}

std::vector<RequestLedger::RequestPtr> RequestLedger::TakeQueued() {
    std::vector<RequestPtr> requests;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (chosen) {
            requests.push_back(chosen);
            chosen.reset();
        }
        for (const RequestPtr& request : queued.TakeAll()) {
            requests.push_back(request);
        }
    }
    slotChanged.notify_all();
    return requests;
}

std::vector<RequestLedger::RequestPtr> RequestLedger::Abandon() {
    std::vector<RequestPtr> requests;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto& entry : held) {
        if (entry.second.state == Held::Taken) {
            entry.second.state = Held::Delivering;
            requests.push_back(entry.second.request);
        }
    }
    return requests;
}

void RequestLedger::Delivered(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    held.erase(name);
}

bool RequestLedger::AwaitDelivered(int waitMs) {
    std::unique_lock<std::mutex> lock(mutex);
    return deliveriesChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                                      [this]() { return deliveries.empty(); });
}

bool RequestLedger::Holds() const {
    std::lock_guard<std::mutex> lock(mutex);
    return chosen || offered || queued.Size() != 0 || !held.empty();
}

std::size_t RequestLedger::QueuedCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return queued.Size() + (chosen ? 1 : 0);
}

// The sender thread: writes the accepted answers one at a time, in order,
// each outside the lock; the name is forgotten once its answer is written.
void RequestLedger::Send() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        deliveriesChanged.wait(lock, [this]() { return !deliveries.empty() || ending; });
        if (deliveries.empty()) {
            return;
        }
        const std::string name = deliveries.front().first;
        const Delivery delivery = std::move(deliveries.front().second);
        lock.unlock();
        Deliver(name, delivery);
        lock.lock();
        deliveries.pop_front();
        held.erase(name);
        deliveriesChanged.notify_all();
    }
}

// A delivery that failed is over all the same: its client waits out its
// deadline. The sender thread is where a delivery's exception would end the
// process, so everything is caught here.
void RequestLedger::Deliver(const std::string& name, const Delivery& delivery) const {
    try {
        delivery();
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "RequestLedger::Deliver => " << name << " not delivered: " << e.what());
    } catch (...) {
        LOG4CPLUS_ERROR(logger, "RequestLedger::Deliver => " << name << " not delivered: an unknown exception");
    }
}

} // namespace Browser
} // namespace Orvo
