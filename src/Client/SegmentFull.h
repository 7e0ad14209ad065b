#ifndef ORVO_CLIENT_SEGMENTFULL_H
#define ORVO_CLIENT_SEGMENTFULL_H

#include <stdexcept>
#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// The worker's request segment has no room for a request now: requests
// waiting there take it, and it comes back as the worker takes them.
class SegmentFull : public std::runtime_error {
public:
    explicit SegmentFull(const std::string& what) : std::runtime_error(what) {}
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
