#ifndef ORVO_TOOLS_SERVE_BASICAUTH_H
#define ORVO_TOOLS_SERVE_BASICAUTH_H

#include <string>
#include <vector>

namespace Orvo {
namespace Serve {

// Who may use the service: users and their passwords, read from a file of
// "user:password" lines (blank lines and lines starting with # are
// skipped), checked against a request's HTTP basic Authorization header.
// Passwords are compared in time that does not depend on how much of them
// matches. An empty BasicAuth lets everyone in.
//
// Immutable once read; safe to use from several threads.
class BasicAuth {
public:
    BasicAuth() = default;

    // Throws std::invalid_argument saying why when the file cannot be read,
    // names nobody, or has a line without a colon.
    static BasicAuth FromFile(const std::string& path);

    bool Empty() const { return credentials.empty(); }

    // Whether the Authorization header's value names a user with the right
    // password (always true when Empty).
    bool Allows(const std::string& authorization) const;

private:
    // "user:password", as the header carries them.
    std::vector<std::string> credentials;
};

} // namespace Serve
} // namespace Orvo

#endif
