#include "Protocol/Request.h"

#include <stdexcept>

#include <boost/interprocess/exceptions.hpp>
#include <boost/lexical_cast.hpp>

#include "Protocol/ObjectName.h"
#include "Protocol/Option.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

// Converts one writer entry to its text form for the option tried: returns
// false when the entry is this option's (and stores it), true to go on with
// the next option.
struct Request::PutIntoInterprocessOptionMap {
    const Options::value_type& entry;
    OptionMap& map;
    String key;
    String value;

    PutIntoInterprocessOptionMap(const Options::value_type& entry, OptionMap& map, Segment& segment)
        : entry(entry), map(map), key(segment.get_segment_manager()), value(segment.get_segment_manager()) {}

    template <class X>
    bool operator()(X) {
        if (entry.first != X::Name()) {
            return true;
        }
        const std::string text = boost::lexical_cast<std::string>(boost::any_cast<typename X::Type>(entry.second));
        key.assign(entry.first.begin(), entry.first.end());
        value.assign(text.begin(), text.end());
        map.insert(std::make_pair(key, value));
        return false;
    }
};

Request::Request(Segment& segment)
    : url(segment.get_segment_manager()), name(segment.get_segment_manager()), options(nullptr) {}

Request::Request(Segment& segment, const std::string& url, const std::string& name, const Options& options)
    : url(url.begin(), url.end(), segment.get_segment_manager()),
      name(name.begin(), name.end(), segment.get_segment_manager()),
      options(nullptr) {
    const std::string mapName = MapName();
    OptionMap* map = segment.construct<OptionMap>(mapName.c_str())(segment.get_segment_manager());
    for (const Options::value_type& entry : options) {
        try {
            PutIntoInterprocessOptionMap put(entry, *map, segment);
            Option::All::TryEach(put);
        } catch (const boost::interprocess::bad_alloc&) {
            segment.destroy<OptionMap>(mapName.c_str());
            throw;
        } catch (...) {
            segment.destroy<OptionMap>(mapName.c_str());
            throw std::invalid_argument("Illegal option or option value: " + entry.first);
        }
    }
    this->options = map;
}

void Request::GetOptionMapName(const std::string& name, std::string& mapName) const {
    mapName = Interprocess::ObjectName::Format("%s", name + WireFormat::OptionMapSuffix);
}

std::string Request::MapName() const {
    std::string mapName;
    GetOptionMapName(std::string(name.data(), name.size()), mapName);
    return mapName;
}

void Request::Settle(Segment& segment) {
    options = segment.find<OptionMap>(MapName().c_str()).first;
}

void Request::Destroy(Segment& segment) {
    if (options == nullptr) {
        return;
    }
    segment.destroy<OptionMap>(MapName().c_str());
    options = nullptr;
}

boost::shared_ptr<ServerRequest> Request::ToServerRequest() const {
    if (options == nullptr) {
        return boost::shared_ptr<ServerRequest>(new ServerRequest(url, name));
    }
    return boost::shared_ptr<ServerRequest>(new ServerRequest(url, name, *options));
}

} // namespace Browser
} // namespace Orvo
