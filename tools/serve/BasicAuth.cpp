#include "BasicAuth.h"

#include <fstream>
#include <stdexcept>

#include <QByteArray>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace Orvo {
namespace Serve {

namespace {

// Whether a and b are equal, looking at every byte of the longer, so that
// the time taken says nothing of where they differ.
bool SameInConstantTime(const std::string& a, const std::string& b) {
    const std::size_t length = std::max(a.size(), b.size());
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t k = 0; k < length; ++k) {
        const unsigned char x = k < a.size() ? static_cast<unsigned char>(a[k]) : 0;
        const unsigned char y = k < b.size() ? static_cast<unsigned char>(b[k]) : 0;
        difference |= static_cast<unsigned char>(x ^ y);
    }
    return difference == 0;
}

} // namespace

BasicAuth BasicAuth::FromFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::invalid_argument("--auth-file: cannot read " + path);
    }
    BasicAuth auth;
    std::string line;
    while (std::getline(file, line)) {
        boost::algorithm::trim_right_if(line, [](char c) { return c == '\r'; });
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line.find(':') == std::string::npos) {
            throw std::invalid_argument("--auth-file: a line of " + path + " is not user:password");
        }
        auth.credentials.push_back(line);
    }
    if (auth.credentials.empty()) {
        throw std::invalid_argument("--auth-file: " + path + " names no user");
    }
    return auth;
}

bool BasicAuth::Allows(const std::string& authorization) const {
    if (credentials.empty()) {
        return true;
    }
    const std::string scheme = "Basic ";
    if (!boost::algorithm::istarts_with(authorization, scheme)) {
        return false;
    }
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        QByteArray::fromStdString(authorization.substr(scheme.size())), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        return false;
    }
    const std::string given = decoded.decoded.toStdString();
    bool allowed = false;
    for (const std::string& credential : credentials) {
        allowed = SameInConstantTime(given, credential) || allowed;
    }
    return allowed;
}

} // namespace Serve
} // namespace Orvo
