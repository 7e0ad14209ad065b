#include "Protocol/Option.h"

#include <algorithm>
#include <cctype>

#include <boost/tokenizer.hpp>

namespace Orvo {
namespace Browser {
namespace Option {

bool Disable::Parse(const std::string& text, std::vector<std::string>& words) {
    typedef boost::tokenizer<boost::char_separator<char>> Tokenizer;
    const boost::char_separator<char> separator(", ", "", boost::drop_empty_tokens);
    for (std::string word : Tokenizer(text, separator)) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(word);
    }
    return true;
}

} // namespace Option
} // namespace Browser
} // namespace Orvo
