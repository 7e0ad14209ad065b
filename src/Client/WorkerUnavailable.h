#ifndef ORVO_CLIENT_WORKERUNAVAILABLE_H
#define ORVO_CLIENT_WORKERUNAVAILABLE_H

#include <stdexcept>
#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// The worker no longer takes requests: it has stopped or ended.
class WorkerUnavailable : public std::runtime_error {
public:
    explicit WorkerUnavailable(const std::string& what) : std::runtime_error(what) {}
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
