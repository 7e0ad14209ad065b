#include "Kernel/FairQueue.h"

namespace Orvo {
namespace Browser {

std::string FairQueue::ClientOf(const std::string& name) {
    const std::string::size_type last = name.rfind('_');
    return last == std::string::npos ? name : name.substr(0, last + 1);
}

void FairQueue::Push(const RequestPtr& request) {
    const std::string client = ClientOf(request->name);
    std::deque<RequestPtr>& queue = queues[client];
    if (queue.empty()) {
        turns.push_back(client);
    }
    queue.push_back(request);
    ++size;
}

FairQueue::RequestPtr FairQueue::Pop() {
    if (turns.empty()) {
        return RequestPtr();
    }
    const std::string client = turns.front();
    turns.pop_front();
    std::deque<RequestPtr>& queue = queues[client];
    const RequestPtr request = queue.front();
    queue.pop_front();
    if (queue.empty()) {
        queues.erase(client);
    } else {
        turns.push_back(client);
    }
    --size;
    return request;
}

std::size_t FairQueue::Size() const {
    return size;
}

std::vector<FairQueue::RequestPtr> FairQueue::TakeAll() {
    std::vector<RequestPtr> all;
    while (const RequestPtr request = Pop()) {
        all.push_back(request);
    }
    return all;
}

} // namespace Browser
} // namespace Orvo
