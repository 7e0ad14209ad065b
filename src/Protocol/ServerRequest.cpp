#include "Protocol/ServerRequest.h"

namespace Orvo {
namespace Browser {

namespace {

const std::size_t InitialBuckets = 11;

std::string ToStd(const String& text) {
    return std::string(text.data(), text.size());
}

} // namespace

ServerRequest::ServerRequest(const String& url, const String& name, const SharedOptions& options)
    : url(ToStd(url)), name(ToStd(name)), options(Copy(options)) {}

ServerRequest::ServerRequest(const String& url, const String& name)
    : url(ToStd(url)), name(ToStd(name)), options(InitialBuckets) {}

ServerRequest::Options ServerRequest::Copy(const SharedOptions& shared) {
    Options copy(InitialBuckets);
    for (const auto& entry : shared) {
        copy.emplace(ToStd(entry.first), ToStd(entry.second));
    }
    return copy;
}

} // namespace Browser
} // namespace Orvo
