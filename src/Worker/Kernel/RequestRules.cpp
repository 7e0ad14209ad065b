#include "Kernel/RequestRules.h"

#include <algorithm>
#include <cctype>

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

bool RequestRules::SafeHeader(const std::string& name, const std::string& value) {
    static const std::string tokenMarks = "!#$%&'*+.^_`|~-";
    const bool token = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || tokenMarks.find(c) != std::string::npos;
    });
    return token && value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

std::string RequestRules::HeaderRefusal(const std::string& name) {
    static const char* const Hex = "0123456789ABCDEF";
    std::string shown;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || std::string("-._~").find(c) != std::string::npos) {
            shown += c;
        } else {
            shown += {'%', Hex[byte >> 4], Hex[byte & 15]};
        }
    }
    return "the header " + shown + " is not a token with a value of one line";
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
