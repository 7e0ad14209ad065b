#include "Client/Worker.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <boost/interprocess/sync/named_semaphore.hpp>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Protocol/ProgramFiles.h"
#include "Protocol/SharedAccess.h"
#include "Protocol/WireFormat.h"
#include "Protocol/WorkerNames.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

const int PollMs = 5;

// Looked for at every pass of a window: the directory is looked at first,
// which costs one system call, where opening the semaphore maps it in and
// out again. Only a marker not found there is opened.
bool ReadyMarkerExists(pid_t pid) {
    const std::string name = WorkerNames::ReadyMarker(pid);
    if (Interprocess::SharedAccess::Exists(name, true)) {
        return true;
    }
    try {
        boost::interprocess::named_semaphore marker(boost::interprocess::open_only, name.c_str());
        return true;
    } catch (const boost::interprocess::interprocess_exception&) {
        return false;
    }
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

// The child's side of Start: never returns.
[[noreturn]] void Exec(const Worker::StartOptions& options, const std::string& program, std::string& parent) {
    if (!options.logFile.empty()) {
        const int fd = ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
    }
    if (!options.directory.empty() && ::chdir(options.directory.c_str()) != 0) {
        ::_exit(126);
    }
    for (const std::string& entry : options.environment) {
        ::putenv(const_cast<char*>(entry.c_str()));
    }
    ::putenv(const_cast<char*>(parent.c_str()));
    // Nothing of the starting process passes to the worker but its standard
    // streams: a service's listening socket, its clients' connections and
    // its other links stay its own, whoever opened them and however.
    ::close_range(3, ~0u, 0);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

} // namespace

void Worker::StartOptions::Recycle(std::size_t pages, std::size_t residentMb) {
    if (pages != 0) {
        arguments.insert(arguments.end(), {"--recycle-pages", std::to_string(pages)});
    }
    if (residentMb != 0) {
        arguments.insert(arguments.end(), {"--recycle-rss", std::to_string(residentMb)});
    }
}

std::string Worker::DefaultProgram() {
    return ProgramFiles::Beside("orvo-browser");
}

std::unique_ptr<Worker> Worker::Start(const StartOptions& options) {
    const std::string program = options.program.empty() ? DefaultProgram() : options.program;
    if (::access(program.c_str(), X_OK) != 0) {
        throw std::runtime_error("cannot run the worker " + program);
    }
    // The worker ends when this process is gone.
    std::string parent = std::string(WireFormat::ParentPidVariable) + "=" + std::to_string(::getpid());
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("cannot start the worker: fork failed");
    }
    if (child == 0) {
        Exec(options, program, parent);
    }
    std::unique_ptr<Worker> worker(new Worker(child, true));
    if (!worker->WaitUntilReady(options.readyTimeoutMs)) {
        if (worker->IsAlive()) {
            ::kill(child, SIGKILL);
            worker->WaitForExit(options.readyTimeoutMs);
            throw std::runtime_error("the worker " + std::to_string(child) + " was not ready within "
                                     + std::to_string(options.readyTimeoutMs) + " ms");
        }
        throw std::runtime_error("the worker " + std::to_string(child) + " ended with status "
                                 + std::to_string(worker->exitStatus) + " before it was ready");
    }
    return worker;
}

std::unique_ptr<Worker> Worker::Attach(pid_t pid, int readyTimeoutMs) {
    std::unique_ptr<Worker> worker(new Worker(pid, false));
    if (!worker->WaitUntilReady(readyTimeoutMs)) {
        throw std::runtime_error("no ready worker with process id " + std::to_string(pid));
    }
    return worker;
}

Worker::Worker(pid_t pid, bool owned) : pid(pid), owned(owned), exited(false), exitStatus(0) {}

Worker::~Worker() {
    if (owned) {
        std::lock_guard<std::mutex> lock(mutex);
        Reap(false);
    }
}

bool Worker::WaitUntilReady(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!IsReady()) {
        if (!IsAlive() || std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
    return true;
}

bool Worker::IsAlive() {
    std::lock_guard<std::mutex> lock(mutex);
    if (exited) {
        return false;
    }
    const bool gone = owned ? Reap(false) : (::kill(pid, 0) != 0 && errno == ESRCH);
    if (gone) {
        exited = true;
        RemoveLeftovers();
    }
    return !gone;
}

bool Worker::IsReady() {
    return IsAlive() && ReadyMarkerExists(pid);
}

int Worker::WaitForExit(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsAlive()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return StillRunning;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
    return exitStatus;
}

void Worker::End(int waitMs) {
    if (!owned || !IsAlive()) {
        return;
    }
    ::kill(pid, SIGTERM);
    if (WaitForExit(waitMs) == StillRunning) {
        ::kill(pid, SIGKILL);
        WaitForExit(waitMs);
    }
}

// Collects an owned child's exit; true when it has ended.
bool Worker::Reap(bool block) {
    int status = 0;
    const pid_t reaped = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (reaped == pid) {
        exitStatus = DecodeStatus(status);
        return true;
    }
    return reaped < 0 && errno == ECHILD;
}

void Worker::RemoveLeftovers() {
    WorkerNames::Remove(pid);
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
