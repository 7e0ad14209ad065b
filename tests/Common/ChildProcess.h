#ifndef ORVO_TESTS_CHILDPROCESS_H
#define ORVO_TESTS_CHILDPROCESS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace OrvoTest {

// A forked child that runs a function and exits with its result (or with
// ChildProcess::Threw when the function throws). The destructor kills a
// child that is still running.
class ChildProcess {
public:
    static constexpr int Threw = 99;
    // What Wait returns when the child did not end in time.
    static constexpr int TimedOut = -1000;

    explicit ChildProcess(const std::function<int()>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The child's exit status, minus the signal number when a signal ended
    // it, or TimedOut (the child is killed then).
    int Wait(int timeoutMs = 30000);
    pid_t Pid() const { return pid; }

private:
    pid_t pid;
    bool reaped;
};

// Whether pid has ended: no such process, or a zombie that no one reaped
// (an orphan whose new parent does not reap).
bool Ended(pid_t pid);

// A name for shared objects that no other test process uses.
std::string UniqueName(const std::string& prefix);

// Runs body in a forked child with standard output and error captured
// together into output; returns the child's exit status as Wait does.
int RunCaptured(const std::function<int()>& body, std::string& output, int timeoutMs = 30000);

// Runs a program with arguments in directory, standard output and error
// captured together; returns its exit status (minus the signal number when a
// signal ended it).
int RunProgram(const std::vector<std::string>& argv, const std::string& directory, std::string& output,
               const std::vector<std::string>& environment = {});

// Starts a program with arguments, NAME=VALUE entries added to its
// environment, and its standard output and error appended to output (when
// given); the ChildProcess stands for it. The program gets SIGTERM when the
// calling process dies.
std::unique_ptr<ChildProcess> StartProgram(const std::vector<std::string>& argv,
                                           const std::vector<std::string>& environment = {},
                                           const std::string& output = "");

} // namespace OrvoTest

#endif
