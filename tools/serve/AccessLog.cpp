#include "AccessLog.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace Orvo {
namespace Serve {

namespace {

std::string Now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long milliseconds =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03ldZ", milliseconds);
    return text;
}

} // namespace

AccessLog::AccessLog(const std::string& path)
    : file(path.empty() ? stderr : std::fopen(path.c_str(), "a")), owned(!path.empty()) {
    if (file == nullptr) {
        throw std::runtime_error("cannot open the log file " + path);
    }
}

AccessLog::~AccessLog() {
    if (owned) {
        std::fclose(file);
    }
}

void AccessLog::Request(const std::string& client, const std::string& endpoint, const std::string& url, int status,
                        long milliseconds) {
    const std::string quoted = nlohmann::json(url).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    Line(Now() + " " + client + " " + endpoint + " " + quoted + " " + std::to_string(status) + " "
         + std::to_string(milliseconds));
}

void AccessLog::Message(const std::string& text) {
    Line(Now() + " orvo-serve: " + text);
}

void AccessLog::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(file, "%s\n", text.c_str());
    std::fflush(file);
}

} // namespace Serve
} // namespace Orvo
