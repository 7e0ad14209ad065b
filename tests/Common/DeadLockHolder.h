#ifndef ORVO_TESTS_DEADLOCKHOLDER_H
#define ORVO_TESTS_DEADLOCKHOLDER_H

#include <string>

#include <boost/interprocess/detail/managed_open_or_create_impl.hpp>
#include <boost/interprocess/mapped_region.hpp>
#include <boost/interprocess/shared_memory_object.hpp>
#include <pthread.h>

#include "Common/ChildProcess.h"

namespace OrvoTest {

// Leaves the inner lock of the named condition conditionName held by a
// process that has ended, as a process killed while it signalled the
// condition leaves it. The interprocess library keeps that lock, a
// process-shared mutex without owner recovery, first in the condition's
// object, after the object's header. Returns the child's exit status (0
// when it took the lock).
inline int LeaveConditionLockedByDeadProcess(const std::string& conditionName) {
    typedef boost::interprocess::ipcdetail::managed_open_or_create_impl<boost::interprocess::shared_memory_object, 0,
                                                                        true, false>
        Object;
    ChildProcess holder([&] {
        boost::interprocess::shared_memory_object object(boost::interprocess::open_only, conditionName.c_str(),
                                                         boost::interprocess::read_write);
        boost::interprocess::mapped_region region(object, boost::interprocess::read_write);
        auto* inner = reinterpret_cast<pthread_mutex_t*>(static_cast<char*>(region.get_address())
                                                         + Object::ManagedOpenOrCreateUserOffset);
        return ::pthread_mutex_lock(inner);
    });
    return holder.Wait();
}

} // namespace OrvoTest

#endif
