#include "Chromium/DevToolsPipe.h"

#include <chrono>
#include <climits>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// In the child between fork and exec, async-signal-safe calls only: the
// pipe's ends become descriptors 3 and 4, the log the standard output and
// error, and nothing else stays open.
[[noreturn]] void ExecBrowser(char* const* argv, int input, int output, int log) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int in = ::fcntl(input, F_DUPFD, 10);
    const int out = ::fcntl(output, F_DUPFD, 10);
    const int logged = ::fcntl(log, F_DUPFD, 10);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (in < 0 || out < 0 || logged < 0 || nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(logged, 1) < 0
        || ::dup2(logged, 2) < 0 || ::dup2(in, 3) < 0 || ::dup2(out, 4) < 0) {
        ::_exit(127);
    }
    ::close_range(5, ~0u, 0);
    ::execvp(argv[0], argv);
    ::_exit(127);
}

} // namespace

DevToolsPipe::DevToolsPipe(const Options& options) {
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        throw DevToolsError(SystemError("no event counter"));
    }
    Spawn(options);
    try {
        product = Call("Browser.getVersion").value("product", std::string());
    } catch (const DevToolsError& e) {
        Close();
        throw DevToolsError(options.program + " did not start: " + e.what());
    }
}

DevToolsPipe::~DevToolsPipe() {
    Close();
}

void DevToolsPipe::SweepProfiles() {
    const std::string prefix = boost::filesystem::path(ProfilePrefix).filename().string();
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator entry(boost::filesystem::path(ProfilePrefix).parent_path(), error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        char* rest = nullptr;
        const long owner = std::strtol(name.c_str() + prefix.size(), &rest, 10);
        if (owner > 0 && *rest == '-' && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
            boost::system::error_code ignored;
            boost::filesystem::remove_all(entry->path(), ignored);
        }
    }
}

