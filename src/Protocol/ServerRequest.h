#ifndef ORVO_PROTOCOL_SERVERREQUEST_H
#define ORVO_PROTOCOL_SERVERREQUEST_H

#include <string>

#include <boost/unordered_map.hpp>

#include "Protocol/OptionMap.h"
#include "Protocol/Segment.h"

namespace Orvo {
namespace Browser {

// The worker's process-local copy of a request record: plain strings and a
// plain map, independent of the segment once built. Read-only after
// construction and shared through boost::shared_ptr.
class ServerRequest {
public:
    typedef boost::unordered_map<std::string, std::string> Options;
    typedef Interprocess::OptionMap<Segment, String> SharedOptions;

    // Copies url and name and every entry of options.
    ServerRequest(const String& url, const String& name, const SharedOptions& options);
    // Copies url and name; no options, so every option keeps its default.
    ServerRequest(const String& url, const String& name);

    const std::string url;
    const std::string name;
    const Options options;

private:
    static Options Copy(const SharedOptions& options);
};

} // namespace Browser
} // namespace Orvo

#endif
