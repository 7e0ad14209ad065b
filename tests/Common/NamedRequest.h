#ifndef ORVO_TESTS_NAMEDREQUEST_H
#define ORVO_TESTS_NAMEDREQUEST_H

#include <mutex>
#include <string>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "Common/ScopedSegment.h"
#include "Protocol/ServerRequest.h"

namespace OrvoTest {

// A request named name for http://127.0.0.1/name, built from strings of a
// segment as the serve loop builds requests from records. Thread-safe.
inline boost::shared_ptr<Orvo::Browser::ServerRequest> NamedRequest(const std::string& name) {
    static ScopedSegment scoped;
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    const Orvo::Browser::String::allocator_type allocator(scoped.segment.get_segment_manager());
    const std::string url = "http://127.0.0.1/" + name;
    return boost::make_shared<Orvo::Browser::ServerRequest>(
        Orvo::Browser::String(url.begin(), url.end(), allocator),
        Orvo::Browser::String(name.begin(), name.end(), allocator));
}

} // namespace OrvoTest

#endif
