#ifndef ORVO_PROTOCOL_REQUEST_H
#define ORVO_PROTOCOL_REQUEST_H

#include <string>

#include <boost/any.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/unordered_map.hpp>

#include "Protocol/OptionMap.h"
#include "Protocol/Segment.h"
#include "Protocol/ServerRequest.h"

namespace Orvo {
namespace Browser {

// A page request as it crosses from client to worker: a record constructed
// anonymously in the worker's request segment and owned by an element of the
// request channel. Its options live beside it in the named object
// "NAMEOptionMap" of the same segment, where NAME is the request's name; the
// same name names the client's result segment and result channel.
//
// The options pointer is a plain address that is valid only in the process
// that set it: the writer's constructor sets it for itself, the reader calls
// Settle before using it. Destroy frees the option map; freeing the record is
// its owner's business. A record with an empty name is never served: it
// stops the worker's serving loop.
class Request {
public:
    typedef Interprocess::OptionMap<Segment, String> OptionMap;
    typedef boost::unordered_map<std::string, boost::any> Options;

    // An empty record: empty url and name, no options. The worker's
    // placeholder while it waits for a request.
    explicit Request(Segment& segment);

    // Writes a request: url, name and the option map built from options.
    // Each option's value must hold its type (bool, int or std::string);
    // keys that are no option are ignored. Throws std::invalid_argument
    // "Illegal option or option value: KEY" for a value of another type
    // (the option map is removed again), std::invalid_argument for a name too
    // long for the protocol's names, the library's already-exists error when
    // a request of that name is live, and its bad_alloc when the segment is
    // full.
    Request(Segment& segment, const std::string& url, const std::string& name, const Options& options);

    // Writes "NAMEOptionMap" for name into mapName; throws
    // std::invalid_argument when the result does not fit the name buffer.
    void GetOptionMapName(const std::string& name, std::string& mapName) const;

    // Points options at this record's option map in the calling process, or
    // at null when the segment holds none.
    void Settle(Segment& segment);

    // Destroys the option map, if options is set, and clears options.
    void Destroy(Segment& segment);

    // The process-local copy; all options at their defaults when the record
    // has no settled option map.
    boost::shared_ptr<ServerRequest> ToServerRequest() const;

    String url;
    String name;
    OptionMap* options;

private:
    struct PutIntoInterprocessOptionMap;

    std::string MapName() const;
};

} // namespace Browser
} // namespace Orvo

#endif
