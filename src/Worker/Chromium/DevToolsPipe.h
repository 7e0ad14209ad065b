#ifndef ORVO_WORKER_CHROMIUM_DEVTOOLSPIPE_H
#define ORVO_WORKER_CHROMIUM_DEVTOOLSPIPE_H

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sys/types.h>

// A DevTools command that failed: the browser's error (code and message),
// no answer in time, or a browser that ended.
class DevToolsError : public std::runtime_error {
public:
    DevToolsError(const std::string& what, int code = 0) : std::runtime_error(what), code(code) {}

    // The protocol's error code (-32601 for an unknown method); 0 when the
    // browser gave none.
    const int code;
};

// A headless Chromium driven over the DevTools protocol through a pipe,
// no network port: the browser runs as a child process that reads
// commands from its file descriptor 3 and writes answers and events to 4,
// each message a JSON object ended by a NUL byte. Call sends a command and
// waits for its answer; events that come meanwhile are kept, in order, for
// NextEvent, but those the interceptor takes, which it handles as they
// come (a paused request must be let go while a navigation waits).
//
// The browser's profile is a temporary directory of its own
// (ProfilePrefix, the process id, a unique end), removed with the object;
// the directories of processes that no longer run (killed outright) are
// removed when the next browser starts. The browser dies with the thread
// that started it. The destructor closes the browser and kills it when it
// has not ended within CloseWaitMs. One thread uses an object, but for
// Post, which any thread may call.
class DevToolsPipe {
public:
    struct Options {
        std::string program = "chromium";
        // Flags after those the pipe always gives (headless, the pipe, the
        // profile, no sandbox when running as root).
        std::vector<std::string> arguments;
        // Where the browser's standard output and error go; empty for
        // nowhere.
        std::string logFile;
    };

    static constexpr int CloseWaitMs = 5000;
    static constexpr const char* ProfilePrefix = "/tmp/orvo-chromium-";
    static constexpr int DefaultCallMs = 30000;

    // Starts the browser; throws DevToolsError when it cannot be started or
    // does not answer Browser.getVersion within DefaultCallMs.
    explicit DevToolsPipe(const Options& options);
    ~DevToolsPipe();
    DevToolsPipe(const DevToolsPipe&) = delete;
    DevToolsPipe& operator=(const DevToolsPipe&) = delete;

    // Sends method with params, to the target session sessionId when it is
    // not empty, and returns the answer's result. Throws DevToolsError with
    // the browser's error, or when no answer comes within timeoutMs, or
    // when the browser ended.
    nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object(),
                        const std::string& sessionId = std::string(), int timeoutMs = DefaultCallMs);

    // The next event ({"method", "params", and "sessionId" for a target's}),
    // waiting up to timeoutMs for one; false when none came. Throws
    // DevToolsError when the browser ended.
    bool NextEvent(nlohmann::json& event, int timeoutMs);

    // From now on each event is offered to interceptor first, as it
    // arrives, also while a Call waits; one it returns true for is not
    // kept for NextEvent. It may Call. An empty function ends it.
    typedef std::function<bool(const nlohmann::json& event)> Interceptor;
    void Intercept(Interceptor interceptor);

    // Takes message as if the browser had sent it, from any thread: a
    // helper thread's news reaches the interceptor, or NextEvent, on the
    // object's thread while that waits on the browser.
    void Post(nlohmann::json message);

    // The product line of Browser.getVersion ("Chrome/156.0...").
    const std::string& Product() const { return product; }
    pid_t Pid() const { return pid; }
    // Whether the browser still runs: false once its end of the pipe has
    // closed, even before the process can be collected, or once it has
    // ended (one that ended is collected here).
    bool Running();
    const std::string& ProfileDirectory() const { return profile; }

    // message's JSON text with each escaped UTF-16 surrogate that is not
    // half of a pair made U+FFFD.
    static std::string WithoutLoneSurrogates(const std::string& message);

private:
    void Spawn(const Options& options);
    // Removes the profiles whose process no longer runs.
    static void SweepProfiles();
    void Write(const std::string& message);
    // Reads until a whole message is in, the browser's or one posted, or
    // until deadlineMs (a monotonic clock's milliseconds) passes: false
    // then.
    bool Read(nlohmann::json& message, long long deadlineMs);
    // Takes the first message posted and not yet read: false for none.
    bool TakePosted(nlohmann::json& message);
    // Marks the pipe closed by the browser and throws DevToolsError.
    [[noreturn]] void Ended();
    // Keeps an answer that a waiting Call wants, offers an event to the
    // interceptor or keeps it; drops the late answer of a call that gave
    // up.
    void Route(nlohmann::json message);
    void Close();

    std::string profile;
    pid_t pid = -1;
    int commands = -1;  // our end of the browser's descriptor 3
    int answers = -1;   // our end of its descriptor 4
    int wake = -1;      // an event counter that Post raises
    std::mutex postMutex;
    std::deque<nlohmann::json> posted;  // guarded by postMutex
    bool pipeClosed = false;
    std::string pending;
    std::deque<nlohmann::json> events;
    // The calls waiting (nested when the interceptor calls), and answers
    // that came for one while another read.
    std::set<long long> awaited;
    std::map<long long, nlohmann::json> answered;
    Interceptor interceptor;
    long long lastId = 0;
    std::string product;
};

#endif
