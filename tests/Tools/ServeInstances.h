#ifndef ORVO_TESTS_TOOLS_SERVEINSTANCES_H
#define ORVO_TESTS_TOOLS_SERVEINSTANCES_H

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>

#include "Common/ChildProcess.h"
#include "Common/TemporaryDirectory.h"
#include "OrvoServeFixture.h"

namespace OrvoServeTest {

// orvo-serve processes standing for the machines of a fleet, each logging
// into a temporary directory; those still running at the end are stopped
// with SIGTERM.
class ServeInstances {
public:
    ~ServeInstances() {
        for (std::size_t k = 0; k < instances.size(); ++k) {
            if (instances[k].process) {
                Stop(k);
            }
        }
    }

    // Starts orvo-serve with arguments (after --log) and environment, and
    // waits for the log line that says it serves; returns its index.
    std::size_t Start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        Instance instance;
        instance.log = directory.path + "/serve" + std::to_string(instances.size()) + ".log";
        std::vector<std::string> argv{ORVO_SERVE_BINARY, "--log", instance.log};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> settings{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
        settings.insert(settings.end(), environment.begin(), environment.end());
        instance.process = OrvoTest::StartProgram(argv, settings, instance.log + ".out");
        instances.push_back(std::move(instance));
        const std::size_t index = instances.size() - 1;
        EXPECT_TRUE(WaitFor([&] { return Log(index).find("orvo-serve: listening on ") != std::string::npos
                                         || Log(index).find("orvo-serve: serving the queue") != std::string::npos; }))
            << Log(index);
        return index;
    }

    std::string Log(std::size_t index) const {
        std::ifstream file(instances[index].log);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // The port the instance listens on, from its log; 0 when it does not.
    unsigned short Port(std::size_t index) const {
        const std::string marker = "listening on 127.0.0.1:";
        const std::string log = Log(index);
        const std::size_t at = log.find(marker);
        return at == std::string::npos ? 0 : static_cast<unsigned short>(std::stoi(log.substr(at + marker.size())));
    }

    pid_t Pid(std::size_t index) const { return instances[index].process->Pid(); }
    bool Running(std::size_t index) const { return static_cast<bool>(instances[index].process); }

    // SIGTERM; returns the exit status. Its workers must end with it.
    int Stop(std::size_t index) {
        const std::vector<pid_t> workers = Children(Pid(index));
        ::kill(Pid(index), SIGTERM);
        const int status = instances[index].process->Wait(120000);
        instances[index].process.reset();
        ExpectEnded(workers);
        return status;
    }

    // SIGKILL; its workers must notice and end.
    void Kill(std::size_t index) {
        const std::vector<pid_t> workers = Children(Pid(index));
        ::kill(Pid(index), SIGKILL);
        EXPECT_EQ(-SIGKILL, instances[index].process->Wait(10000));
        instances[index].process.reset();
        ExpectEnded(workers);
    }

private:
    struct Instance {
        std::unique_ptr<OrvoTest::ChildProcess> process;
        std::string log;
    };

    // A sanitized worker checks its whole heap for leaks as it exits, which
    // takes seconds when the machine is busy.
    static void ExpectEnded(const std::vector<pid_t>& workers) {
        for (const pid_t worker : workers) {
            EXPECT_TRUE(WaitFor([worker] { return OrvoTest::Ended(worker); }, 30000)) << "worker " << worker;
        }
    }

    OrvoTest::TemporaryDirectory directory;
    std::vector<Instance> instances;
};

} // namespace OrvoServeTest

#endif
