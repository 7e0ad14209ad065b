#include "Common/ChildProcess.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OrvoTest {

namespace {

int Decode(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

} // namespace

ChildProcess::ChildProcess(const std::function<int()>& body) : pid(::fork()), reaped(false) {
    if (pid == 0) {
        int code = Threw;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
}

ChildProcess::~ChildProcess() {
    if (pid > 0 && !reaped) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            reaped = true;
            return TimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reaped = true;
    return Decode(status);
}

bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 4, ") Z ") == 0;
}

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter(0);
    return prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

namespace {

std::string ReadAndRemove(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    ::unlink(path.c_str());
    return text.str();
}

void RedirectOutputTo(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::close(fd);
}

// Replaces the calling (child) process with the program; exits 127 when
// that fails.
[[noreturn]] void Exec(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    for (const std::string& setting : environment) {
        ::putenv(const_cast<char*>(setting.c_str()));
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
}

} // namespace

int RunCaptured(const std::function<int()>& body, std::string& output, int timeoutMs) {
    const std::string capture = "/tmp/" + UniqueName("orvo_test_output");
    int status;
    {
        ChildProcess child([&] {
            RedirectOutputTo(capture);
            int code = ChildProcess::Threw;
            try {
                code = body();
            } catch (...) {
            }
            std::cout.flush();
            std::fflush(nullptr);
            return code;
        });
        status = child.Wait(timeoutMs);
    }
    output = ReadAndRemove(capture);
    return status;
}

int RunProgram(const std::vector<std::string>& argv, const std::string& directory, std::string& output,
               const std::vector<std::string>& environment) {
    const std::string capture = "/tmp/" + UniqueName("orvo_test_output");
    const pid_t child = ::fork();
    if (child == 0) {
        RedirectOutputTo(capture);
        if (::chdir(directory.c_str()) != 0) {
            ::_exit(127);
        }
        Exec(argv, environment);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    output = ReadAndRemove(capture);
    return Decode(status);
}

std::unique_ptr<ChildProcess> StartProgram(const std::vector<std::string>& argv,
                                           const std::vector<std::string>& environment, const std::string& output) {
    return std::unique_ptr<ChildProcess>(new ChildProcess([&] {
        // A test process that dies (a crash, a closed pipe) takes its
        // program with it: a service would otherwise live on, orphaned.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (!output.empty()) {
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        Exec(argv, environment);
        return 127;
    }));
}

} // namespace OrvoTest
