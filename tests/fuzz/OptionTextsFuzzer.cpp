// Option texts as the worker reads them from a request: lines "key=value"
// become the option map, every option is converted from it (what does not
// convert keeps its default), and the disable list is parsed.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/unordered_map.hpp>

#include "Protocol/Option.h"
#include "Protocol/ServerOptionGetter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Orvo::Browser;
    const std::string text(reinterpret_cast<const char*>(data), size);
    boost::unordered_map<std::string, std::string> options;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const std::string::size_type end = std::min(text.find('\n', start), text.size());
        const std::string line = text.substr(start, end - start);
        const std::string::size_type equals = line.find('=');
        options[line.substr(0, equals)] = equals == std::string::npos ? "" : line.substr(equals + 1);
        start = end + 1;
    }
    Option::Tuple values;
    Option::ForEach(values, ServerOptionGetter::InitValue());
    Option::ForEach(values, ServerOptionGetter::GetOption(options));
    std::vector<std::string> words;
    Option::Disable::Parse(Option::Get<Option::Disable>(values), words);
    return 0;
}