void DevToolsPipe::Spawn(const Options& options) {
    SweepProfiles();
    std::string pattern = ProfilePrefix + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        throw DevToolsError(SystemError("no profile directory"));
    }
    profile = pattern;
    std::vector<std::string> args{options.program, "--headless", "--remote-debugging-pipe",
                                  "--user-data-dir=" + profile};
    if (::geteuid() == 0) {
        // The browser refuses to start as root with its sandbox.
        args.push_back("--no-sandbox");
    }
    args.insert(args.end(), options.arguments.begin(), options.arguments.end());
    args.push_back("about:blank");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    int toBrowser[2] = {-1, -1};
    int fromBrowser[2] = {-1, -1};
    const int log = options.logFile.empty()
                        ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0 || ::pipe2(toBrowser, O_CLOEXEC) != 0 || ::pipe2(fromBrowser, O_CLOEXEC) != 0) {
        const std::string error = SystemError("no pipe to the browser");
        for (const int fd : {log, toBrowser[0], toBrowser[1], fromBrowser[0], fromBrowser[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        boost::filesystem::remove_all(profile);
        throw DevToolsError(error);
    }
    pid = ::fork();
    if (pid == 0) {
        ExecBrowser(argv.data(), toBrowser[0], fromBrowser[1], log);
    }
    ::close(toBrowser[0]);
    ::close(fromBrowser[1]);
    ::close(log);
    commands = toBrowser[1];
    answers = fromBrowser[0];
    if (pid < 0) {
        const std::string error = SystemError("the browser could not be started");
        Close();
        throw DevToolsError(error);
    }
}

// SIGPIPE is held back on this thread while writing: a browser that ended
// is an error of the call, not the end of the process.
void DevToolsPipe::Write(const std::string& message) {
    sigset_t pipeSignal;
    sigset_t before;
    ::sigemptyset(&pipeSignal);
    ::sigaddset(&pipeSignal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
    std::size_t written = 0;
    int error = 0;
    while (written < message.size()) {
        const ssize_t n = ::write(commands, message.data() + written, message.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = errno;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (error == EPIPE) {
        const timespec none{};
        ::sigtimedwait(&pipeSignal, nullptr, &none);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        Ended();
    }
}

std::string DevToolsPipe::WithoutLoneSurrogates(const std::string& text) {
    const auto unit = [&text](std::size_t at, unsigned& code) {
        if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
            return false;
        }
        const std::string hex = text.substr(at + 2, 4);
        if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return false;
        }
        code = static_cast<unsigned>(std::stoul(hex, nullptr, 16));
        return true;
    };
    std::string repaired;
    repaired.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        unsigned code = 0;
        unsigned next = 0;
        if (!unit(at, code)) {
            // An escape's second character (an escaped backslash's too) is
            // never the start of another.
            repaired += text[at];
            if (text[at] == '\\' && at + 1 < text.size()) {
                repaired += text[++at];
            }
        } else if (code >= 0xD800 && code <= 0xDBFF && unit(at + 6, next) && next >= 0xDC00 && next <= 0xDFFF) {
            repaired.append(text, at, 12);
            at += 11;
        } else {
            repaired += code >= 0xD800 && code <= 0xDFFF ? std::string("\\ufffd") : text.substr(at, 6);
            at += 5;
        }
    }
    return repaired;
}

bool DevToolsPipe::Read(nlohmann::json& message, long long deadlineMs) {
    for (;;) {
        const std::size_t end = pending.find('\0');
        if (end != std::string::npos) {
            std::string text = pending.substr(0, end);
            pending.erase(0, end + 1);
            message = nlohmann::json::parse(text, nullptr, false);
            if (message.is_discarded()) {
                // A page's text may hold a lone UTF-16 surrogate, which the
                // browser writes as an escape that JSON parsers refuse.
                message = nlohmann::json::parse(WithoutLoneSurrogates(text), nullptr, false);
            }
            if (message.is_object()) {
                return true;
            }
            continue;
        }
        if (TakePosted(message)) {
            return true;
        }
        // Past the deadline, what has come already is still read.
        const long long left = std::max(0LL, deadlineMs - NowMs());
        pollfd readable[] = {{answers, POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = ::poll(readable, 2, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready <= 0) {
            if (left == 0) {
                return false;
            }
            continue;
        }
        if (readable[1].revents != 0) {
            eventfd_t count = 0;
            ::eventfd_read(wake, &count);
        }
        if (readable[0].revents == 0) {
            continue;
        }
        char buffer[65536];
        const ssize_t n = ::read(answers, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Ended();
        }
        pending.append(buffer, static_cast<std::size_t>(n));
    }
}

void DevToolsPipe::Post(nlohmann::json message) {
    {
        const std::lock_guard<std::mutex> lock(postMutex);
        posted.push_back(std::move(message));
    }
    ::eventfd_write(wake, 1);
}

bool DevToolsPipe::TakePosted(nlohmann::json& message) {
    const std::lock_guard<std::mutex> lock(postMutex);
    if (posted.empty()) {
        return false;
    }
    message = std::move(posted.front());
    posted.pop_front();
    return true;
}

nlohmann::json DevToolsPipe::Call(const std::string& method, const nlohmann::json& params,
                                  const std::string& sessionId, int timeoutMs) {
    const long long id = ++lastId;
    nlohmann::json command{{"id", id}, {"method", method}, {"params", params}};
    if (!sessionId.empty()) {
        command["sessionId"] = sessionId;
    }
    Write(command.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\0');
    const long long deadline = NowMs() + timeoutMs;
    awaited.insert(id);
    nlohmann::json message;
    while (answered.count(id) == 0) {
        bool read = false;
        try {
            read = Read(message, deadline);
        } catch (const DevToolsError&) {
            awaited.erase(id);
            throw;
        }
        if (read) {
            Route(std::move(message));
        }
        if (answered.count(id) == 0 && (!read || NowMs() >= deadline)) {
            awaited.erase(id);
            throw DevToolsError(method + ": no answer within " + std::to_string(timeoutMs) + " ms");
        }
    }
    awaited.erase(id);
    const nlohmann::json answer = std::move(answered[id]);
    answered.erase(id);
    if (answer.contains("error")) {
        const nlohmann::json& error = answer["error"];
        throw DevToolsError(method + ": " + error.value("message", std::string("failed")), error.value("code", 0));
    }
    return answer.value("result", nlohmann::json::object());
}

void DevToolsPipe::Route(nlohmann::json message) {
    if (message.contains("id")) {
        const long long id = message["id"].is_number_integer() ? message["id"].get<long long>() : 0;
        if (awaited.count(id) != 0) {
            answered[id] = std::move(message);
        }
        return;
    }
    // The interceptor may call, and so route further events, meanwhile.
    const Interceptor taking = interceptor;
    if (!taking || !taking(message)) {
        events.push_back(std::move(message));
    }
}

void DevToolsPipe::Intercept(Interceptor given) {
    interceptor = std::move(given);
}

bool DevToolsPipe::NextEvent(nlohmann::json& event, int timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    while (events.empty()) {
        nlohmann::json message;
        if (!Read(message, deadline)) {
            return false;
        }
        Route(std::move(message));
    }
    event = std::move(events.front());
    events.pop_front();
    return true;
}

void DevToolsPipe::Ended() {
    pipeClosed = true;
    throw DevToolsError("the browser ended");
}

bool DevToolsPipe::Running() {
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
    }
    return pid > 0 && !pipeClosed;
}

// Browser.close asks the browser to end in order; one that does not is
// killed. Its profile goes with it.
void DevToolsPipe::Close() {
    if (pid > 0) {
        try {
            Write(nlohmann::json{{"id", ++lastId}, {"method", "Browser.close"}}.dump() + '\0');
        } catch (const DevToolsError&) {
            // It has ended already: waitpid below collects it.
        }
        const long long deadline = NowMs() + CloseWaitMs;
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (NowMs() >= deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid = -1;
    }
    for (int* fd : {&commands, &answers, &wake}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
    if (!profile.empty()) {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(profile, ignored);
        profile.clear();
    }
}
