#ifndef ORVO_TOOLS_SERVE_ACCESSLOG_H
#define ORVO_TOOLS_SERVE_ACCESSLOG_H

#include <cstdio>
#include <mutex>
#include <string>

namespace Orvo {
namespace Serve {

// The service's log: one line per request answered, "TIME CLIENT ENDPOINT
// URL STATUS MS" (TIME in UTC to the millisecond, URL as a JSON string so
// that no request can break a line), and the service's own messages
// prefixed "orvo-serve:". Lines go to a file, appended to, or to standard
// error. Safe to use from several threads.
class AccessLog {
public:
    // path empty: standard error. Throws std::runtime_error when the file
    // cannot be opened.
    explicit AccessLog(const std::string& path);
    ~AccessLog();

    AccessLog(const AccessLog&) = delete;
    AccessLog& operator=(const AccessLog&) = delete;

    void Request(const std::string& client, const std::string& endpoint, const std::string& url, int status,
                 long milliseconds);
    void Message(const std::string& text);

private:
    void Line(const std::string& text);

    // Guards writes to file.
    std::mutex mutex;
    std::FILE* file;
    const bool owned;
};

} // namespace Serve
} // namespace Orvo

#endif
