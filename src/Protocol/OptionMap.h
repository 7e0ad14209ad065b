#ifndef ORVO_PROTOCOL_OPTIONMAP_H
#define ORVO_PROTOCOL_OPTIONMAP_H

#include <functional>
#include <utility>

#include <boost/container_hash/hash.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/unordered_map.hpp>

namespace Orvo {
namespace Interprocess {

// A request's options in shared memory: option names to their text forms,
// both strings of the segment. A named object of the segment that holds the
// request, created by the request's writer and destroyed by the worker.
template <class SegmentT, class StringT>
class OptionMap
    : public boost::unordered_map<StringT, StringT, boost::hash<StringT>, std::equal_to<StringT>,
                                  boost::interprocess::allocator<std::pair<const StringT, StringT>,
                                                                 typename SegmentT::segment_manager>> {
public:
    typedef boost::interprocess::allocator<std::pair<const StringT, StringT>, typename SegmentT::segment_manager>
        Allocator;

    explicit OptionMap(const Allocator& allocator)
        : OptionMap::unordered_map(3, boost::hash<StringT>(), std::equal_to<StringT>(), allocator) {}
};

} // namespace Interprocess
} // namespace Orvo

#endif
