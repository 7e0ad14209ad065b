#ifndef ORVO_PROTOCOL_SERVEROPTIONGETTER_H
#define ORVO_PROTOCOL_SERVEROPTIONGETTER_H

#include <string>

#include <boost/lexical_cast.hpp>
#include <boost/unordered_map.hpp>

#include "Protocol/Option.h"

namespace Orvo {
namespace Browser {

// Function objects for Option::ForEach that fill a request's option tuple on
// the worker's side.
struct ServerOptionGetter {
    // Sets every option to its default.
    struct InitValue {
        template <class X>
        void operator()(X, typename X::Type& value) const {
            value = X::Default();
        }
    };

    // Replaces each option found under its key by the converted text. A key
    // that is absent, or a text that does not convert (booleans are 0 or 1,
    // integers plain decimal without white space), leaves the value as it
    // was; Option::Ignored names such entries for the log.
    struct GetOption {
        explicit GetOption(const boost::unordered_map<std::string, std::string>& options) : options(options) {}

        template <class X>
        void operator()(X, typename X::Type& value) const {
            const auto found = options.find(X::Name());
            if (found == options.end()) {
                return;
            }
            try {
                value = boost::lexical_cast<typename X::Type>(found->second);
            } catch (const boost::bad_lexical_cast&) {
            }
        }

        const boost::unordered_map<std::string, std::string>& options;
    };
};

} // namespace Browser
} // namespace Orvo

#endif
