#include "Kernel/RequestRules.h"

#include <algorithm>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <fnmatch.h>

#include "Protocol/Option.h"

namespace Orvo {
namespace Browser {

RequestRules::RequestRules(const std::string& allowedDomains, const std::string& allowedTypesText,
                           const std::string& forbiddenTypesText) {
    Option::ParseWords(allowedDomains, domains);
    for (std::string& domain : domains) {
        boost::algorithm::to_lower(domain);
    }
    Option::ParseWords(allowedTypesText, allowedTypes);
    Option::ParseWords(forbiddenTypesText, forbiddenTypes);
}

bool RequestRules::AllowsHost(const std::string& host) const {
    if (domains.empty() || host.empty()) {
        return true;
    }
    const std::string lower = boost::algorithm::to_lower_copy(host);
    return std::any_of(domains.begin(), domains.end(), [&lower](const std::string& domain) {
        return lower == domain || boost::algorithm::ends_with(lower, "." + domain);
    });
}

bool RequestRules::AllowsType(const std::string& contentType) const {
    const std::string type = MediaType(contentType);
    return (allowedTypes.empty() || Matches(allowedTypes, type)) && !Matches(forbiddenTypes, type);
}

std::string RequestRules::HostRefusal(const std::string& host) {
    return "the host " + host + " is not among the allowed domains";
}

std::string RequestRules::TypeRefusal(const std::string& contentType) {
    const std::string type = MediaType(contentType);
    return "the content type " + (type.empty() ? std::string("(none)") : type) + " is not allowed";
}

std::string RequestRules::MediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    boost::algorithm::trim(type);
    boost::algorithm::to_lower(type);
    return type;
}

bool RequestRules::Matches(const std::vector<std::string>& patterns, const std::string& type) {
    return std::any_of(patterns.begin(), patterns.end(), [&type](const std::string& pattern) {
        return ::fnmatch(pattern.c_str(), type.c_str(), 0) == 0;
    });
}

} // namespace Browser
} // namespace Orvo
