#ifndef ORVO_SUPPORT_FAULTCLEANER_H
#define ORVO_SUPPORT_FAULTCLEANER_H

#include <boost/function.hpp>
#include <boost/thread/recursive_mutex.hpp>

namespace Orvo {
namespace Browser {

// Runs registered clean-up functions when the process dies through
// std::terminate (an exception no handler caught, on any thread). The first
// registration installs Clean as the terminate handler and keeps the handler
// it replaced as the oldest entry, so that handler still runs last. Signals
// are not handled: a crash or a kill runs no clean-up.
//
// Clean-up functions must be safe to run at any moment from a terminate
// handler. Entries cannot be removed. All members are static.
class FaultCleaner {
public:
    static constexpr int Capacity = 32;

    // Adds handler as the newest entry and returns an identifier for it.
    // Throws std::runtime_error "Unable to register more handler." when all
    // entries (the replaced terminate handler included) are in use.
    static int Register(boost::function<void()> handler);

private:
    struct Entry {
        boost::function<void()> handler;
        int id = -1;
    };

    static void Init();
    static void Clean();

    static Entry stack[Capacity];
    static int i;
    static boost::recursive_mutex mutex;
};

} // namespace Browser
} // namespace Orvo

#endif
