#ifndef ORVO_TESTS_SCOPEDSEGMENT_H
#define ORVO_TESTS_SCOPEDSEGMENT_H

#include <string>

#include <boost/interprocess/shared_memory_object.hpp>

#include "Common/ChildProcess.h"
#include "Protocol/Segment.h"

namespace OrvoTest {

// A fresh segment under a unique name, removed with the object. Forked
// children inherit the mapping; they may also open the segment by name.
class ScopedSegment {
public:
    explicit ScopedSegment(std::size_t size = 1 << 20)
        : name(UniqueName("OrvoTestSegment")),
          segment(boost::interprocess::create_only, name.c_str(), size) {}
    ~ScopedSegment() { boost::interprocess::shared_memory_object::remove(name.c_str()); }

    const std::string name;
    Orvo::Browser::Segment segment;
};

} // namespace OrvoTest

#endif
