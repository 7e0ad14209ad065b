// Looking for shared objects by name: a named semaphore and a shared-memory
// object are found while they are there, each only as its own kind, and
// not once removed.

#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/interprocess/shared_memory_object.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>

#include "Protocol/SharedAccess.h"

namespace {

namespace bip = boost::interprocess;
using Orvo::Interprocess::SharedAccess;

struct Kind {
    const char* what;
    bool semaphore;
};

void Create(const std::string& name, bool semaphore) {
    if (semaphore) {
        bip::named_semaphore(bip::create_only, name.c_str(), 0);
    } else {
        bip::shared_memory_object(bip::create_only, name.c_str(), bip::read_write).truncate(4096);
    }
}

void Remove(const std::string& name, bool semaphore) {
    if (semaphore) {
        bip::named_semaphore::remove(name.c_str());
    } else {
        bip::shared_memory_object::remove(name.c_str());
    }
}

TEST(SharedAccess, ObjectsAreFoundAsTheirOwnKindWhileThere) {
    for (const Kind& kind : {Kind{"semaphore", true}, Kind{"shared memory", false}}) {
        SCOPED_TRACE(kind.what);
        const std::string name = "Orvo_Test_Exists_" + std::to_string(::getpid());
        Remove(name, kind.semaphore);
        EXPECT_FALSE(SharedAccess::Exists(name, kind.semaphore));
        Create(name, kind.semaphore);
        EXPECT_TRUE(SharedAccess::Exists(name, kind.semaphore));
        EXPECT_FALSE(SharedAccess::Exists(name, !kind.semaphore));
        Remove(name, kind.semaphore);
        EXPECT_FALSE(SharedAccess::Exists(name, kind.semaphore));
    }
}

} // namespace
