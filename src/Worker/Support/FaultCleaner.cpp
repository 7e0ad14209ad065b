#include "Support/FaultCleaner.h"

#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace Orvo {
namespace Browser {

FaultCleaner::Entry FaultCleaner::stack[FaultCleaner::Capacity];
int FaultCleaner::i = 0;
boost::recursive_mutex FaultCleaner::mutex;

int FaultCleaner::Register(boost::function<void()> handler) {
    boost::recursive_mutex::scoped_lock lock(mutex);
    if (i == 0 && stack[0].handler.empty()) {
        Init();
    }
    if (i > Capacity - 1) {
        throw std::runtime_error("Unable to register more handler.");
    }
    stack[i].handler = handler;
    stack[i].id = std::rand();
    return stack[i++].id;
}

void FaultCleaner::Init() {
    boost::recursive_mutex::scoped_lock lock(mutex);
    i = 0;
    for (Entry& entry : stack) {
        entry.handler.clear();
        entry.id = 0;
    }
    std::terminate_handler previous = std::set_terminate(&FaultCleaner::Clean);
    if (previous != nullptr) {
        stack[0].handler = previous;
    }
    stack[0].id = std::rand();
    i = 1;
}

// Runs without the lock: the thread that holds it may be the one dying.
void FaultCleaner::Clean() {
    for (int k = i - 1; k >= 0; --k) {
        if (!stack[k].handler.empty()) {
            stack[k].handler();
        }
    }
}

} // namespace Browser
} // namespace Orvo
