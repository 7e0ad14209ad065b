#include "Protocol/Option.h"

#include <algorithm>
#include <cctype>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

namespace Orvo {
namespace Browser {
namespace Option {

bool ParseWords(const std::string& text, std::vector<std::string>& words) {
    typedef boost::tokenizer<boost::char_separator<char>> Tokenizer;
    const boost::char_separator<char> separator(", ", "", boost::drop_empty_tokens);
    for (std::string word : Tokenizer(text, separator)) {
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        words.push_back(word);
    }
    return true;
}

void Headers::Parse(const std::string& text, std::vector<std::pair<std::string, std::string>>& headers) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0) {
            const std::size_t first = line.find_first_not_of(" \t\r", colon + 1);
            const std::size_t last = line.find_last_not_of(" \t\r");
            headers.emplace_back(line.substr(0, colon),
                                 first == std::string::npos ? std::string() : line.substr(first, last + 1 - first));
        }
        start = end + 1;
    }
}

bool Proxy::Parse(const std::string& text, Address& address) {
    Address read;
    std::string rest = text;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        const std::string name = rest.substr(0, scheme);
        if (name != "http" && name != "socks5") {
            return false;
        }
        read.socks = name == "socks5";
        rest = rest.substr(scheme + 3);
    }
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = rest.substr(0, at);
        const std::size_t colon = credentials.find(':');
        read.user = credentials.substr(0, colon);
        read.password = colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
        rest = rest.substr(at + 1);
    }
    const std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5
            || !std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
            return false;
        }
        read.port = std::stoi(port);
        rest = rest.substr(0, colon);
    }
    const bool hostOk = !rest.empty() && std::none_of(rest.begin(), rest.end(), [](unsigned char c) {
        return c <= ' ' || c == '/' || c == '@' || c == '?' || c == '#';
    });
    if (!hostOk || read.port < 1 || read.port > 65535) {
        return false;
    }
    read.host = rest;
    address = read;
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

bool IsViewport(const std::string& text) {
    int width = 0;
    int height = 0;
    return Viewport::Parse(text, width, height);
}

bool IsProxy(const std::string& text) {
    Proxy::Address address;
    return Proxy::Parse(text, address);
}

bool IsWebUrl(const std::string& text) {
    std::string lower = text.substr(0, 8);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t hostAt = lower.rfind("http://", 0) == 0 ? 7 : lower.rfind("https://", 0) == 0 ? 8 : 0;
    const std::size_t hostEnd = text.find_first_of("/?#", hostAt);
    const bool plain = std::none_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
    return hostAt != 0 && plain && hostEnd != hostAt && hostAt < text.size();
}

namespace {

template <class T>
Row::Kind KindOf() {
    return std::is_same<T, bool>::value ? Row::Kind::Bool
                                        : std::is_same<T, int>::value ? Row::Kind::Int : Row::Kind::Text;
}

// Appends each tag's row, in tuple order.
struct AddRow {
    std::vector<Row>& rows;

    template <class X>
    bool operator()(X) {
        rows.push_back(Row{X::Name(), KindOf<typename X::Type>(),
                           boost::lexical_cast<std::string>(X::Default()), X::spec});
        return true;
    }
};

std::vector<Row> Rows() {
    std::vector<Row> rows;
    AddRow add{rows};
    All::TryEach(add);
    return rows;
}

} // namespace

bool Row::Converts(const std::string& text) const {
    bool flag = false;
    int number = 0;
    switch (kind) {
    case Kind::Bool:
        return boost::conversion::try_lexical_convert(text, flag);
    case Kind::Int:
        return boost::conversion::try_lexical_convert(text, number);
    case Kind::Text:
        return true;
    }
    return false;
}

const std::vector<Row>& Schema() {
    static const std::vector<Row> rows = Rows();
    return rows;
}

const Row* Find(const std::string& key) {
    for (const Row& row : Schema()) {
        if (key == row.key) {
            return &row;
        }
    }
    return nullptr;
}

std::string Ignored(const std::map<std::string, std::string>& options) {
    static const std::size_t Shown = 40;
    std::string ignored;
    for (const auto& entry : options) {
        const Row* row = Find(entry.first);
        if (row != nullptr && row->Converts(entry.second)) {
            continue;
        }
        ignored += (ignored.empty() ? "" : ", ") + entry.first;
        if (row == nullptr) {
            ignored += " (no such option)";
            continue;
        }
        std::string value = entry.second.substr(0, Shown);
        std::replace_if(value.begin(), value.end(), [](unsigned char c) { return c < ' ' || c == 0x7f; }, '?');
        ignored += "=\"" + value + (entry.second.size() > Shown ? "...\"" : "\"")
                   + (row->kind == Row::Kind::Bool ? " (not 0 or 1)" : " (not a whole number)");
    }
    return ignored;
}

} // namespace Option
} // namespace Browser
} // namespace Orvo
