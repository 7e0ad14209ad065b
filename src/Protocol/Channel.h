#ifndef ORVO_PROTOCOL_CHANNEL_H
#define ORVO_PROTOCOL_CHANNEL_H

#include <cstddef>
#include <stdexcept>
#include <string>

#include <boost/container/list.hpp>
#include <boost/function.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/permissions.hpp>
#include <boost/interprocess/smart_ptr/unique_ptr.hpp>
#include <boost/interprocess/sync/named_condition.hpp>
#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/scoped_lock.hpp>
#include <boost/move/utility_core.hpp>
#include <boost/shared_ptr.hpp>

#include "Protocol/Deadline.h"
#include "Protocol/ObjectName.h"
#include "Protocol/SharedAccess.h"
#include "Protocol/TimeOutException.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Interprocess {

// A named first-in-first-out queue of records between processes. The queue
// is a list of owning pointers kept as a named object of a managed segment
// (its name is the channel's name); beside it live a named mutex
// "NAME_Channel_Mutex" that guards every access to the list and a named
// condition "NAME_Channel_Condition" signalled when an element is added.
//
// A Channel object is one process's handle on the queue, always held through
// a shared pointer. Destroying a handle closes its mutex and condition and
// removes nothing shared; Destroy() removes the mutex and condition names.
// The list object stays in the segment until the segment goes.
//
// Times are milliseconds; each operation turns its time into one absolute
// UTC deadline at its start, 0 standing for about 24.8 days. A lock or wait
// that passes its deadline throws TimeOutException; other failures of the
// named objects throw boost::interprocess::interprocess_exception.
template <class SegmentT, class T>
class Channel {
public:
    typedef typename SegmentT::segment_manager SegmentManager;
    typedef typename boost::interprocess::managed_unique_ptr<T, SegmentT>::type Element;
    typedef boost::container::list<Element, boost::interprocess::allocator<Element, SegmentManager>> List;

    // Creates a new channel named name in segment. Stale named objects of a
    // dead process with the same names are removed first. Throws the
    // library's already-exists error when the list exists in the segment.
    static boost::shared_ptr<Channel> Create(SegmentT& segment, const char* name) {
        const std::string mutexName = MutexName(name);
        const std::string conditionName = ConditionName(name);
        boost::interprocess::named_mutex::remove(mutexName.c_str());
        boost::interprocess::named_condition::remove(conditionName.c_str());
        List* list = segment.template construct<List>(name)(segment.get_segment_manager());
        const boost::shared_ptr<Channel> channel(new Channel(list, boost::interprocess::create_only, mutexName,
                                                             conditionName));
        SharedAccess::HandOver(mutexName, true);
        SharedAccess::HandOver(conditionName, false);
        return channel;
    }

    // Opens an existing channel. Throws std::runtime_error "Unable to find "
    // NAME when the list is not in the segment.
    static boost::shared_ptr<Channel> Get(SegmentT& segment, const char* name) {
        const std::string mutexName = MutexName(name);
        const std::string conditionName = ConditionName(name);
        List* list = segment.template find<List>(name).first;
        if (list == nullptr) {
            throw std::runtime_error(std::string("Unable to find ") + name);
        }
        return boost::shared_ptr<Channel>(new Channel(list, boost::interprocess::open_only, mutexName, conditionName));
    }

