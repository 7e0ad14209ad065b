#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/ChildProcess.h"
#include "Common/TemporaryDirectory.h"

namespace {

// The worker binary run as users run it, in a directory of its own. With
// no request coming, it stops itself once idle and ends after its keep
// time; the test-only divisor makes the idle time 3.6 s, and the keep time
// of 2 s ends well within the serving thread's grace period of 6 s.
int RunWorker(const OrvoTest::TemporaryDirectory& directory, const std::vector<std::string>& args,
              std::string& output, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv{ORVO_BROWSER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "ORVO_TEST_TIME_DIVISOR=50"};
    env.insert(env.end(), environment.begin(), environment.end());
    return OrvoTest::RunProgram(argv, directory.path, output, env);
}

TEST(ServerMain, StartsWithoutADisplayAndLogsItsStartAndEnd) {
    OrvoTest::TemporaryDirectory directory;
    std::string output;
    EXPECT_EQ(0, RunWorker(directory, {}, output)) << output;
    EXPECT_NE(std::string::npos, output.find(" - INFO - Thread: ")) << output;
    EXPECT_NE(std::string::npos, output.find(" - Configuration file: \n")) << output;
    EXPECT_NE(std::string::npos, output.find(" - Exit Main: 0\n")) << output;
}

TEST(ServerMain, APlatformArgumentWinsOverTheEnvironment) {
    OrvoTest::TemporaryDirectory directory;
    std::string output;
    EXPECT_EQ(0, RunWorker(directory, {"-platform", "offscreen"}, output, {"QT_QPA_PLATFORM=no-such-platform"}))
        << output;
    EXPECT_NE(std::string::npos, output.find(" - Exit Main: 0\n")) << output;
}

TEST(ServerMain, TheConfiguredLogFileReceivesTheLines) {
    OrvoTest::TemporaryDirectory directory;
    directory.Write("worker.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=worker.log\n");
    std::string output;
    ASSERT_EQ(0, RunWorker(directory, {"--config", "worker.ini"}, output)) << output;
    const std::string log = directory.Read("worker.log");
    EXPECT_NE(std::string::npos, log.find(" - Configuration file: worker.ini\n")) << log;
    EXPECT_NE(std::string::npos, log.find(" - Exit Main: 0\n")) << log;
    EXPECT_EQ(std::string::npos, output.find("Exit Main")) << output;
}

// A file that does not parse, or an engine the worker does not have.
TEST(ServerMain, AConfigurationErrorEndsStartUpWithStatusOne) {
    const struct {
        std::string ini;
        std::vector<std::string> arguments;
        std::string fatal;
    } cases[] = {
        {"[Orvo.browser.webkit.Server\n", {}, " - Unable to configurate => "},
        {"", {"--engine", "gecko"}, " - Unable to configurate => --engine: gecko is neither webkit nor chromium\n"},
        {"",
         {"--engine", "chromium", "--denied-networks", "10.0.0.0/33"},
         " - Unable to configurate => --denied-networks: "},
    };
    for (const auto& c : cases) {
        OrvoTest::TemporaryDirectory directory;
        directory.Write("Orvo.browser.webkit.ini", c.ini);
        std::string output;
        EXPECT_EQ(1, RunWorker(directory, c.arguments, output)) << output;
        EXPECT_NE(std::string::npos, output.find(" - FATAL - Thread: ")) << output;
        EXPECT_NE(std::string::npos, output.find(c.fatal)) << output;
        EXPECT_EQ(std::string::npos, output.find("Exit Main")) << output;
    }
}

// --help and --version answer and end: no worker starts, nothing is
// logged.
TEST(ServerMain, HelpAndVersionSayWhatTheWorkerIsAndEnd) {
    OrvoTest::TemporaryDirectory directory;
    std::string output;
    EXPECT_EQ(0, RunWorker(directory, {"--help"}, output)) << output;
    for (const char* text : {"Usage: orvo-browser ", "-c, --config FILE", "--max-pages N", "logLevel=", "logFile=",
                             "QT_QPA_PLATFORM", "FONTCONFIG_FILE", "SIGTERM"}) {
        EXPECT_NE(std::string::npos, output.find(text)) << text << " missing in\n" << output;
    }
    EXPECT_EQ(std::string::npos, output.find(" - INFO - ")) << output;
    EXPECT_EQ(0, RunWorker(directory, {"-platform", "offscreen", "--version"}, output)) << output;
    EXPECT_EQ(0u, output.find("orvo-browser ")) << output;
    EXPECT_EQ(1, std::count(output.begin(), output.end(), '\n')) << output;
}

} // namespace
