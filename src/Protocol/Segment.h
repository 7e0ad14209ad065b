#ifndef ORVO_PROTOCOL_SEGMENT_H
#define ORVO_PROTOCOL_SEGMENT_H

#include <boost/container/string.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>

namespace Orvo {
namespace Browser {

// The managed shared memory type of every segment of the protocol; worker and
// client must agree on it, and on the layouts of everything placed in it.
typedef boost::interprocess::managed_shared_memory Segment;
typedef Segment::segment_manager SegmentManager;

// A string whose characters live in the same segment as the string itself.
typedef boost::container::basic_string<char, std::char_traits<char>,
                                       boost::interprocess::allocator<char, SegmentManager>>
    String;

} // namespace Browser
} // namespace Orvo

#endif
