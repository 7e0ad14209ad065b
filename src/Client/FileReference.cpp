#include "Client/FileReference.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>

namespace Orvo {
namespace Browser {
namespace Client {

bool FileReference::Parse(const std::string& field, std::string& path) {
    static const std::regex reference("file:///(/tmp/_BWIMPL_[A-Za-z0-9]{6})");
    std::smatch match;
    if (field.size() > 64 || !std::regex_match(field, match, reference)) {
        return false;
    }
    path = match[1].str();
    return true;
}

bool FileReference::Resolve(std::string& field, std::string& error) {
    std::string path;
    if (!Parse(field, path)) {
        return true;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the result file " + path;
        return false;
    }
    std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read the result file " + path;
        return false;
    }
    std::remove(path.c_str());
    field.swap(contents);
    return true;
}

void FileReference::Discard(const std::string& field) {
    std::string path;
    if (Parse(field, path)) {
        std::remove(path.c_str());
    }
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
