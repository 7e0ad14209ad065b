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

namespace {

// A side of 1 to Viewport::MaxSide written with digits only; false
// otherwise. At most five digits are read, so nothing overflows.
bool ParseSide(const std::string& text, int& side) {
    if (text.empty() || text.size() > 5
        || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    side = std::stoi(text);
    return side >= 1 && side <= Viewport::MaxSide;
}

} // namespace

bool Viewport::Parse(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find('x');
    int w = 0;
    int h = 0;
    if (x == std::string::npos || !ParseSide(text.substr(0, x), w) || !ParseSide(text.substr(x + 1), h)) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

} // namespace Option
} // namespace Browser
} // namespace Orvo