    // Moves the oldest element into out, waiting for one while the list is
    // empty. Returns with out unchanged when this handle was destroyed.
    void Take(Element& out, int timeoutMs) {
        const boost::posix_time::ptime deadline = Deadline::ForChannel(timeoutMs);
        boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex, deadline);
        if (!lock.owns()) {
            throw TimeOutException();
        }
        for (;;) {
            if (list == nullptr) {
                return;
            }
            if (!list->empty()) {
                out = boost::move(list->front());
                list->pop_front();
                return;
            }
            if (timeoutMs == 0) {
                condition.wait(lock);
            } else if (!condition.timed_wait(lock, deadline)) {
                throw TimeOutException();
            }
        }
    }

    // Moves the oldest element into out when one is queued, without waiting
    // for one; returns whether it did. The time-out bounds the wait for the
    // lock only.
    bool TakeQueued(Element& out, int timeoutMs) {
        boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex, Deadline::ForChannel(timeoutMs));
        if (!lock.owns()) {
            throw TimeOutException();
        }
        if (list == nullptr || list->empty()) {
            return false;
        }
        out = boost::move(list->front());
        list->pop_front();
        return true;
    }

    // Appends e and wakes one waiter. On a time-out e stays with the caller;
    // on a destroyed handle e is freed and nobody is woken.
    void Put(Element&& e, int timeoutMs) {
        const boost::posix_time::ptime deadline = Deadline::ForChannel(timeoutMs);
        boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex, deadline);
        if (!lock.owns()) {
            throw TimeOutException();
        }
        if (list == nullptr) {
            lock.unlock();
            e.reset();
            return;
        }
        list->push_back(boost::move(e));
        lock.unlock();
        condition.notify_one();
    }

    // The number of elements queued, counted under the channel's mutex; 0
    // once this handle was destroyed.
    std::size_t Size(int timeoutMs) {
        boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex, Deadline::ForChannel(timeoutMs));
        if (!lock.owns()) {
            throw TimeOutException();
        }
        return list == nullptr ? 0 : list->size();
    }

    // Hands the elements still queued to onRemaining (when the channel's
    // mutex could be taken in time) and removes the mutex and condition
    // names. It wakes nobody: the condition's inner lock is taken without a
    // time limit, and a process that died while it held that lock would
    // hold up the destroyer for good. What onRemaining throws is ignored; what it
    // leaves in the list stays there. Throws, removing nothing, when the
    // mutex or the list does not exist.
    static void Destroy(SegmentT& segment, const char* name, boost::function<void(List&)> onRemaining,
                        int timeoutMs) {
        const std::string mutexName = MutexName(name);
        const std::string conditionName = ConditionName(name);
        {
            boost::interprocess::named_mutex mutex(boost::interprocess::open_only, mutexName.c_str());
            const boost::shared_ptr<Channel> channel = Get(segment, name);
            boost::interprocess::scoped_lock<boost::interprocess::named_mutex> lock(mutex,
                                                                                    Deadline::ForChannel(timeoutMs));
            if (lock.owns() && onRemaining && !channel->list->empty()) {
                try {
                    onRemaining(*channel->list);
                } catch (...) {
                    // The channel's names must go all the same. The channel
                    // has no log: a caller that wants its failures logged
                    // logs them in onRemaining, as the worker does.
                }
            }
        }
        boost::interprocess::named_condition::remove(conditionName.c_str());
        boost::interprocess::named_mutex::remove(mutexName.c_str());
    }

    // The names of the channel's mutex and condition.
    static std::string MutexName(const char* name) {
        return ObjectName::Format("%s", std::string(name) + Browser::WireFormat::ChannelMutexSuffix);
    }
    static std::string ConditionName(const char* name) {
        return ObjectName::Format("%s", std::string(name) + Browser::WireFormat::ChannelConditionSuffix);
    }

private:

    Channel(List* list, boost::interprocess::create_only_t, const std::string& mutexName,
            const std::string& conditionName)
        : list(list),
          mutex(boost::interprocess::create_only, mutexName.c_str(), SharedAccess::Permissions()),
          condition(boost::interprocess::create_only, conditionName.c_str(), SharedAccess::Permissions()) {}

    Channel(List* list, boost::interprocess::open_only_t, const std::string& mutexName,
            const std::string& conditionName)
        : list(list),
          mutex(boost::interprocess::open_only, mutexName.c_str()),
          condition(boost::interprocess::open_only, conditionName.c_str()) {}

    List* list;
    boost::interprocess::named_mutex mutex;
    boost::interprocess::named_condition condition;
};

} // namespace Interprocess
} // namespace Orvo

#endif
