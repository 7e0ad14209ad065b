#ifndef ORVO_WORKER_KERNEL_REQUESTRULES_H
#define ORVO_WORKER_KERNEL_REQUESTRULES_H

#include <string>
#include <vector>

namespace Orvo {
namespace Browser {

// What a page may load, by its request's options, for either engine: the
// hosts (allowedDomains: a host is allowed when it is one of them or a
// subdomain of one) and the content types of responses (fnmatch patterns
// of allowedContentTypes and forbiddenContentTypes). Each refusal has its
// one text, which a page whose own document is refused gives as its error.
// Without rules everything is allowed.
class RequestRules {
public:
    RequestRules() = default;
    // The options' texts: words separated by commas and spaces.
    RequestRules(const std::string& allowedDomains, const std::string& allowedTypes,
                 const std::string& forbiddenTypes);

    bool AllowsHost(const std::string& host) const;
    // contentType: a Content-Type header's value; its parameters and case
    // do not count.
    bool AllowsType(const std::string& contentType) const;
    bool FiltersHosts() const { return !domains.empty(); }
    bool FiltersTypes() const { return !allowedTypes.empty() || !forbiddenTypes.empty(); }

    // Whether a header may be sent: its name a token, its value one line.
    // Anything else would let its giver write further headers or a second
    // request.
    static bool SafeHeader(const std::string& name, const std::string& value);
    // The refusal of such a header, its name percent-encoded.
    static std::string HeaderRefusal(const std::string& name);

    static std::string HostRefusal(const std::string& host);
    static std::string TypeRefusal(const std::string& contentType);

private:
    // The media type of a Content-Type value, in lower case.
    static std::string MediaType(const std::string& contentType);
    static bool Matches(const std::vector<std::string>& patterns, const std::string& type);

    std::vector<std::string> domains;
    std::vector<std::string> allowedTypes;
    std::vector<std::string> forbiddenTypes;
};

} // namespace Browser
} // namespace Orvo

#endif
